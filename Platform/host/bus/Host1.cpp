// The object /org/gxemp/Host1: its methods and the engines. See Host1.h for the threading rules.
#include "Host1.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <utility>

#include "gxhost/Endpoint.h"
#include "service/HostLog.h"
#include "service/Listener.h"

namespace gxhost {

const sd_bus_vtable Host1::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("Open", "s", SD_BUS_PARAM(app_id), "u", SD_BUS_PARAM(engine),
                             &Host1::OnOpen, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Execute", "usssss",
                             SD_BUS_PARAM(engine) SD_BUS_PARAM(command) SD_BUS_PARAM(arg1)
                                 SD_BUS_PARAM(arg2) SD_BUS_PARAM(arg3) SD_BUS_PARAM(arg4),
                             "bv", SD_BUS_PARAM(served) SD_BUS_PARAM(result), &Host1::OnExecute,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Close", "u", SD_BUS_PARAM(engine), "", , &Host1::OnClose,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL_WITH_NAMES(
        "Event", "uiss",
        SD_BUS_PARAM(engine) SD_BUS_PARAM(code) SD_BUS_PARAM(name) SD_BUS_PARAM(data), 0),
    SD_BUS_PROPERTY("Info", "a{ss}", &Host1::OnGetInfo, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

Host1::Host1(kiv::CEmpAppBase* app, sd_event* event, const HostLimits& limits)
    : m_Event(sd_event_ref(event)), m_App(app), m_Limits(limits), m_Guard(event) {}

Host1::~Host1() {
    Shutdown();
    m_Listener.reset();
    m_WakeSource.reset();
    m_ReapSource.reset();
    if (m_WakeFd >= 0) close(m_WakeFd);
}

int Host1::Init() {
    m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_WakeFd < 0) return -errno;
    int r =
        sd_event_add_io(m_Event.get(), m_WakeSource.out(), m_WakeFd, EPOLLIN, &Host1::OnWake, this);
    if (r < 0) return r;
    r = sd_event_add_defer(m_Event.get(), m_ReapSource.out(), &Host1::OnReap, this);
    if (r < 0) return r;
    r = sd_event_source_set_enabled(m_ReapSource.get(), SD_EVENT_OFF);
    if (r < 0) return r;
    return sd_id128_randomize(&m_ServerId);
}

int Host1::ReadBoundedString(sd_bus_message* m, std::string* out, sd_bus_error* error) {
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

Host1::EngineEntry* Host1::OwnedEngine(Client* client, uint32_t id, sd_bus_error* error) {
    auto it = m_Engines.find(id);
    if (client == nullptr || it == m_Engines.end() || it->second.owner != client) {
        sd_bus_error_setf(error, kErrorNoSuchEngine, "no engine %u is open on this connection", id);
        return nullptr;
    }
    return &it->second;
}

uint32_t Host1::AddEngine(kiv::CEmpEngineBase* engine, Client* owner, const std::string& appId) {
    uint32_t id = m_NextEngine++;
    if (m_NextEngine == 0) m_NextEngine = 1;  // 0 is never an engine
    engine->SetAppInfo(static_cast<int>(id), appId, std::string(), std::string());
    EngineEntry entry;
    entry.engine = engine;
    entry.owner = owner;
    entry.sink = std::make_unique<EngineSink>(
        id, owner->queue, m_WakeFd,
        EngineSink::Limits{m_Limits.maxQueuedEvents, m_Limits.maxBusWriteQueue}, &m_LoopLock);
    engine->SetEventSink(entry.sink.get());
    m_Engines.emplace(id, std::move(entry));
    return id;
}

int Host1::OnOpen(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    Host1* self = static_cast<Binding*>(userdata)->host;
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

    uint32_t id = self->AddEngine(engine, client, appId);
    HostLog(kLogInfo, "engine %u opened by %s for app '%s'", id, client->name.c_str(),
            appId.c_str());
    return sd_bus_reply_method_return(m, "u", id);
}

namespace {

// Execute's reply: whether the command was served, and its result as a variant (an empty text
// when it has none). One append: each costs sd-bus a parse of its signature.
int AppendResult(sd_bus_message* reply, bool served, const kiv::EmpReturnValue& value) {
    const int b = served ? 1 : 0;
    if (value.kind == kiv::EmpReturnValue::INTEGER)
        return sd_bus_message_append(reply, "bv", b, "i", static_cast<int32_t>(value.integer));
    const char* text = value.kind == kiv::EmpReturnValue::TEXT ? value.text.c_str() : "";
    return sd_bus_message_append(reply, "bv", b, "s", text);
}

}  // namespace

int Host1::OnExecute(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    Host1* self = static_cast<Binding*>(userdata)->host;
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
    MessageRef reply;
    r = sd_bus_message_new_method_return(m, reply.out());
    if (r >= 0) r = AppendResult(reply.get(), served, kiv::DecodeReturnValue(result));
    if (r >= 0) r = sd_bus_send(nullptr, reply.get(), nullptr);
    return r;
}

int Host1::OnClose(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    Host1* self = static_cast<Binding*>(userdata)->host;
    uint32_t id = 0;
    int r = sd_bus_message_read_basic(m, 'u', &id);
    if (r < 0) return r;
    if (self->OwnedEngine(self->ClientOf(m, userdata, false), id, error) == nullptr) return -ENOENT;
    self->DestroyEngine(id, "closed by its client");
    return sd_bus_reply_method_return(m, "");
}

int Host1::OnGetInfo(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
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

void Host1::DestroyEngine(uint32_t id, const char* why) {
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

void Host1::Shutdown() {
    while (!m_Engines.empty()) DestroyEngine(m_Engines.begin()->first, "the service stops");
    if (m_Listener) m_Listener->Stop();
    m_LastClientGone = nullptr;
    while (!m_Clients.empty()) DropClient(m_Clients.front().get());
}

}  // namespace gxhost
