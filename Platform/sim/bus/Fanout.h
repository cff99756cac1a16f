// The broker's side of the calls that reach every worker: a worker relays its clients' call (see
// Relay.h), and the broker spreads it over every worker's control link and answers with the
// combination of their answers (Combined.h). It also keeps the trace of the workers that have
// ended, and each worker's edit link (StateLink.h).
//
// No worker can hold up another's call: each is asked with a short timeout, one that misses it
// (stopped, or stuck) is named in the log and asked nothing more until it answers a Ping again,
// and what sd-bus queues for a worker that does not read is bounded (Timeouts.h).
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Combined.h"
#include "MethodTable.h"
#include "StateLink.h"
#include "gxhost/BusRef.h"
#include "gxsim/Sim.h"

namespace gxsimbus {

class Fanout {
public:
    // A worker's control link, from when the host has it until the worker has ended.
    void AddWorker(pid_t pid, sd_bus* control);
    void RemoveWorker(pid_t pid);

    // Spreads `m` (a call on a worker's control link) over every worker, and answers it with
    // their answers combined as `combine` says.
    int Spread(sd_bus_message* m, Combine combine);
    // A worker that exits hands over its trace.
    int Retire(sd_bus_message* m);
    // A worker hands over the other end of its edit link.
    int AcceptEditLink(sd_bus_message* m, sd_bus_error* error);

private:
    struct Gather;
    struct Link {
        Fanout* fanout = nullptr;
        pid_t pid = 0;
        sd_bus* bus = nullptr;  // the host's
        bool answering = true;
        uint64_t dropped = 0;       // calls not sent while it did not answer
        std::deque<size_t> queued;  // the sizes of what sd-bus holds for it, as far as known
        size_t queuedBytes = 0;
        gxhost::SlotRef probe;  // the Ping that asks whether it answers again
    };
    // One worker asked for its part of a gathered call.
    struct Ask {
        Gather* gather;
        pid_t pid;
        sd_bus_slot* slot = nullptr;  // floating: the link owns it
    };

    static int OnStoppedCheck(sd_event_source*, uint64_t, void* userdata);
    static int OnProbed(sd_bus_message* reply, void* userdata, sd_bus_error*);
    static int OnGathered(sd_bus_message* reply, void* userdata, sd_bus_error*);
    static void OnAskEnded(void* userdata);

    void StopAsking(Link& link, const std::string& why);
    void Probe(Link& link);
    void Unqueue(Link& link, uint64_t* queued);
    bool Send(Link& link, sd_bus_message* call, size_t bytes, Ask* ask);
    int SendAsking(Link& link, sd_bus_message* call, Ask* ask);
    void SendToAll(sd_bus_message* m, size_t bytes);
    void ReportFailedAsk(const Ask& ask, const sd_bus_error* e);
    void Finish(Gather* gather);

    std::map<pid_t, Link> m_Links;
    std::deque<gxsim::TraceEntry> m_Retired;  // the calls of workers that have ended
    size_t m_RetiredBytes = 0;
    EditLinks m_EditLinks;
};

}  // namespace gxsimbus
