// A worker process. See Worker.h and WorkerProtocol.h.
#include "worker/Worker.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "bus/Host1.h"
#include "gxhost/Extension.h"
#include "service/HostLog.h"
#include "service/LogSetup.h"
#include "service/Loop.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

namespace {

// The link to the broker, on which the extensions talk. The worker speaks first on it, and waits
// for the answer: see Broker::OnFirstMessage.
int OpenControlLink(ServiceContext* ctx, UnflushedBusRef* control) {
    sd_event* event = ctx->event.get();
    int r = sd_bus_new(control->out());
    if (r >= 0) r = sd_bus_set_fd(control->get(), kControlFd, kControlFd);
    if (r >= 0) r = StopWhenGone(ctx, control->get(), "the broker", 0);
    if (r >= 0) r = sd_bus_start(control->get());
    if (r >= 0) r = sd_bus_attach_event(control->get(), event, SD_EVENT_PRIORITY_NORMAL);
    // The link outlives the loop: extensions still use it while the worker stops.
    if (r >= 0) r = sd_bus_set_close_on_exit(control->get(), 0);
    for (Extension* ext : Extensions())
        if (r >= 0) r = ext->AttachControl(control->get(), 0);
    if (r >= 0)
        r = sd_bus_call_method(control->get(), nullptr, "/", "org.freedesktop.DBus.Peer", "Ping",
                               nullptr, nullptr, "");
    return r;
}

int RunLoop(sd_event* event, Host1* service) {
    int r = RunLoopUnder(event, service->Lock());
    return r < 0 ? 1 : r;
}

// Serves the client on `fd` (which it takes) until it goes. 1: served; 0: the client has left
// already; a negative errno: it cannot be served.
int ServeClient(ServiceContext* ctx, Host1* service, int fd, const std::string& name) {
    struct ucred peer {};
    socklen_t len = sizeof peer;
    getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len);
    int r = service->ServeConnection(fd, peer, name);
    if (Host1::ClientLeft(r)) return 0;
    if (r < 0) {
        Fail(*ctx, std::string("cannot serve the client: ") + std::strerror(-r));
        return r;
    }
    sd_event* event = ctx->event.get();
    service->OnLastClientGone([event] { sd_event_exit(event, 0); });
    return 1;
}

struct SpareWait {
    ServiceContext* ctx;
    Host1* service;
    EventSourceRef source;
};

// A spare's client, on the hand-off socket. The socket's end (nothing read) means the broker
// needs this spare no more.
int OnHandOff(sd_event_source* s, int fd, uint32_t, void* userdata) {
    auto* wait = static_cast<SpareWait*>(userdata);
    sd_event* event = wait->ctx->event.get();
    int client = -1;
    std::string name;
    int r = ReceiveClient(fd, &client, &name);
    if (r == -EAGAIN) return 0;
    sd_event_source_set_enabled(s, SD_EVENT_OFF);
    close(fd);
    if (r <= 0) {
        HostLog(kLogInfo, "no client comes: stopping");
        return sd_event_exit(event, 0);
    }
    r = ServeClient(wait->ctx, wait->service, client, name);
    if (r <= 0) sd_event_exit(event, r == 0 ? 0 : 1);
    return 0;
}

// Ready: the client comes when the broker has one (OnHandOff).
int ServeSpare(ServiceContext* ctx, Host1* service) {
    SpareWait wait{ctx, service, {}};
    int r =
        sd_event_add_io(ctx->event.get(), wait.source.out(), kClientFd, EPOLLIN, &OnHandOff, &wait);
    if (r < 0) {
        Fail(*ctx, std::string("cannot wait for a client: ") + std::strerror(-r));
        return 1;
    }
    return RunLoop(ctx->event.get(), service);
}

int ServeNamedClient(ServiceContext* ctx, Host1* service) {
    int r = ServeClient(ctx, service, kClientFd, ctx->options.worker);
    if (r > 0) return RunLoop(ctx->event.get(), service);
    return r == 0 ? 0 : 1;
}

// The client's Host1, from its start to the destruction of its engines. The exit status.
int Serve(ServiceContext* ctx) {
    Host1 service(ctx->app, ctx->event.get(), ctx->options.limits);
    int status = 1;
    int r = service.Init();
    if (r < 0)
        Fail(*ctx, std::string("cannot serve the client: ") + std::strerror(-r));
    else
        status = ctx->options.spare ? ServeSpare(ctx, &service) : ServeNamedClient(ctx, &service);
    service.Shutdown();
    return status;
}

}  // namespace

int RunWorker(ServiceContext* ctx) {
    std::string prefix = "[worker " + std::to_string(getpid()) + "] ";
    SetLogPrefix(prefix.c_str());
    if (!MakeLoop(ctx, false) || !StartExtensions(*ctx, Role::Worker, ctx->options.workerFds))
        return 1;
    UnflushedBusRef control;
    int r = OpenControlLink(ctx, &control);
    if (r < 0)
        return Fail(*ctx, std::string("no control link to the broker: ") + std::strerror(-r)), 1;
    int status = Serve(ctx);
    StopExtensions();
    // What the extensions said last on the link reaches the broker before it closes.
    sd_bus_flush(control.get());
    control.reset();
    HostLog(kLogInfo, "stopped");
    FlushLogs();
    return status;
}

}  // namespace gxhost
