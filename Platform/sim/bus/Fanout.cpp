// See Fanout.h.
#include "Fanout.h"

#include <malloc.h>
#include <systemd/sd-event.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Relay.h"
#include "Timeouts.h"
#include "gxhost/Log.h"
#include "gxsim/Wire.h"

namespace gxsimbus {
namespace {

using DisabledSourceRef = gxhost::Ref<sd_event_source, sd_event_source_disable_unref>;

// Whether the process is stopped: by a signal, or by a debugger.
bool IsStopped(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "re");
    if (f == nullptr) return false;
    char text[512] = "";
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const char* end = std::strrchr(text, ')');
    return end != nullptr && end[1] == ' ' && (end[2] == 'T' || end[2] == 't');
}

// Roughly what a message weighs on a link: its texts and a little for everything else.
size_t MessageBytes(sd_bus_message* m) {
    size_t bytes = 8;
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_peek_type(m, &type, &contents) <= 0) break;
        if (type == SD_BUS_TYPE_ARRAY || type == SD_BUS_TYPE_STRUCT ||
            type == SD_BUS_TYPE_VARIANT || type == SD_BUS_TYPE_DICT_ENTRY) {
            if (sd_bus_message_enter_container(m, type, contents) <= 0) break;
            bytes += MessageBytes(m);
            if (sd_bus_message_exit_container(m) < 0) break;
        } else if (type == SD_BUS_TYPE_STRING || type == SD_BUS_TYPE_OBJECT_PATH ||
                   type == SD_BUS_TYPE_SIGNATURE) {
            const char* text = nullptr;
            if (sd_bus_message_read_basic(m, type, &text) <= 0) break;
            bytes += std::strlen(text) + 8;
        } else {
            const char skip[2] = {type, '\0'};
            if (sd_bus_message_skip(m, skip) <= 0) break;
            bytes += 8;
        }
    }
    return bytes;
}

uint64_t AskTimeoutUsec(Combine combine) {
    return combine == Combine::Trace ? kTraceTimeoutUsec : kSpreadTimeoutUsec;
}

}  // namespace

// One call spread over the workers, answered when every worker asked has answered, failed or
// been left out.
struct Fanout::Gather {
    Fanout* fanout = nullptr;
    gxhost::MessageRef request;
    Combined answers;
    size_t pending = 0;
    std::vector<Ask*> asks;  // those still waited for
    DisabledSourceRef stoppedCheck;

    Gather(Fanout* owner, sd_bus_message* m, Combine combine)
        : fanout(owner), request(sd_bus_message_ref(m)), answers(combine) {}
    const char* method() const { return sd_bus_message_get_member(request.get()); }
};

void Fanout::AddWorker(pid_t pid, sd_bus* control) {
    Link& link = m_Links[pid];
    link.fanout = this;
    link.pid = pid;
    link.bus = control;
}

void Fanout::RemoveWorker(pid_t pid) {
    m_EditLinks.Close(pid);
    m_Links.erase(pid);
}

int Fanout::AcceptEditLink(sd_bus_message* m, sd_bus_error* error) {
    sd_bus* control = sd_bus_message_get_bus(m);
    for (const auto& [pid, link] : m_Links)
        if (link.bus == control) return m_EditLinks.Accept(m, pid, error);
    return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "not a worker's link");
}

// ---- Workers that do not answer ----------------------------------------------------------------

int Fanout::OnStoppedCheck(sd_event_source*, uint64_t, void* userdata) {
    auto* gather = static_cast<Gather*>(userdata);
    Fanout* fanout = gather->fanout;
    ++gather->pending;  // the gather outlives the asks dropped here
    std::vector<Ask*> asks = gather->asks;
    for (Ask* ask : asks) {
        if (ask == nullptr || !IsStopped(ask->pid)) continue;
        auto link = fanout->m_Links.find(ask->pid);
        if (link != fanout->m_Links.end())
            fanout->StopAsking(link->second,
                               std::string("is stopped and did not answer ") + gather->method());
        // Taken back from the link and dropped, the call ends (OnAskEnded).
        gxhost::SlotRef call(sd_bus_slot_ref(ask->slot));
        sd_bus_slot_set_floating(call.get(), 0);
    }
    if (--gather->pending == 0) fanout->Finish(gather);
    return 0;
}

// Marks a link as not answering (one line naming the worker) and starts asking it whether it
// answers again.
void Fanout::StopAsking(Link& link, const std::string& why) {
    if (!link.answering) return;
    link.answering = false;
    gxhost::Log(gxhost::kLogError,
                "worker %d %s: it is left out of simulator calls until it answers again",
                static_cast<int>(link.pid), why.c_str());
    Probe(link);
}

void Fanout::Probe(Link& link) {
    gxhost::MessageRef ping;
    int r = sd_bus_message_new_method_call(link.bus, ping.out(), nullptr, "/",
                                           "org.freedesktop.DBus.Peer", "Ping");
    if (r >= 0)
        r = sd_bus_call_async(link.bus, link.probe.out(), ping.get(), &OnProbed, &link, kProbeUsec);
    if (r < 0) link.probe.reset();
}

int Fanout::OnProbed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* link = static_cast<Link*>(userdata);
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    if (e != nullptr) {
        // Still silent: ask again. Anything else (the link closed) ends the asking.
        if (sd_bus_error_has_name(e, SD_BUS_ERROR_NO_REPLY)) link->fanout->Probe(*link);
        return 1;
    }
    link->answering = true;
    gxhost::Log(gxhost::kLogInfo,
                "worker %d answers again; %llu simulator calls were not sent to it meanwhile",
                static_cast<int>(link->pid), static_cast<unsigned long long>(link->dropped));
    link->dropped = 0;
    return 1;
}

// ---- Sending -----------------------------------------------------------------------------------

// Forgets what sd-bus has written since: *queued is what it still holds.
void Fanout::Unqueue(Link& link, uint64_t* queued) {
    sd_bus_get_n_queued_write(link.bus, queued);
    while (link.queued.size() > *queued) {
        link.queuedBytes -= link.queued.front();
        link.queued.pop_front();
    }
}

// Sends `call` on the link unless the worker does not answer or does not read (then the call is
// dropped and counted); `ask`: wait for its answer (OnGathered). Returns whether it was sent.
bool Fanout::Send(Link& link, sd_bus_message* call, size_t bytes, Ask* ask) {
    uint64_t queued = 0;
    Unqueue(link, &queued);
    if (link.answering &&
        (queued >= kMaxQueuedMessages || link.queuedBytes + bytes > kMaxQueuedBytes))
        StopAsking(link, "does not read its link (" + std::to_string(queued) + " messages, about " +
                             std::to_string(link.queuedBytes >> 10) + " KiB waiting)");
    if (!link.answering) {
        ++link.dropped;
        return false;
    }
    int r = 0;
    if (ask == nullptr) {
        r = sd_bus_message_set_expect_reply(call, 0);
        if (r >= 0) r = sd_bus_send(link.bus, call, nullptr);
    } else {
        r = SendAsking(link, call, ask);
    }
    if (r < 0) {
        gxhost::Log(gxhost::kLogError, "cannot reach worker %d for %s: %s",
                    static_cast<int>(link.pid), sd_bus_message_get_member(call), std::strerror(-r));
        return false;
    }
    if (sd_bus_get_n_queued_write(link.bus, &queued) >= 0 && queued > 0) {
        link.queued.push_back(bytes);
        link.queuedBytes += bytes;
    }
    return true;
}

int Fanout::SendAsking(Link& link, sd_bus_message* call, Ask* ask) {
    gxhost::SlotRef slot;
    int r = sd_bus_call_async(link.bus, slot.out(), call, &OnGathered, ask,
                              AskTimeoutUsec(ask->gather->answers.rule()));
    if (r < 0) return r;
    // However the call ends (answered, timed out, the link closed, dropped as stopped), the
    // gather hears of it once.
    sd_bus_slot_set_destroy_callback(slot.get(), &OnAskEnded);
    sd_bus_slot_set_floating(slot.get(), 1);
    ask->slot = slot.get();
    ask->gather->asks.push_back(ask);
    return 0;
}

// ---- Spreading and gathering -------------------------------------------------------------------

// A call nobody waits for (a stream of gestures): sent to every worker that reads.
void Fanout::SendToAll(sd_bus_message* m, size_t bytes) {
    for (auto& [pid, link] : m_Links) {
        gxhost::MessageRef call;
        if (CopyCall(link.bus, m, call.out()) >= 0) Send(link, call.get(), bytes, nullptr);
    }
}

int Fanout::Spread(sd_bus_message* m, Combine combine) {
    const char* method = sd_bus_message_get_member(m);
    if (std::strcmp(method, "Reset") == 0 || std::strcmp(method, "ClearTrace") == 0) {
        m_Retired.clear();
        m_RetiredBytes = 0;
    }
    sd_bus_message_rewind(m, 1);
    size_t bytes = MessageBytes(m) + 128;  // the header: path, interface, member
    if (!sd_bus_message_get_expect_reply(m)) {
        SendToAll(m, bytes);
        return 1;
    }
    auto* gather = new Gather(this, m, combine);
    gather->pending = 1;  // until every worker has been asked
    for (auto& [pid, link] : m_Links) {
        gxhost::MessageRef call;
        auto* ask = new Ask{gather, pid};
        if (CopyCall(link.bus, m, call.out()) >= 0 && Send(link, call.get(), bytes, ask))
            ++gather->pending;
        else
            delete ask;
    }
    if (gather->pending > 1)
        sd_event_add_time_relative(sd_bus_get_event(sd_bus_message_get_bus(m)),
                                   gather->stoppedCheck.out(), CLOCK_MONOTONIC, kStoppedCheckUsec,
                                   0, &OnStoppedCheck, gather);
    if (--gather->pending == 0) Finish(gather);
    return 1;  // answered when every worker has
}

// A worker that ended meanwhile ("connection terminated") has nothing to add: its instances are
// gone and its trace was retired. One that did not answer in time is left out until it answers
// again; anything else is worth a line.
void Fanout::ReportFailedAsk(const Ask& ask, const sd_bus_error* e) {
    Gather* gather = ask.gather;
    auto link = m_Links.find(ask.pid);
    if (sd_bus_error_has_name(e, SD_BUS_ERROR_NO_REPLY)) {
        if (link != m_Links.end())
            StopAsking(link->second,
                       std::string("did not answer ") + gather->method() + " within " +
                           std::to_string(AskTimeoutUsec(gather->answers.rule()) / 1000) + " ms");
    } else if (e->message == nullptr || std::strstr(e->message, "terminated") == nullptr) {
        gxhost::Log(gxhost::kLogError, "worker %d did not answer %s: %s", static_cast<int>(ask.pid),
                    gather->method(), e->message ? e->message : e->name);
    }
}

int Fanout::OnGathered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* ask = static_cast<Ask*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr))
        ask->gather->fanout->ReportFailedAsk(*ask, sd_bus_message_get_error(reply));
    else
        ask->gather->answers.Take(reply);
    return 1;  // handled (a closing connection goes on to its next pending call)
}

void Fanout::OnAskEnded(void* userdata) {
    auto* ask = static_cast<Ask*>(userdata);
    Gather* gather = ask->gather;
    std::replace(gather->asks.begin(), gather->asks.end(), ask, static_cast<Ask*>(nullptr));
    delete ask;
    if (--gather->pending == 0) gather->fanout->Finish(gather);
}

void Fanout::Finish(Gather* gather) {
    gxhost::MessageRef reply;
    int r = sd_bus_message_new_method_return(gather->request.get(), reply.out());
    if (r >= 0) r = gather->answers.AppendTo(reply.get(), m_Retired);
    if (r >= 0) r = sd_bus_send(nullptr, reply.get(), nullptr);
    if (r < 0 && r != -ENOTCONN)  // the worker that asked has ended meanwhile
        gxhost::Log(gxhost::kLogError, "cannot answer %s: %s", gather->method(), std::strerror(-r));
    bool large = gather->answers.rule() == Combine::Trace;
    delete gather;
    // A trace can take many MiB to combine: hand them back rather than keep them for the
    // broker's life.
    if (large) malloc_trim(0);
}

int Fanout::Retire(sd_bus_message* m) {
    std::vector<gxsim::TraceEntry> entries;
    int r = gxsim::wire::ReadTrace(m, &entries);
    if (r < 0) return r;
    for (gxsim::TraceEntry& e : entries) {
        m_RetiredBytes += gxsim::TraceEntryBytes(e);
        m_Retired.push_back(std::move(e));
    }
    while (!m_Retired.empty() &&
           (m_Retired.size() > kMaxTrace || m_RetiredBytes > kMaxRetiredBytes)) {
        m_RetiredBytes -= gxsim::TraceEntryBytes(m_Retired.front());
        m_Retired.pop_front();
    }
    return sd_bus_reply_method_return(m, "");
}

}  // namespace gxsimbus
