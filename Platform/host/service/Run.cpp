// The service's process. See Run.h.
//
// On a peer-to-peer socket the process is a broker that starts a worker process per client (see
// broker/Broker.h); with --single-process, and on a bus (where one process owns the name), one
// process serves every client. A worker is this program again, forked by the worker template
// (worker/Template.h) or started by the broker (see worker/Worker.h). Each step below reports its
// own failure.
#include "service/Run.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "broker/Broker.h"
#include "bus/Host1.h"
#include "gxhost/Endpoint.h"
#include "service/HostLog.h"
#include "service/Listen.h"
#include "service/LogSetup.h"
#include "service/Loop.h"
#include "worker/Template.h"
#include "worker/Worker.h"

namespace gxhost {

namespace {

// Connects to the bus the options name and serves Host1 there under its well-known name.
bool ServeOnBus(ServiceContext* ctx, Host1* service, BusRef* bus) {
    const std::string& which = ctx->options.bus;
    sd_event* event = ctx->event.get();
    int r = which == "system" ? sd_bus_open_system(bus->out()) : sd_bus_open_user(bus->out());
    if (r >= 0) r = StopWhenGone(ctx, bus->get(), "the message bus", 1);
    if (r >= 0) r = sd_bus_attach_event(bus->get(), event, SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) r = service->ServeBus(bus->get());
    if (r < 0) return Fail(*ctx, "cannot serve on the " + which + " bus: " + std::strerror(-r));
    r = sd_bus_request_name(bus->get(), kBusName, 0);
    if (r == -EEXIST)
        return Fail(*ctx, std::string(kBusName) + " is already owned on the " + which +
                              " bus (another service is running)");
    if (r < 0) return Fail(*ctx, "cannot own " + std::string(kBusName) + ": " + std::strerror(-r));
    return true;
}

// Opens the listening socket and hands it to `serve`; *socket says where, and what to remove.
bool ServeOnSocket(ServiceContext* ctx, const std::function<int(int)>& serve,
                   ListeningSocket* socket) {
    std::string error;
    *socket = OpenListeningSocket(ctx->options, &error);
    if (socket->fd < 0) return Fail(*ctx, error);
    int r = serve(socket->fd);
    if (r < 0) return Fail(*ctx, std::string("cannot serve: ") + std::strerror(-r));
    return true;
}

// Says where the service serves, and runs the loop (under the lock of the Host1 it serves, if
// any) until it is told to stop. The exit status.
int ServeUntilStopped(ServiceContext* ctx, const std::string& where, const char* how,
                      LoopLock* lock) {
    HostLog(kLogNotice, "serving on %s (%s)", where.c_str(), how);
    sd_notify(0, "READY=1");
    int r = RunLoopUnder(ctx->event.get(), lock);
    sd_notify(0, "STOPPING=1");
    return r < 0 ? 1 : r;
}

// One process serves every client, on a bus or a socket.
int RunSingle(ServiceContext* ctx, ListeningSocket* socket) {
    BusRef bus;  // outlives the service, which serves on it
    Host1 service(ctx->app, ctx->event.get(), ctx->options.limits);
    int r = service.Init();
    if (r < 0) return Fail(*ctx, std::string("cannot start: ") + std::strerror(-r)), 1;
    bool onBus = !ctx->options.bus.empty();
    bool ok = onBus ? ServeOnBus(ctx, &service, &bus)
                    : ServeOnSocket(
                          ctx, [&service](int fd) { return service.ServeListener(fd); }, socket);
    int status = 1;
    if (ok) {
        std::string where = onBus ? ctx->options.bus + " bus as " + kBusName : socket->where;
        status = ServeUntilStopped(ctx, where, "one process for every client", service.Lock());
        HostLog(kLogInfo, "stopping: destroying %zu engines", service.EngineCount());
    }
    service.Shutdown();
    return status;
}

// A broker hands each client to a worker of its own.
int RunBroker(ServiceContext* ctx, ListeningSocket* socket) {
    Broker broker(ctx->event.get(), BrokerOptionsFor(ctx->options, ctx->argv0));
    if (!ServeOnSocket(
            ctx, [&broker](int fd) { return broker.Serve(fd); }, socket))
        return 1;
    ctx->broker = &broker;
    int status = ServeUntilStopped(ctx, socket->where, "a worker process per client", nullptr);
    ctx->broker = nullptr;
    return status;
}

int RunService(ServiceContext* ctx) {
    bool single = ctx->options.singleProcess || !ctx->options.bus.empty();
    if (!MakeLoop(ctx, !single) || !StartExtensions(*ctx, single ? Role::Single : Role::Broker, {}))
        return 1;
    ListeningSocket socket;
    int status = single ? RunSingle(ctx, &socket) : RunBroker(ctx, &socket);
    if (!socket.bound.empty()) unlink(socket.bound.c_str());
    StopExtensions();
    HostLog(kLogNotice, "stopped");
    FlushLogs();
    return status;
}

}  // namespace

int Run(ServiceContext* ctx) {
    // The template opens no log (its workers do, each as its own process) and leaves without
    // flushing what the application's start held for it: each of its workers writes that itself.
    if (ctx->options.workerTemplate) _exit(RunTemplate(ctx));
    if (!OpenLog(*ctx)) return 1;
    RaiseDescriptorLimit();
    return ctx->options.IsWorker() ? RunWorker(ctx) : RunService(ctx);
}

}  // namespace gxhost
