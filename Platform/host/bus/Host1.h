// The host's D-Bus service: the object /org/gxemp/Host1, engine ownership per client, and the
// hand-off of events from library threads to the loop thread. It serves the clients of a listening
// socket (one process for all clients), the clients of a bus, or, in a worker process, the one
// connection the broker accepted for it.
//
// Everything here runs on the one thread that runs the sd-event loop, except
// EngineSink::OnEmpEvent, which library threads call; it only touches a client's event queue
// (under that queue's mutex) and the wake-up eventfd.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "EmpAppBase.h"
#include "EmpEngineBase.h"
#include "bus/FirstMessageGuard.h"

namespace gxhost {

class Listener;

struct HostLimits {
    // Events waiting for one client; beyond it the oldest are dropped (counted and logged).
    size_t maxQueuedEvents = 1024;
    // Messages sd-bus may hold for one connection before events wait in our own queue instead.
    uint64_t maxBusWriteQueue = 256;
    // Longest string argument accepted from a client.
    size_t maxArgumentBytes = 1u << 20;
    // Clients served at once on a listening socket; further ones are refused.
    size_t maxClients = 64;
    // A connection that has sent no message this long after it was accepted (it has not finished
    // authenticating, or says nothing) is closed.
    uint64_t authTimeoutUsec = 5 * 1000 * 1000;
};

class HostService {
public:
    HostService(kiv::CEmpAppBase* app, sd_event* event, const HostLimits& limits);
    ~HostService();

    HostService(const HostService&) = delete;
    HostService& operator=(const HostService&) = delete;

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

private:
    struct PendingEvent {
        uint32_t engine;
        int32_t code;
        std::string name;
        std::string data;
    };
    // Shared between the loop thread and the library threads of one client's engines.
    struct EventQueue {
        std::mutex mutex;
        std::deque<PendingEvent> events;
        bool closed = false;
        uint64_t dropped = 0;  // since last reported
    };
    class EngineSink;
    struct Client {
        HostService* host = nullptr;
        sd_bus* bus = nullptr;  // its own connection (peer-to-peer) or the shared bus
        bool ownsBus = false;
        bool gone = false;
        bool talking = false;  // a message has been dispatched: authentication is over
        std::string name;      // unique name given in Hello, or the sender on the bus
        struct ucred peer {};  // peer-to-peer mode: the process at the other end
        sd_event_source* authTimer = nullptr;
        std::shared_ptr<EventQueue> queue;
        sd_event_source* retry = nullptr;
        uint64_t droppedTotal = 0;
    };
    struct EngineEntry {
        kiv::CEmpEngineBase* engine = nullptr;
        Client* owner = nullptr;
        std::unique_ptr<EngineSink> sink;
    };

    // vtable callbacks (userdata: Client* in peer-to-peer mode, nullptr-client binding on a bus)
    struct Binding {
        HostService* host;
        Client* client;  // null in bus mode: the client is the message's sender
    };
    static const sd_bus_vtable kHostVtable[];
    static const sd_bus_vtable kBusDaemonVtable[];
    static int OnOpen(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnExecute(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnClose(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetInfo(sd_bus* bus, const char* path, const char* interface, const char* property,
                         sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int OnHello(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnMatch(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnListNames(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetId(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnListActivatableNames(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetCredentials(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetUnixUser(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetUnixProcessID(sd_bus_message* m, void* userdata, sd_bus_error* error);
    // Who owns `name` on the peer-to-peer "bus": the client itself or the service.
    bool CredentialsOf(Client* client, const char* name, ucred* out, sd_bus_error* error);
    static int ReadCredentials(sd_bus_message* m, void* userdata, ucred* out, sd_bus_error* error);

    static int OnAuthTimeout(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnWake(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int OnRetry(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnReap(sd_event_source* s, void* userdata);
    static int OnConnectionMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);

    Client* ClientOf(sd_bus_message* m, void* userdata, bool create);
    EngineEntry* OwnedEngine(Client* client, uint32_t id, sd_bus_error* error);
    int ReadBoundedString(sd_bus_message* m, std::string* out, sd_bus_error* error);
    void DestroyEngine(uint32_t id, const char* why);
    void DropClient(Client* client);
    void MarkGone(Client* client);
    void DeliverEvents(Client* client);
    int EmitEvent(Client* client, const PendingEvent& event);
    void Wake();

    kiv::CEmpAppBase* m_App;
    sd_event* m_Event;
    HostLimits m_Limits;
    int m_WakeFd = -1;
    sd_event_source* m_WakeSource = nullptr;
    sd_event_source* m_ReapSource = nullptr;
    FirstMessageGuard m_Guard;
    std::unique_ptr<Listener> m_Listener;
    std::function<void()> m_LastClientGone;
    sd_id128_t m_ServerId{};
    uint64_t m_NextClient = 1;
    uint32_t m_NextEngine = 1;
    std::list<std::unique_ptr<Client>> m_Clients;
    std::list<std::unique_ptr<Binding>> m_Bindings;
    std::map<uint32_t, EngineEntry> m_Engines;  // ordered by id, which is the opening order
    // Bus mode.
    sd_bus* m_Bus = nullptr;
    std::map<std::string, Client*> m_BusClients;
};

}  // namespace gxhost
