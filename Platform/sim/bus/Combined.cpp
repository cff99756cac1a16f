// See Combined.h.
#include "Combined.h"

#include <algorithm>
#include <climits>
#include <string>

#include "gxsim/Wire.h"

namespace gxsimbus {

void Combined::Take(sd_bus_message* answer) {
    switch (m_Rule) {
        case Combine::Any: {
            int b = 0;
            if (sd_bus_message_read(answer, "b", &b) >= 0) m_Any = m_Any || b;
            break;
        }
        case Combine::Concat:
            m_Parts.emplace_back(sd_bus_message_ref(answer));
            break;
        case Combine::Trace:
            gxsim::wire::ReadTrace(answer, &m_Trace);
            break;
        case Combine::Here:
        case Combine::Ring:
        case Combine::Nothing:
            break;
    }
}

namespace {

// Every element of the parts' arrays, in one array of `element`.
int AppendConcatenated(sd_bus_message* reply, const char* element,
                       const std::vector<gxhost::MessageRef>& parts) {
    int r = sd_bus_message_open_container(reply, 'a', element);
    for (const gxhost::MessageRef& part : parts) {
        if (r >= 0) r = sd_bus_message_enter_container(part.get(), 'a', element);
        while (r >= 0 && sd_bus_message_at_end(part.get(), 0) == 0)
            r = sd_bus_message_copy(reply, part.get(), 0);
        if (r >= 0) r = sd_bus_message_exit_container(part.get());
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

}  // namespace

int Combined::AppendTo(sd_bus_message* reply, const std::deque<gxsim::TraceEntry>& retired) {
    switch (m_Rule) {
        case Combine::Any:
            return sd_bus_message_append(reply, "b", m_Any ? 1 : 0);
        case Combine::Concat:  // MotionStates, the only one
            return AppendConcatenated(reply, gxsim::wire::kMotionState, m_Parts);
        case Combine::Trace: {
            m_Trace.insert(m_Trace.end(), retired.begin(), retired.end());
            std::sort(m_Trace.begin(), m_Trace.end(),
                      [](const gxsim::TraceEntry& a, const gxsim::TraceEntry& b) {
                          return a.seq < b.seq;
                      });
            CapTraceReply(&m_Trace);
            return gxsim::wire::AppendTrace(reply, m_Trace);
        }
        case Combine::Here:
        case Combine::Ring:
        case Combine::Nothing:
            break;
    }
    return 0;
}

void CapTraceReply(std::vector<gxsim::TraceEntry>* all) {
    size_t bytes = 0, keep = 0;
    for (auto it = all->rbegin(); it != all->rend() && keep < kMaxTrace; ++it, ++keep) {
        bytes += gxsim::TraceEntryBytes(*it);
        if (bytes > kMaxTraceReplyBytes) break;
    }
    size_t left = all->size() - keep;
    if (left == 0) return;
    all->erase(all->begin(), all->begin() + static_cast<std::ptrdiff_t>(left));
    gxsim::TraceEntry note;
    note.result = static_cast<int>(std::min<size_t>(left, INT32_MAX));
    note.detail = std::to_string(left) +
                  " older calls left out: a reply holds the newest calls that fit in " +
                  std::to_string(kMaxTraceReplyBytes >> 20) + " MiB, " + std::to_string(kMaxTrace) +
                  " at most";
    all->insert(all->begin(), std::move(note));
}

}  // namespace gxsimbus
