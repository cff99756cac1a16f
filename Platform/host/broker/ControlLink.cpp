// The broker's end of each worker's control link, which it relays to the extensions. See
// Broker.h.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "Broker.h"
#include "gxhost/Extension.h"
#include "service/HostLog.h"

namespace gxhost {

int Broker::OpenControl(Worker* worker, int fd) {
    UnflushedBusRef bus;
    int r = sd_bus_new(bus.out());
    if (r >= 0) r = sd_bus_set_fd(bus.get(), fd, fd);
    if (r < 0) {
        close(fd);  // not the link's until sd_bus_set_fd succeeds
        return r;
    }
    r = sd_bus_set_server(bus.get(), 1, m_ServerId);
    if (r >= 0) r = sd_bus_start(bus.get());
    if (r >= 0) r = sd_bus_attach_event(bus.get(), m_Event.get(), SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) r = sd_bus_set_close_on_exit(bus.get(), 0);
    if (r >= 0)
        r = sd_bus_add_filter(bus.get(), worker->firstMessage.out(), &Broker::OnFirstMessage,
                              worker);
    if (r >= 0) r = m_Guard.Watch(bus.get());
    if (r < 0) {
        m_Guard.Forget(bus.get());
        worker->firstMessage.reset();
        return r;
    }
    worker->control = std::move(bus);
    return 0;
}

// A worker's first message on its link (a Ping, before it serves its client) says the link is up
// both ways; only then may the broker send anything there. Sooner, sd-bus could read the broker's
// message together with the end of authentication and leave it unseen in the worker.
int Broker::OnFirstMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* worker = static_cast<Worker*>(userdata);
    if (worker->ready || sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", nullptr) > 0)
        return 0;
    worker->ready = true;
    worker->broker->m_Guard.FirstMessageDispatched(worker->control.get());
    if (worker->spare) HostLog(kLogInfo, "spare worker %d ready", static_cast<int>(worker->pid));
    if (worker->hangUpDue) kill(worker->pid, SIGHUP);
    worker->hangUpDue = false;
    worker->broker->StartTemplateOnce();
    for (Extension* ext : Extensions()) {
        int r = ext->AttachControl(worker->control.get(), worker->pid);
        if (r < 0)
            HostLog(kLogError, "worker %d: control link: %s", static_cast<int>(worker->pid),
                    std::strerror(-r));
    }
    return 0;
}

}  // namespace gxhost
