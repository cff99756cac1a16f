// The broker's combination of the workers' answers to one call that reaches every worker, as the
// method table's Combine column says (see MethodTable.h).
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "MethodTable.h"
#include "gxhost/BusRef.h"
#include "gxsim/Sim.h"

namespace gxsimbus {

class Combined {
public:
    explicit Combined(Combine rule) : m_Rule(rule) {}

    // One worker's answer (read from its start); an answer of the wrong shape adds nothing.
    void Take(sd_bus_message* answer);
    // Appends the combination to `reply`; a Trace also holds `retired`, the calls of the workers
    // that have ended, and is capped (CapTraceReply).
    int AppendTo(sd_bus_message* reply, const std::deque<gxsim::TraceEntry>& retired);

    Combine rule() const { return m_Rule; }

private:
    Combine m_Rule;
    bool m_Any = false;
    std::vector<gxhost::MessageRef> m_Parts;  // Concat
    std::vector<gxsim::TraceEntry> m_Trace;   // Trace
};

// What the broker keeps of the calls of workers that have ended, and what one Trace reply holds:
// the newest entries, as many as fit both bounds. (sd-bus refuses an array above 64 MiB and a
// message above 128 MiB: the link that received one would be closed.)
constexpr size_t kMaxTrace = 100000;
constexpr size_t kMaxRetiredBytes = 16u << 20;
constexpr size_t kMaxTraceReplyBytes = 16u << 20;

// The newest entries of `all` (sorted by sequence) that fit a reply; the first entry then says
// how many older ones were left out (gxsim::wire::IsOmissionNote).
void CapTraceReply(std::vector<gxsim::TraceEntry>* all);

}  // namespace gxsimbus
