// The ring that broadcasts the libraries' signals to every process of a shared TV.
//
// The simulated camera is one for all the processes that serve a TV's clients, so a signal
// emitted in one of them is due to the library instances of every one. The ring, in the TV's
// shared segment, carries it there without a message through the broker: the process that
// emits writes the signal into the ring, and each process's reader thread takes it from there
// and queues it for its own instances, woken by a futex.
//
// - Positions count up from 0; position p lives in slot p % kRingSlots. A writer reserves its
//   positions with one atomic add on the head, so several processes write at once, fills the
//   slots and commits each by storing p + 1 as its sequence number (release).
// - No process waits on another without a bound. A reader that meets a reserved slot that is not
//   committed (its writer stopped or killed halfway) waits for it at most a given time, then skips
//   it, and every other uncommitted slot reserved before it began waiting, and counts them.
//   A reader lapped by the writers counts the positions it lost and carries on from the oldest
//   one still in the ring. Readers never hold writers back.
// - Everything read from the area is untrusted: a slot is copied, then its sequence number read
//   again (a writer overwriting it meanwhile is a torn read), its fields range-checked and its
//   checksum verified; the head may hold anything.
// - Each reading process owns one entry of a table in the area: its pid, how many of its library
//   instances subscribe to each signal (what an emit answers as "queued", summed over the
//   entries in use) and its reader's counters.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gxsim/Sim.h"

namespace gxsim::internal {

#if defined(__SANITIZE_THREAD__)
#define GXSIM_RING_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GXSIM_RING_TSAN 1
#endif
#endif

// Orders plain copies in the ring against the sequence numbers around them (as in Shared.cpp:
// ThreadSanitizer refuses fences, and sees nothing of the other processes; there only the atomic
// accesses order them).
inline void RingFence(int order) {
#ifndef GXSIM_RING_TSAN
    __atomic_thread_fence(order);
#else
    (void)order;
#endif
}

// One signal as the ring carries it.
struct RingSignal {
    bool face = false;  // else the motion library's
    int signal = 0;
    std::optional<std::string> text;   // a motion signal's data
    std::optional<FaceRecord> record;  // a face signal's data
};

constexpr uint32_t kRingSlots = 8192;
constexpr uint32_t kRingSlotBytes = 256;
constexpr uint32_t kRingEntries = 1024;  // reading processes
// The signals an instance can subscribe to: the motion library's 1000 to 1034, the face
// library's 0 to 5.
constexpr int kRingFirstMotionSignal = 1000;
constexpr int kRingMotionSignals = 35;
constexpr int kRingFaceSignals = 6;

// Subscribed instances per signal, as one process publishes them.
struct RingCounts {
    uint32_t motion[kRingMotionSignals] = {};
    uint32_t face[kRingFaceSignals] = {};
};

// What a reader passed over, in ring positions (a signal takes one unless its data is large).
struct RingCounters {
    uint64_t overrun = 0;  // lapped: overwritten before it read them
    uint64_t skipped = 0;  // reserved and not committed within the wait
    uint64_t torn = 0;     // changed while read, or failing their checks
};

// The area's size, a multiple of the page size.
size_t RingAreaBytes();

class SignalRing {
public:
    // `area`: RingAreaBytes() bytes, zero when the ring is made (a fresh memfd is).
    explicit SignalRing(void* area);

    // Writes `s` and wakes the readers; false when its data is larger than the ring takes.
    bool Write(const RingSignal& s);
    // Write in its two steps (a writer may stop between them): the first of `slots`
    // consecutive positions, then the slots filled and committed.
    uint64_t Reserve(uint32_t slots);
    void Fill(uint64_t first, const RingSignal& s);
    // How many slots `s` takes; 0 when more than a record may take.
    static uint32_t SlotsFor(const RingSignal& s);
    uint64_t Head() const;

    // The table of reading processes. Register takes a free entry (or one of a process that has
    // ended) for `pid`: its index, or -1 when every entry is taken.
    int Register(int32_t pid);
    // Frees the entries of `pid` (it has ended).
    void Release(int32_t pid);
    void PublishCounts(int entry, const RingCounts& counts);
    void PublishCounters(int entry, const RingCounters& counters);
    // The instances subscribed to the signal, over every entry in use.
    int Subscribed(bool face, int signal) const;
    // Every entry in use: its pid and its reader's counters.
    std::vector<std::pair<int32_t, RingCounters>> Readers() const;

    // For readers: the futex word writers bump, waiting on it until `deadline`, and bumping it
    // to wake every waiter without a new signal (a reader that is to stop).
    uint32_t WakeWord() const;
    void Sleep(uint32_t seen, std::chrono::steady_clock::time_point deadline);
    void Poke();

    enum class SlotRead { Committed, Uncommitted, Lapped, Torn };
    struct SlotImage;
    SlotRead ReadSlot(uint64_t pos, SlotImage* out) const;

    // The raw parts, for the tests that damage them.
    struct Header;
    struct Entry;
    struct Slot;
    // Sets a slot's checksum for position `pos` (what a writer does last before it commits).
    static void Seal(uint64_t pos, Slot* s);
    Header* header() const { return m_Header; }
    Slot* slot(uint64_t pos) const;

private:
    void Wake();
    uint32_t EntriesInUse() const;
    Header* m_Header;
    Entry* m_Entries;
    Slot* m_Slots;
};

struct SignalRing::Header {
    uint64_t head;      // the next position to reserve
    uint32_t wake;      // bumped after every commit (the futex word)
    uint32_t sleepers;  // readers waiting on it
    uint32_t entries;   // entries of the table ever taken (those beyond are all free)
    uint8_t reserved[44];
};

struct SignalRing::Entry {
    int32_t pid;       // 0: free
    uint32_t version;  // odd while its owner writes the counts
    uint64_t overrun, skipped, torn;
    uint32_t motion[kRingMotionSignals];
    uint32_t face[kRingFaceSignals];
};

struct SignalRing::Slot {
    uint64_t seq;    // position + 1 once committed; 0 while written
    uint64_t sum;    // checksum of the position, the fields below and the data used
    uint32_t count;  // first slot of a record: its slots; others: their index in it
    uint32_t used;   // bytes of data in this slot
    int32_t signal;
    uint32_t info;  // kind (first or following) and library
    char data[kRingSlotBytes - 32];
};
static_assert(sizeof(SignalRing::Slot) == kRingSlotBytes, "a slot is as large as said");

struct SignalRing::SlotImage : SignalRing::Slot {};

class RingReader {
public:
    // Reads from position `from`; waits at most `uncommittedWait` for a slot to be committed.
    RingReader(SignalRing* ring, uint64_t from, std::chrono::milliseconds uncommittedWait);

    // The next signal, waiting up to `wait` for one; false when none came, or at once when
    // `*stop` is set (and the ring poked).
    bool Next(RingSignal* out, std::chrono::nanoseconds wait,
              const std::atomic<bool>* stop = nullptr);
    // Goes on reading from `from`, keeping the counters.
    void Restart(uint64_t from);
    // The position read up to: every signal before it has been returned or counted.
    uint64_t position() const { return m_Pos; }
    const RingCounters& counters() const { return m_Counters; }

private:
    bool Take(const SignalRing::SlotImage& slot, RingSignal* out);
    void Drop();

    SignalRing* m_Ring;
    uint64_t m_Pos;
    std::chrono::milliseconds m_UncommittedWait;
    RingCounters m_Counters;
    // A stall: the uncommitted position waited on, since when, and the head then.
    std::optional<uint64_t> m_StallPos;
    std::chrono::steady_clock::time_point m_StallSince;
    uint64_t m_StallHead = 0;
    uint64_t m_SkipBelow = 0;  // a stall timed out: uncommitted slots below here are skipped
    // The record being put together from its slots.
    bool m_Partial = false;
    uint32_t m_PartSlots = 0, m_PartNext = 0, m_PartInfo = 0;
    int32_t m_PartSignal = 0;
    std::string m_PartData;
};

}  // namespace gxsim::internal
