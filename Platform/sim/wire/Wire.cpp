// See gxsim/Wire.h.
#include "gxsim/Wire.h"

#include <cstdint>
#include <cstdlib>

namespace gxsim::wire {

int AppendTrace(sd_bus_message* m, const std::vector<TraceEntry>& calls) {
    int r = sd_bus_message_open_container(m, 'a', kTraceCall);
    for (const TraceEntry& e : calls) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'r', kTraceCallFields);
        if (r >= 0)
            r = sd_bus_message_append(m, "tus", static_cast<uint64_t>(e.seq),
                                      static_cast<uint32_t>(e.pid), e.function.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
        for (const std::string& arg : e.args)
            if (r >= 0) r = sd_bus_message_append_basic(m, 's', arg.c_str());
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0)
            r = sd_bus_message_append(m, "is", static_cast<int32_t>(e.result), e.detail.c_str());
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

namespace {

// One entry, the message inside its structure.
int ReadCall(sd_bus_message* m, TraceEntry* e) {
    uint64_t seq = 0;
    uint32_t pid = 0;
    const char* function = nullptr;
    int r = sd_bus_message_read(m, "tus", &seq, &pid, &function);
    if (r < 0) return r;
    char** args = nullptr;
    r = sd_bus_message_read_strv(m, &args);
    if (r < 0) return r;
    for (char** a = args; a != nullptr && *a != nullptr; ++a) {
        e->args.push_back(*a);
        free(*a);
    }
    free(args);
    int32_t result = 0;
    const char* detail = nullptr;
    r = sd_bus_message_read(m, "is", &result, &detail);
    if (r < 0) return r;
    e->seq = seq;
    e->pid = static_cast<int>(pid);
    e->function = function;
    e->result = result;
    e->detail = detail;
    return 0;
}

}  // namespace

int ReadTrace(sd_bus_message* m, std::vector<TraceEntry>* calls) {
    int r = sd_bus_message_enter_container(m, 'a', kTraceCall);
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', kTraceCallFields)) > 0) {
        TraceEntry e;
        r = ReadCall(m, &e);
        if (r < 0) return r;
        calls->push_back(std::move(e));
        r = sd_bus_message_exit_container(m);
        if (r < 0) return r;
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

bool IsOmissionNote(const TraceEntry& call) {
    return call.seq == 0 && call.function.empty();
}

}  // namespace gxsim::wire
