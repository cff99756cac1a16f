// Host1's clients: their connections (peer-to-peer) or their names on a bus, and what happens when
// they go. See Host1.h.
#include <cstring>
#include <vector>

#include "Host1.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"
#include "service/HostLog.h"
#include "service/Listener.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

// ---- Peer-to-peer connections ------------------------------------------------------------------

int Host1::ServeListener(int fd) {
    m_Listener = std::make_unique<Listener>(m_Event.get(), fd);
    return m_Listener->Start(
        [this](int client, const ucred& peer) {
            return ServeConnection(client, peer, ClientName(m_NextClient++));
        },
        [this] { return m_Clients.size() >= m_Limits.maxClients; }, 0, m_Limits.maxClients);
}

int Host1::ServeConnection(int fd, const ucred& peer, const std::string& name) {
    auto client = std::make_unique<Client>();
    client->host = this;
    client->name = name;
    client->peer = peer;
    client->queue = std::make_shared<EventQueue>();
    client->binding = Binding{this, client.get()};
    client->driver = std::make_unique<BusDriver>(name, peer, m_ServerId);

    int r = sd_bus_new(client->ownBus.out());
    if (r >= 0) r = sd_bus_set_fd(client->ownBus.get(), fd, fd);
    if (r < 0) {
        close(fd);  // not the connection's until sd_bus_set_fd succeeds
        HostLog(kLogError, "cannot set up a client connection: %s", std::strerror(-r));
        return r;
    }
    client->bus = client->ownBus.get();  // owns fd from here on
    client->queue->bus = client->bus;
    client->queue->destination = name;
    const char* step = "configure";
    r = SetUpConnection(client.get(), &step);
    if (r < 0) {
        if (ClientLeft(r))
            HostLog(kLogInfo, "client %s left while its connection was set up (%s: %s)",
                    client->name.c_str(), step, std::strerror(-r));
        else
            HostLog(kLogError, "cannot set up a client connection (%s): %s", step,
                    std::strerror(-r));
        client->authTimer.reset();
        sd_bus_flush(client->bus);
        return r;
    }
    HostLog(kLogInfo, "client %s connected (pid %d, uid %u)", client->name.c_str(),
            static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
    m_Guard.Watch(client->bus);
    m_Clients.push_back(std::move(client));
    return 0;
}

int Host1::SetUpConnection(Client* client, const char** step) {
    sd_bus* bus = client->bus;
    int r = sd_bus_set_server(bus, 1, m_ServerId);
    if (r >= 0) *step = "sender", r = sd_bus_set_sender(bus, kServerUniqueName);
    if (r >= 0)
        *step = "host", r = sd_bus_add_object_vtable(bus, nullptr, kHostPath, kHostInterface,
                                                     kVtable, &client->binding);
    if (r >= 0) *step = "daemon", r = client->driver->Attach(bus);
    if (r >= 0) *step = "objects";
    for (Extension* ext : Extensions())
        if (r >= 0) r = ext->AttachObjects(bus);
    if (r >= 0)
        *step = "filter", r = sd_bus_add_filter(bus, nullptr, &Host1::OnConnectionMessage, client);
    if (r >= 0) *step = "start", r = sd_bus_start(bus);
    if (r >= 0)
        *step = "attach", r = sd_bus_attach_event(bus, m_Event.get(), SD_EVENT_PRIORITY_NORMAL);
    // By default an attached connection is flushed when the loop exits, which blocks for ever on
    // a client that stopped reading; Shutdown closes the connections itself instead.
    if (r >= 0) *step = "close-on-exit", r = sd_bus_set_close_on_exit(bus, 0);
    if (r >= 0)
        *step = "timer",
        r = sd_event_add_time_relative(m_Event.get(), client->authTimer.out(), CLOCK_MONOTONIC,
                                       m_Limits.authTimeoutUsec, 0, &Host1::OnAuthTimeout, client);
    return r;
}

// A connection that never finishes authenticating (or never says anything) would hold its slot
// and its descriptor for ever; a flood of them would lock every real client out.
int Host1::OnAuthTimeout(sd_event_source*, uint64_t, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    client->authTimer.reset();
    if (client->talking || client->gone) return 0;
    HostLog(kLogError, "closing client %s (pid %d): no request within %llu ms of connecting",
            client->name.c_str(), static_cast<int>(client->peer.pid),
            static_cast<unsigned long long>(client->host->m_Limits.authTimeoutUsec / 1000));
    client->host->MarkGone(client);
    return 0;
}

int Host1::OnConnectionMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* client = static_cast<Client*>(userdata);
    if (!client->talking) client->host->m_Guard.FirstMessageDispatched(client->bus);
    client->talking = true;
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        HostLog(kLogInfo, "client %s disconnected", client->name.c_str());
        client->host->MarkGone(client);
        return 1;
    }
    return 0;
}

// ---- Clients that go ---------------------------------------------------------------------------

void Host1::MarkGone(Client* client) {
    if (client->gone) return;
    client->gone = true;
    client->queue->Close();
    // The connection cannot be released from inside its own dispatch: the reaper does it.
    sd_event_source_set_enabled(m_ReapSource.get(), SD_EVENT_ONESHOT);
}

int Host1::OnReap(sd_event_source*, void* userdata) {
    auto* self = static_cast<Host1*>(userdata);
    std::vector<Client*> gone;
    for (auto& c : self->m_Clients)
        if (c->gone) gone.push_back(c.get());
    for (Client* c : gone) self->DropClient(c);
    return 0;
}

void Host1::DropClient(Client* client) {
    std::vector<uint32_t> owned;
    for (auto& entry : m_Engines)
        if (entry.second.owner == client) owned.push_back(entry.first);
    for (uint32_t id : owned) DestroyEngine(id, client->gone ? "its client left" : "shutdown");
    client->queue->Close();
    client->retry.reset();
    client->authTimer.reset();
    if (client->ownBus) {
        m_Guard.Forget(client->bus);
        sd_bus_detach_event(client->bus);
        // No flush: a client that does not read would hold the loop here for ever. What is
        // still queued for a client that is gone or being shut down is not needed.
        client->ownBus.reset();
        client->bus = nullptr;
    } else {
        m_BusClients.erase(client->name);
    }
    m_Clients.remove_if([client](const std::unique_ptr<Client>& c) { return c.get() == client; });
    if (m_Clients.empty() && m_LastClientGone) m_LastClientGone();
}

// ---- Bus mode ----------------------------------------------------------------------------------

int Host1::ServeBus(sd_bus* bus) {
    m_Bus.reset(sd_bus_ref(bus));
    int r =
        sd_bus_add_object_vtable(bus, nullptr, kHostPath, kHostInterface, kVtable, &m_BusBinding);
    if (r < 0) return r;
    for (Extension* ext : Extensions()) {
        r = ext->AttachObjects(bus);
        if (r < 0) return r;
    }
    // A client that leaves the bus takes its engines with it.
    return sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameOwnerChanged",
                               &Host1::OnNameOwnerChanged, this);
}

int Host1::OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Host1*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (newOwner[0] != '\0') return 0;
    auto it = self->m_BusClients.find(name);
    if (it == self->m_BusClients.end()) return 0;
    HostLog(kLogInfo, "client %s left the bus", name);
    self->MarkGone(it->second);
    return 0;
}

Host1::Client* Host1::ClientOf(sd_bus_message* m, void* userdata, bool create) {
    auto* binding = static_cast<Binding*>(userdata);
    if (binding->client != nullptr) return binding->client;
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) return nullptr;
    auto it = m_BusClients.find(sender);
    if (it != m_BusClients.end()) return it->second->gone ? nullptr : it->second;
    if (!create) return nullptr;
    auto client = std::make_unique<Client>();
    client->host = this;
    client->bus = m_Bus.get();
    client->name = sender;
    client->queue = std::make_shared<EventQueue>();
    client->queue->bus = client->bus;
    client->queue->destination = sender;
    Client* raw = client.get();
    m_BusClients[sender] = raw;
    m_Clients.push_back(std::move(client));
    return raw;
}

}  // namespace gxhost
