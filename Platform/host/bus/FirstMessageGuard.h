// sd-bus reads greedily while it authenticates: a peer that writes BEGIN and its first calls back
// to back (as gdbus does, and every worker on its control link) has those calls read into the
// connection's buffer together with BEGIN, and nothing wakes the loop for them: the peer waits for
// ever. Once authenticated, sd-bus reads no further than the message it parses, so only what came
// with the end of authentication is at risk. Until a connection has dispatched its first message
// and then found nothing more to do, the guard processes it after every iteration of the loop.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <vector>

#include "gxhost/BusRef.h"

namespace gxhost {

class FirstMessageGuard {
public:
    explicit FirstMessageGuard(sd_event* event);
    FirstMessageGuard(const FirstMessageGuard&) = delete;
    FirstMessageGuard& operator=(const FirstMessageGuard&) = delete;

    // Processes `bus` after every iteration until it has spoken and has nothing buffered.
    int Watch(sd_bus* bus);
    // The bus has dispatched a message.
    void FirstMessageDispatched(sd_bus* bus);
    // The bus is going away.
    void Forget(sd_bus* bus);
    // Whether no connection is watched (the post source then rests).
    bool Idle() const { return m_Waiting.empty(); }

private:
    struct Entry {
        sd_bus* bus;
        bool spoke;
    };
    static int OnPost(sd_event_source* s, void* userdata);

    EventRef m_Event;
    EventSourceRef m_Post;
    std::vector<Entry> m_Waiting;
};

}  // namespace gxhost
