// How long the simulator's calls between broker and workers may take (see Fanout.h).
#pragma once

#include <cstdint>

namespace gxsimbus {

// A sanitizer build runs several times slower: its waits are longer in proportion.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kSlowdown = 4;
#else
constexpr uint64_t kSlowdown = 1;
#endif
// How long the broker waits for one worker's answer to a spread call: a worker that misses it is
// left out of that call and of every later one until it answers again (a Ping the broker sends
// it, every kProbeUsec while it does not). One found stopped (SIGSTOP, a debugger) is left out
// after kStoppedCheckUsec already; one that runs may be slow only because the machine is busy,
// and gets the whole kSpreadTimeoutUsec.
// A running worker's Trace may be megabytes to build and send: it gets kTraceTimeoutUsec.
constexpr uint64_t kStoppedCheckUsec = kSlowdown * 300 * 1000;
constexpr uint64_t kSpreadTimeoutUsec = kSlowdown * 900 * 1000;
constexpr uint64_t kTraceTimeoutUsec = kSlowdown * 3 * 1000 * 1000;
constexpr uint64_t kProbeUsec = 10ull * 1000 * 1000;
// How long a worker waits for the broker's combined answer.
constexpr uint64_t kRelayTimeoutUsec = kSlowdown * 5 * 1000 * 1000;
// How long a worker that exits waits for the broker to take its trace.
constexpr uint64_t kRetireTimeoutUsec = 5ull * 1000 * 1000;
// What sd-bus may hold for one worker that does not read its link; beyond either bound calls to
// it are dropped (counted, and logged once it answers again) and it counts as not answering.
constexpr uint64_t kMaxQueuedMessages = 256;
constexpr size_t kMaxQueuedBytes = 2u << 20;

}  // namespace gxsimbus
