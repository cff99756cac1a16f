// Baseline server: a bare sd-bus peer-to-peer server on sd-event, built the way the host builds
// its connections, with none of the host's work behind the methods.
//
//   gxemp_bench_sdbus_server unix:path=PATH
//
// It serves /org/gxemp/Host1 with the host's signatures: Open(s)->u, Execute(usssss)->(bv)
// answering (true, int32 50) without looking at the command, Close(u). As the signal streamer
// it also serves /org/gxemp/Simulator1 EmitMotionSignal(is)->i, which sends one Event(uiss)
// signal, carrying the text unchanged, straight to every client that called Open. The few bus
// calls a bus client makes (Hello, AddMatch, RemoveMatch) are answered. SIGTERM/SIGINT stop it.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "BenchSocket.h"
#include "gxhost/BusRef.h"

namespace {

struct Server;

struct Connection {
    Server* server = nullptr;
    gxhost::BusRef bus;
    std::string name;
    bool listening = false;  // called Open: receives events
};

struct Server {
    gxhost::EventRef event;
    sd_id128_t id{};
    uint64_t next = 1;
    std::list<std::unique_ptr<Connection>> connections;
};

Connection* Of(void* userdata) {
    return static_cast<Connection*>(userdata);
}

int OnOpen(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Of(userdata)->listening = true;
    return sd_bus_reply_method_return(m, "u", 1u);
}

int OnExecute(sd_bus_message* m, void*, sd_bus_error*) {
    uint32_t engine = 0;
    const char *cmd = nullptr, *a1 = nullptr, *a2 = nullptr, *a3 = nullptr, *a4 = nullptr;
    int r = sd_bus_message_read(m, "usssss", &engine, &cmd, &a1, &a2, &a3, &a4);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "bv", 1, "i", 50);
}

int OnClose(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

int OnEmit(sd_bus_message* m, void* userdata, sd_bus_error*) {
    int32_t signal = 0;
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "is", &signal, &text);
    if (r < 0) return r;
    int32_t sent = 0;
    for (auto& c : Of(userdata)->server->connections) {
        if (!c->listening) continue;
        gxhost::MessageRef s;
        r = sd_bus_message_new_signal(c->bus.get(), s.out(), "/org/gxemp/Host1", "org.gxemp.Host1",
                                      "Event");
        if (r >= 0) r = sd_bus_message_set_destination(s.get(), c->name.c_str());
        if (r >= 0) r = sd_bus_message_append(s.get(), "uiss", 1u, 6511, "EVENT_MOTION_GRAB", text);
        if (r >= 0) r = sd_bus_send(c->bus.get(), s.get(), nullptr);
        if (r >= 0) ++sent;
    }
    return sd_bus_reply_method_return(m, "i", sent);
}

int OnHello(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s", Of(userdata)->name.c_str());
}

int OnMatch(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kHost[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Open", "s", "u", OnOpen, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Execute", "usssss", "bv", OnExecute, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Close", "u", "", OnClose, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("Event", "uiss", 0),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kStreamer[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("EmitMotionSignal", "is", "i", OnEmit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kDaemon[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Hello", "", "s", OnHello, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AddMatch", "s", "", OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveMatch", "s", "", OnMatch, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};

int OnDisconnect(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") <= 0) return 0;
    Connection* c = Of(userdata);
    // Released from a defer source: a connection cannot be freed inside its own dispatch.
    sd_event_add_defer(
        c->server->event.get(), nullptr,
        [](sd_event_source* s, void* data) {
            Connection* gone = Of(data);
            sd_bus_detach_event(gone->bus.get());
            gone->server->connections.remove_if(
                [gone](const std::unique_ptr<Connection>& p) { return p.get() == gone; });
            sd_event_source_disable_unref(s);
            return 0;
        },
        c);
    return 1;
}

int OnAccept(sd_event_source*, int listenFd, uint32_t, void* userdata) {
    auto* server = static_cast<Server*>(userdata);
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return 0;
    auto c = std::make_unique<Connection>();
    c->server = server;
    c->name = ":1." + std::to_string(server->next++);
    int r = sd_bus_new(c->bus.out());
    sd_bus* bus = c->bus.get();
    if (r >= 0) r = sd_bus_set_fd(bus, fd, fd);
    if (r >= 0) r = sd_bus_set_server(bus, 1, server->id);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, "/org/gxemp/Host1", "org.gxemp.Host1", kHost,
                                     c.get());
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, "/org/gxemp/Simulator1", "org.gxemp.Simulator1",
                                     kStreamer, c.get());
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     kDaemon, c.get());
    if (r >= 0) r = sd_bus_add_filter(bus, nullptr, OnDisconnect, c.get());
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0) r = sd_bus_attach_event(bus, server->event.get(), SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        if (bus == nullptr) close(fd);
        return 0;  // the connection goes with `c`
    }
    server->connections.push_back(std::move(c));
    return 0;
}

int OnSignal(sd_event_source* s, const struct signalfd_siginfo*, void*) {
    return sd_event_exit(sd_event_source_get_event(s), 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = gxbench::SocketPathArgument(argc, argv);
    if (path.empty()) return 2;
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server;
    if (sd_event_new(server.event.out()) < 0) return 1;
    sd_event_add_signal(server.event.get(), nullptr, SIGINT, OnSignal, nullptr);
    sd_event_add_signal(server.event.get(), nullptr, SIGTERM, OnSignal, nullptr);
    sd_id128_randomize(&server.id);
    int fd = gxbench::ListenUnix(path, SOCK_NONBLOCK);
    if (fd < 0) {
        std::perror("listen");
        return 1;
    }
    sd_event_add_io(server.event.get(), nullptr, fd, EPOLLIN, OnAccept, &server);
    int r = sd_event_loop(server.event.get());
    server.connections.clear();  // each flushed and closed
    close(fd);
    unlink(path.c_str());
    return r < 0 ? 1 : 0;
}
