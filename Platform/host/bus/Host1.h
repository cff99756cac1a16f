// The object /org/gxemp/Host1 (interface org.gxemp.Host1): engine ownership per client, and the
// hand-off of events from library threads to the loop thread. It serves the clients of a listening
// socket (one process for all clients), the clients of a bus, or, in a worker process, the one
// connection the broker accepted for it. On a peer-to-peer connection the bus driver's stand-in
// (BusDriver.h) answers beside it.
//
// Everything here runs on the one thread that runs the sd-event loop, except
// EngineSink::OnEmpEvent, which library threads call: it sends on a client's connection only
// under the loop lock (which the loop thread holds except while it waits, see EventQueue.h), and
// otherwise touches only the client's event queue (under that queue's mutex) and the wake-up
// eventfd.
//
// Host1.cpp holds the interface's methods and the engines, Host1Clients.cpp the connections and
// clients, Host1Events.cpp the delivery of events.
#pragma once

#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "EmpAppBase.h"
#include "EmpEngineBase.h"
#include "bus/BusDriver.h"
#include "bus/EventQueue.h"
#include "bus/FirstMessageGuard.h"
#include "bus/HostLimits.h"
#include "gxhost/BusRef.h"

namespace gxhost {

class Listener;

class Host1 {
public:
    Host1(kiv::CEmpAppBase* app, sd_event* event, const HostLimits& limits);
    ~Host1();

    Host1(const Host1&) = delete;
    Host1& operator=(const Host1&) = delete;

    // Creates the wake-up source. Returns a negative errno on failure.
    int Init();
    // Peer-to-peer mode: accepts clients on a listening socket (ownership of fd passes here).
    int ServeListener(int fd);
    // Peer-to-peer mode: serves one connection accepted elsewhere (ownership of fd passes here),
    // under the given unique name (":1.N"); `peer` is who is at its other end.
    int ServeConnection(int fd, const ucred& peer, const std::string& name);
    // Whether a ServeConnection failure means that the client hung up while its connection was
    // set up (a readiness probe, a port scanner): it left, nothing failed.
    static bool ClientLeft(int r) { return r == -ECONNRESET || r == -EPIPE || r == -ENOTCONN; }
    // Called on the loop thread once the last client is gone (a worker then ends).
    void OnLastClientGone(std::function<void()> callback) {
        m_LastClientGone = std::move(callback);
    }
    // Bus mode: serves on a bus connection already attached to the event loop; the caller
    // requests the name afterwards.
    int ServeBus(sd_bus* bus);

    // Destroys every engine in the order they were opened, then drops every client.
    void Shutdown();

    size_t EngineCount() const { return m_Engines.size(); }
    // The lock the loop that serves this object runs under (RunLoopUnder, service/Loop.h): with
    // it, library threads send events themselves while the loop waits.
    LoopLock* Lock() { return &m_LoopLock; }

private:
    struct Client;
    // The userdata of the interface's methods: the client of a peer-to-peer connection, or none
    // on a bus (the client is the message's sender).
    struct Binding {
        Host1* host;
        Client* client;
    };
    struct Client {
        Host1* host = nullptr;
        sd_bus* bus = nullptr;              // its own connection (peer-to-peer) or the shared bus
        UnflushedBusRef ownBus;             // peer-to-peer: its connection
        std::unique_ptr<BusDriver> driver;  // peer-to-peer: the bus driver's stand-in
        Binding binding{nullptr, nullptr};
        bool gone = false;
        bool talking = false;  // a message has been dispatched: authentication is over
        std::string name;      // unique name given in Hello, or the sender on the bus
        struct ucred peer {};  // peer-to-peer mode: the process at the other end
        EventSourceRef authTimer;
        std::shared_ptr<EventQueue> queue;
        EventSourceRef retry;
        uint64_t droppedTotal = 0;
    };
    struct EngineEntry {
        kiv::CEmpEngineBase* engine = nullptr;
        Client* owner = nullptr;
        std::unique_ptr<EngineSink> sink;
    };

    static const sd_bus_vtable kVtable[];
    static int OnOpen(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnExecute(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnClose(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetInfo(sd_bus* bus, const char* path, const char* interface, const char* property,
                         sd_bus_message* reply, void* userdata, sd_bus_error* error);

    static int OnAuthTimeout(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnWake(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int OnRetry(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnReap(sd_event_source* s, void* userdata);
    static int OnConnectionMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);

    // Sets up a client's own connection; `step` names what failed.
    int SetUpConnection(Client* client, const char** step);
    Client* ClientOf(sd_bus_message* m, void* userdata, bool create);
    EngineEntry* OwnedEngine(Client* client, uint32_t id, sd_bus_error* error);
    int ReadBoundedString(sd_bus_message* m, std::string* out, sd_bus_error* error);
    uint32_t AddEngine(kiv::CEmpEngineBase* engine, Client* owner, const std::string& appId);
    void DestroyEngine(uint32_t id, const char* why);
    void DropClient(Client* client);
    void MarkGone(Client* client);
    void DeliverEvents(Client* client);
    void RetryLater(Client* client);

    LoopLock m_LoopLock;
    EventRef m_Event;
    kiv::CEmpAppBase* m_App;
    HostLimits m_Limits;
    int m_WakeFd = -1;
    EventSourceRef m_WakeSource;
    EventSourceRef m_ReapSource;
    FirstMessageGuard m_Guard;
    std::unique_ptr<Listener> m_Listener;
    std::function<void()> m_LastClientGone;
    sd_id128_t m_ServerId{};
    uint64_t m_NextClient = 1;
    uint32_t m_NextEngine = 1;
    std::list<std::unique_ptr<Client>> m_Clients;
    std::map<uint32_t, EngineEntry> m_Engines;  // ordered by id, which is the opening order
    // Bus mode.
    SharedBusRef m_Bus;
    Binding m_BusBinding{this, nullptr};
    std::map<std::string, Client*> m_BusClients;
};

}  // namespace gxhost
