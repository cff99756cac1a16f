// The host's D-Bus service. See HostService.h for the threading rules.
#include "Host1.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "service/HostLog.h"
#include "service/Listener.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"

namespace gxhost {

namespace {

// The peer-to-peer server plays the bus for stock clients: it owns the service name under this
// unique name and hands out ":1.N" to the clients in Hello.
constexpr char kServerUniqueName[] = ":1.0";
constexpr char kDaemonName[] = "org.freedesktop.DBus";
constexpr uint64_t kRetryUsec = 20 * 1000;

}  // namespace

// One per engine: forwards SendEvent from whatever thread calls it into the owner's queue.
class HostService::EngineSink : public kiv::IEmpEventSink {
public:
    EngineSink(uint32_t id, std::shared_ptr<EventQueue> queue, int wakeFd, size_t limit)
        : m_Id(id), m_Queue(std::move(queue)), m_WakeFd(wakeFd), m_Limit(limit) {}

    void OnEmpEvent(kiv::CEmpEngineBase*, int code, const std::string& name,
                    const std::string& data) override {
        {
            std::lock_guard<std::mutex> lock(m_Queue->mutex);
            if (m_Queue->closed) return;
            if (m_Queue->events.size() >= m_Limit) {
                m_Queue->events.pop_front();
                ++m_Queue->dropped;
            }
            m_Queue->events.push_back(PendingEvent{m_Id, code, name, data});
        }
        uint64_t one = 1;
        // A full eventfd counter still leaves it readable, so a failed write loses nothing.
        ssize_t n = write(m_WakeFd, &one, sizeof one);
        (void)n;
    }

private:
    uint32_t m_Id;
    std::shared_ptr<EventQueue> m_Queue;
    int m_WakeFd;
    size_t m_Limit;
};

const sd_bus_vtable HostService::kHostVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("Open", "s", SD_BUS_PARAM(app_id), "u", SD_BUS_PARAM(engine),
                             &HostService::OnOpen, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Execute", "usssss",
                             SD_BUS_PARAM(engine) SD_BUS_PARAM(command) SD_BUS_PARAM(arg1)
                                 SD_BUS_PARAM(arg2) SD_BUS_PARAM(arg3) SD_BUS_PARAM(arg4),
                             "bv", SD_BUS_PARAM(served) SD_BUS_PARAM(result),
                             &HostService::OnExecute, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Close", "u", SD_BUS_PARAM(engine), "", , &HostService::OnClose,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL_WITH_NAMES(
        "Event", "uiss",
        SD_BUS_PARAM(engine) SD_BUS_PARAM(code) SD_BUS_PARAM(name) SD_BUS_PARAM(data), 0),
    SD_BUS_PROPERTY("Info", "a{ss}", &HostService::OnGetInfo, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable HostService::kBusDaemonVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Hello", "", "s", &HostService::OnHello, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AddMatch", "s", "", &HostService::OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveMatch", "s", "", &HostService::OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetNameOwner", "s", "s", &HostService::OnGetNameOwner,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("NameHasOwner", "s", "b", &HostService::OnNameHasOwner,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListNames", "", "as", &HostService::OnListNames, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetId", "", "s", &HostService::OnGetId, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListActivatableNames", "", "as", &HostService::OnListActivatableNames,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionCredentials", "s", "a{sv}", &HostService::OnGetCredentials,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionUnixUser", "s", "u", &HostService::OnGetUnixUser,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionUnixProcessID", "s", "u", &HostService::OnGetUnixProcessID,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

HostService::HostService(kiv::CEmpAppBase* app, sd_event* event, const HostLimits& limits)
    : m_App(app), m_Event(sd_event_ref(event)), m_Limits(limits), m_Guard(event) {}

HostService::~HostService() {
    Shutdown();
    m_Listener.reset();
    sd_event_source_disable_unref(m_WakeSource);
    sd_event_source_disable_unref(m_ReapSource);
    if (m_WakeFd >= 0) close(m_WakeFd);
    sd_bus_unref(m_Bus);
    sd_event_unref(m_Event);
}

int HostService::Init() {
    m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_WakeFd < 0) return -errno;
    int r = sd_event_add_io(m_Event, &m_WakeSource, m_WakeFd, EPOLLIN, &HostService::OnWake, this);
    if (r < 0) return r;
    r = sd_event_add_defer(m_Event, &m_ReapSource, &HostService::OnReap, this);
    if (r < 0) return r;
    r = sd_event_source_set_enabled(m_ReapSource, SD_EVENT_OFF);
    if (r < 0) return r;
    return sd_id128_randomize(&m_ServerId);
}

// ---- Peer-to-peer connections ------------------------------------------------------------------

int HostService::ServeListener(int fd) {
    m_Listener = std::make_unique<Listener>(m_Event, fd);
    return m_Listener->Start(
        [this](int client, const ucred& peer) {
            return ServeConnection(client, peer, ":1." + std::to_string(m_NextClient++));
        },
        [this] { return m_Clients.size() >= m_Limits.maxClients; }, 0, m_Limits.maxClients);
}

int HostService::ServeConnection(int fd, const ucred& peer, const std::string& name) {
    auto client = std::make_unique<Client>();
    client->host = this;
    client->ownsBus = true;
    client->name = name;
    client->peer = peer;
    client->queue = std::make_shared<EventQueue>();

    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_fd(bus, fd, fd);
    if (r < 0) {
        close(fd);
        sd_bus_unref(bus);
        HostLog(kLogError, "cannot set up a client connection: %s", std::strerror(-r));
        return r;
    }
    client->bus = bus;  // owns fd from here on
    auto binding = std::make_unique<Binding>(Binding{this, client.get()});
    const char* step = "configure";
    if (r >= 0) r = sd_bus_set_server(bus, 1, m_ServerId);
    if (r >= 0) step = "sender", r = sd_bus_set_sender(bus, kServerUniqueName);
    if (r >= 0)
        step = "host", r = sd_bus_add_object_vtable(bus, nullptr, kHostPath, kHostInterface,
                                                    kHostVtable, binding.get());
    if (r >= 0)
        step = "daemon", r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus",
                                                      kDaemonName, kBusDaemonVtable, binding.get());
    if (r >= 0) step = "objects";
    for (Extension* ext : Extensions())
        if (r >= 0) r = ext->AttachObjects(bus);
    if (r >= 0)
        step = "filter",
        r = sd_bus_add_filter(bus, nullptr, &HostService::OnConnectionMessage, client.get());
    if (r >= 0) step = "start", r = sd_bus_start(bus);
    if (r >= 0) step = "attach", r = sd_bus_attach_event(bus, m_Event, SD_EVENT_PRIORITY_NORMAL);
    // By default an attached connection is flushed when the loop exits, which blocks for ever on
    // a client that stopped reading; Shutdown closes the connections itself instead.
    if (r >= 0) step = "close-on-exit", r = sd_bus_set_close_on_exit(bus, 0);
    if (r >= 0)
        step = "timer", r = sd_event_add_time_relative(m_Event, &client->authTimer, CLOCK_MONOTONIC,
                                                       m_Limits.authTimeoutUsec, 0,
                                                       &HostService::OnAuthTimeout, client.get());
    if (r < 0) {
        if (ClientLeft(r))
            HostLog(kLogInfo, "client %s left while its connection was set up (%s: %s)",
                    client->name.c_str(), step, std::strerror(-r));
        else
            HostLog(kLogError, "cannot set up a client connection (%s): %s", step,
                    std::strerror(-r));
        sd_event_source_disable_unref(client->authTimer);
        sd_bus_flush_close_unref(bus);
        return r;
    }
    HostLog(kLogInfo, "client %s connected (pid %d, uid %u)", client->name.c_str(),
            static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
    m_Bindings.push_back(std::move(binding));
    m_Guard.Watch(bus);
    m_Clients.push_back(std::move(client));
    return 0;
}

// A connection that never finishes authenticating (or never says anything) would hold its slot
// and its descriptor for ever; a flood of them would lock every real client out.
int HostService::OnAuthTimeout(sd_event_source*, uint64_t, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    client->authTimer = sd_event_source_disable_unref(client->authTimer);
    if (client->talking || client->gone) return 0;
    HostLog(kLogError, "closing client %s (pid %d): no request within %llu ms of connecting",
            client->name.c_str(), static_cast<int>(client->peer.pid),
            static_cast<unsigned long long>(client->host->m_Limits.authTimeoutUsec / 1000));
    client->host->MarkGone(client);
    return 0;
}

int HostService::OnConnectionMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* client = static_cast<Client*>(userdata);
    if (!client->talking) client->host->m_Guard.Spoke(client->bus);
    client->talking = true;
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        HostLog(kLogInfo, "client %s disconnected", client->name.c_str());
        client->host->MarkGone(client);
        return 1;
    }
    return 0;
}

void HostService::MarkGone(Client* client) {
    if (client->gone) return;
    client->gone = true;
    {
        std::lock_guard<std::mutex> lock(client->queue->mutex);
        client->queue->closed = true;
        client->queue->events.clear();
    }
    // The connection cannot be released from inside its own dispatch: the reaper does it.
    sd_event_source_set_enabled(m_ReapSource, SD_EVENT_ONESHOT);
}

int HostService::OnReap(sd_event_source*, void* userdata) {
    auto* self = static_cast<HostService*>(userdata);
    std::vector<Client*> gone;
    for (auto& c : self->m_Clients)
        if (c->gone) gone.push_back(c.get());
    for (Client* c : gone) self->DropClient(c);
    return 0;
}

void HostService::DropClient(Client* client) {
    std::vector<uint32_t> owned;
    for (auto& entry : m_Engines)
        if (entry.second.owner == client) owned.push_back(entry.first);
    for (uint32_t id : owned) DestroyEngine(id, client->gone ? "its client left" : "shutdown");
    {
        std::lock_guard<std::mutex> lock(client->queue->mutex);
        client->queue->closed = true;
        client->queue->events.clear();
    }
    client->retry = sd_event_source_disable_unref(client->retry);
    client->authTimer = sd_event_source_disable_unref(client->authTimer);
    if (client->ownsBus) {
        m_Guard.Forget(client->bus);
        sd_bus_detach_event(client->bus);
        // No flush: a client that does not read would hold the loop here for ever. What is
        // still queued for a client that is gone or being shut down is not needed.
        sd_bus_close_unref(client->bus);
        client->bus = nullptr;
        m_Bindings.remove_if(
            [client](const std::unique_ptr<Binding>& b) { return b->client == client; });
    } else {
        m_BusClients.erase(client->name);
    }
    m_Clients.remove_if([client](const std::unique_ptr<Client>& c) { return c.get() == client; });
    if (m_Clients.empty() && m_LastClientGone) m_LastClientGone();
}

// ---- Bus mode ----------------------------------------------------------------------------------

int HostService::ServeBus(sd_bus* bus) {
    m_Bus = sd_bus_ref(bus);
    auto binding = std::make_unique<Binding>(Binding{this, nullptr});
    int r = sd_bus_add_object_vtable(bus, nullptr, kHostPath, kHostInterface, kHostVtable,
                                     binding.get());
    if (r < 0) return r;
    m_Bindings.push_back(std::move(binding));
    for (Extension* ext : Extensions()) {
        r = ext->AttachObjects(bus);
        if (r < 0) return r;
    }
    // A client that leaves the bus takes its engines with it.
    return sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameOwnerChanged",
                               &HostService::OnNameOwnerChanged, this);
}

int HostService::OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HostService*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (newOwner[0] != '\0') return 0;
    auto it = self->m_BusClients.find(name);
    if (it == self->m_BusClients.end()) return 0;
    HostLog(kLogInfo, "client %s left the bus", name);
    self->MarkGone(it->second);
    return 0;
}

HostService::Client* HostService::ClientOf(sd_bus_message* m, void* userdata, bool create) {
    auto* binding = static_cast<Binding*>(userdata);
    if (binding->client != nullptr) return binding->client;
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) return nullptr;
    auto it = m_BusClients.find(sender);
    if (it != m_BusClients.end()) return it->second->gone ? nullptr : it->second;
    if (!create) return nullptr;
    auto client = std::make_unique<Client>();
    client->host = this;
    client->bus = m_Bus;
    client->name = sender;
    client->queue = std::make_shared<EventQueue>();
    Client* raw = client.get();
    m_BusClients[sender] = raw;
    m_Clients.push_back(std::move(client));
    return raw;
}

// ---- org.gxemp.Host1 ---------------------------------------------------------------------------

int HostService::ReadBoundedString(sd_bus_message* m, std::string* out, sd_bus_error* error) {
    const char* s = nullptr;
    int r = sd_bus_message_read_basic(m, 's', &s);
    if (r < 0) return r;
    size_t len = std::strlen(s);
    if (len > m_Limits.maxArgumentBytes)
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                                 "argument of %zu bytes exceeds the limit of %zu bytes", len,
                                 m_Limits.maxArgumentBytes);
    out->assign(s, len);
    return 1;
}

HostService::EngineEntry* HostService::OwnedEngine(Client* client, uint32_t id,
                                                   sd_bus_error* error) {
    auto it = m_Engines.find(id);
    if (client == nullptr || it == m_Engines.end() || it->second.owner != client) {
        sd_bus_error_setf(error, kErrorNoSuchEngine, "no engine %u is open on this connection", id);
        return nullptr;
    }
    return &it->second;
}

int HostService::OnOpen(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    HostService* self = static_cast<Binding*>(userdata)->host;
    std::string appId;
    int r = self->ReadBoundedString(m, &appId, error);
    if (r < 0) return r;
    Client* client = self->ClientOf(m, userdata, true);
    if (client == nullptr)
        return sd_bus_error_set(error, kErrorFailed, "the calling client is gone");

    kiv::CEmpEngineBase* engine = nullptr;
    try {
        engine = self->m_App->CreateEmpEngine();
    } catch (const std::exception& e) {
        HostLog(kLogError, "building an engine for %s failed: %s", client->name.c_str(), e.what());
        return sd_bus_error_setf(error, kErrorFailed, "building the engine failed: %s", e.what());
    }
    if (engine == nullptr)
        return sd_bus_error_set(error, kErrorFailed, "the application built no engine");

    uint32_t id = self->m_NextEngine++;
    if (self->m_NextEngine == 0) self->m_NextEngine = 1;  // 0 is never an engine
    engine->SetAppInfo(static_cast<int>(id), appId, std::string(), std::string());
    EngineEntry entry;
    entry.engine = engine;
    entry.owner = client;
    entry.sink = std::make_unique<EngineSink>(id, client->queue, self->m_WakeFd,
                                              self->m_Limits.maxQueuedEvents);
    engine->SetEventSink(entry.sink.get());
    self->m_Engines.emplace(id, std::move(entry));
    HostLog(kLogInfo, "engine %u opened by %s for app '%s'", id, client->name.c_str(),
            appId.c_str());
    return sd_bus_reply_method_return(m, "u", id);
}

int HostService::OnExecute(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    HostService* self = static_cast<Binding*>(userdata)->host;
    uint32_t id = 0;
    int r = sd_bus_message_read_basic(m, 'u', &id);
    if (r < 0) return r;
    std::string args[5];
    for (std::string& a : args) {
        r = self->ReadBoundedString(m, &a, error);
        if (r < 0) return r;
    }
    EngineEntry* entry = self->OwnedEngine(self->ClientOf(m, userdata, false), id, error);
    if (entry == nullptr) return -ENOENT;

    std::string result;
    bool served = false;
    try {
        served = entry->engine->Execute(result, args[0], args[1], args[2], args[3], args[4]);
    } catch (const std::exception& e) {
        HostLog(kLogError, "engine %u: command '%s' threw: %s", id, args[0].c_str(), e.what());
        return sd_bus_error_setf(error, kErrorFailed, "the command failed: %s", e.what());
    }
    kiv::EmpReturnValue value = kiv::DecodeReturnValue(result);
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "b", served ? 1 : 0);
    if (r >= 0) {
        switch (value.kind) {
            case kiv::EmpReturnValue::INTEGER:
                r = sd_bus_message_append(reply, "v", "i", static_cast<int32_t>(value.integer));
                break;
            case kiv::EmpReturnValue::TEXT:
                r = sd_bus_message_append(reply, "v", "s", value.text.c_str());
                break;
            case kiv::EmpReturnValue::NONE:
                r = sd_bus_message_append(reply, "v", "s", "");
                break;
        }
    }
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int HostService::OnClose(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    HostService* self = static_cast<Binding*>(userdata)->host;
    uint32_t id = 0;
    int r = sd_bus_message_read_basic(m, 'u', &id);
    if (r < 0) return r;
    if (self->OwnedEngine(self->ClientOf(m, userdata, false), id, error) == nullptr) return -ENOENT;
    self->DestroyEngine(id, "closed by its client");
    return sd_bus_reply_method_return(m, "");
}

int HostService::OnGetInfo(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                           void* userdata, sd_bus_error*) {
    kiv::CEmpAppBase* app = static_cast<Binding*>(userdata)->host->m_App;
    const std::pair<const char*, const std::string*> fields[] = {
        {"name", &app->m_strName},         {"id", &app->m_strId},
        {"version", &app->m_strVersion},   {"license", &app->m_strLicense},
        {"category", &app->m_strCategory},
    };
    int r = sd_bus_message_open_container(reply, 'a', "{ss}");
    for (const auto& f : fields)
        if (r >= 0) r = sd_bus_message_append(reply, "{ss}", f.first, f.second->c_str());
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
}

void HostService::DestroyEngine(uint32_t id, const char* why) {
    auto it = m_Engines.find(id);
    if (it == m_Engines.end()) return;
    EngineEntry entry = std::move(it->second);
    m_Engines.erase(it);
    HostLog(kLogInfo, "destroying engine %u of %s: %s", id, entry.owner->name.c_str(), why);
    // The destructor waits for the libraries' callbacks of this engine; only then is nobody
    // left who could call the sink.
    delete entry.engine;
    entry.sink.reset();
    HostLog(kLogInfo, "engine %u destroyed", id);
}

void HostService::Shutdown() {
    while (!m_Engines.empty()) DestroyEngine(m_Engines.begin()->first, "the service stops");
    if (m_Listener) m_Listener->Stop();
    m_LastClientGone = nullptr;
    while (!m_Clients.empty()) DropClient(m_Clients.front().get());
}

// ---- org.freedesktop.DBus stand-in (peer-to-peer only) -----------------------------------------

int HostService::OnHello(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s",
                                      static_cast<Binding*>(userdata)->client->name.c_str());
}

int HostService::OnMatch(sd_bus_message* m, void*, sd_bus_error*) {
    // Every event is sent to its owner only, so there is nothing to filter by match rules.
    return sd_bus_reply_method_return(m, "");
}

int HostService::OnGetNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    Client* client = static_cast<Binding*>(userdata)->client;
    if (std::strcmp(name, kBusName) == 0 || std::strcmp(name, kServerUniqueName) == 0)
        return sd_bus_reply_method_return(m, "s", kServerUniqueName);
    if (std::strcmp(name, kDaemonName) == 0) return sd_bus_reply_method_return(m, "s", kDaemonName);
    if (client->name == name) return sd_bus_reply_method_return(m, "s", name);
    return sd_bus_error_setf(error, "org.freedesktop.DBus.Error.NameHasNoOwner",
                             "Could not get owner of name '%s': no such name", name);
}

int HostService::OnNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    Client* client = static_cast<Binding*>(userdata)->client;
    bool has = std::strcmp(name, kBusName) == 0 || std::strcmp(name, kServerUniqueName) == 0 ||
               std::strcmp(name, kDaemonName) == 0 || client->name == name;
    return sd_bus_reply_method_return(m, "b", has ? 1 : 0);
}

int HostService::OnListNames(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Client* client = static_cast<Binding*>(userdata)->client;
    return sd_bus_reply_method_return(m, "as", 4, kDaemonName, kServerUniqueName, kBusName,
                                      client->name.c_str());
}

int HostService::OnListActivatableNames(sd_bus_message* m, void*, sd_bus_error*) {
    // Nothing here is started on demand; the service's own names are listed like a bus does.
    return sd_bus_reply_method_return(m, "as", 2, kDaemonName, kBusName);
}

bool HostService::CredentialsOf(Client* client, const char* name, ucred* out, sd_bus_error* error) {
    if (client->name == name) {
        *out = client->peer;
        return true;
    }
    if (std::strcmp(name, kBusName) == 0 || std::strcmp(name, kServerUniqueName) == 0 ||
        std::strcmp(name, kDaemonName) == 0) {
        *out = ucred{getpid(), getuid(), getgid()};
        return true;
    }
    sd_bus_error_setf(error, "org.freedesktop.DBus.Error.NameHasNoOwner",
                      "Could not get owner of name '%s': no such name", name);
    return false;
}

// The three credential look-ups read the same argument (a name) and find the same peer.
// Returns 0, or what the method handler returns on failure.
int HostService::ReadCredentials(sd_bus_message* m, void* userdata, ucred* out,
                                 sd_bus_error* error) {
    auto* binding = static_cast<Binding*>(userdata);
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    return binding->host->CredentialsOf(binding->client, name, out, error) ? 0 : -ENXIO;
}

int HostService::OnGetCredentials(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "a{sv}", 2, "UnixUserID", "u",
                                      static_cast<uint32_t>(cred.uid), "ProcessID", "u",
                                      static_cast<uint32_t>(cred.pid));
}

int HostService::OnGetUnixUser(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(cred.uid));
}

int HostService::OnGetUnixProcessID(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(cred.pid));
}

int HostService::OnGetId(sd_bus_message* m, void* userdata, sd_bus_error*) {
    char id[SD_ID128_STRING_MAX];
    return sd_bus_reply_method_return(
        m, "s", sd_id128_to_string(static_cast<Binding*>(userdata)->host->m_ServerId, id));
}

// ---- Events ------------------------------------------------------------------------------------

int HostService::OnWake(sd_event_source*, int fd, uint32_t, void* userdata) {
    auto* self = static_cast<HostService*>(userdata);
    uint64_t count = 0;
    ssize_t n = read(fd, &count, sizeof count);
    (void)n;
    for (auto& client : self->m_Clients)
        if (!client->gone) self->DeliverEvents(client.get());
    return 0;
}

int HostService::OnRetry(sd_event_source*, uint64_t, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    client->retry = sd_event_source_disable_unref(client->retry);
    if (!client->gone) client->host->DeliverEvents(client);
    return 0;
}

void HostService::DeliverEvents(Client* client) {
    uint64_t queued = 0;
    bool more = false;
    uint64_t dropped = 0;
    for (;;) {
        if (sd_bus_get_n_queued_write(client->bus, &queued) < 0) break;
        PendingEvent event;
        {
            std::lock_guard<std::mutex> lock(client->queue->mutex);
            dropped += client->queue->dropped;
            client->queue->dropped = 0;
            if (client->queue->events.empty()) break;
            // A client that does not read leaves its events with us, where the bound applies,
            // rather than in the connection's unbounded write queue.
            if (queued >= m_Limits.maxBusWriteQueue) {
                more = true;
                break;
            }
            event = std::move(client->queue->events.front());
            client->queue->events.pop_front();
        }
        int r = EmitEvent(client, event);
        if (r < 0) {
            HostLog(kLogError, "cannot send event %s to %s: %s", event.name.c_str(),
                    client->name.c_str(), std::strerror(-r));
            if (r == -ENOBUFS) {
                more = true;
                break;
            }
        }
    }
    if (dropped > 0) {
        client->droppedTotal += dropped;
        HostLog(kLogError, "client %s does not keep up: dropped %llu oldest events (%llu in total)",
                client->name.c_str(), static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(client->droppedTotal));
    }
    if (more && client->retry == nullptr)
        sd_event_add_time_relative(m_Event, &client->retry, CLOCK_MONOTONIC, kRetryUsec, 0,
                                   &HostService::OnRetry, client);
}

int HostService::EmitEvent(Client* client, const PendingEvent& event) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(client->bus, &m, kHostPath, kHostInterface, "Event");
    if (r >= 0) r = sd_bus_message_set_destination(m, client->name.c_str());
    if (r >= 0)
        r = sd_bus_message_append(m, "uiss", event.engine, event.code, event.name.c_str(),
                                  event.data.c_str());
    if (r >= 0) r = sd_bus_send(client->bus, m, nullptr);
    sd_bus_message_unref(m);
    return r;
}

}  // namespace gxhost
