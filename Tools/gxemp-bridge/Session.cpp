// One WebSocket of gxemp-bridge: the JSON-RPC protocol, its own D-Bus connection and engine, its
// bounded outgoing queue.
//
// Everything runs on the one GLib loop; every D-Bus call is asynchronous, so that one page (or a
// slow service) never holds up another. A pending call belongs to the session's D-Bus connection:
// closing the connection frees it without calling it, so no callback outlives its session.
#include "Session.h"

#include <sys/socket.h>

#include <cstdio>

#include "gxhost/Endpoint.h"

namespace bridge {

namespace {

constexpr guint kPollMs = 1000;
constexpr size_t kMaxEarly = 16;
constexpr int kMotionCode = 6511;

// A request without an id (a notification) is answered with nothing; it travels as an object,
// which no valid id can be.
const Json::Value kNoReply(Json::objectValue);

std::string Render(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    // ASCII only: a text frame must be valid UTF-8, and the plug-in's texts need not be.
    b["emitUTF8"] = false;
    return Json::writeString(b, v);
}

// The (b served, v result) of Execute: {"served": true, "result": 1 or "text"} or {"served":
// false}.
bool ReadExecute(sd_bus_message* m, Json::Value* out) {
    int served = 0;
    if (sd_bus_message_read(m, "b", &served) < 0) return false;
    (*out)["served"] = served != 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, nullptr, &contents) < 0) return false;
    if (contents != nullptr && std::strcmp(contents, "i") == 0) {
        int32_t v = 0;
        if (sd_bus_message_read(m, "v", "i", &v) < 0) return false;
        if (served) (*out)["result"] = v;
    } else {
        const char* s = nullptr;
        if (sd_bus_message_read(m, "v", "s", &s) < 0) return false;
        if (served) (*out)["result"] = s;
    }
    return true;
}

std::string ErrorText(const sd_bus_error* e) {
    return e != nullptr && e->message != nullptr ? e->message : "the call failed";
}

}  // namespace

struct Session::Call {
    Session* session;
    Done done;
};

Session::Session(Bridge* bridge, SoupWebsocketConnection* ws, GSocket* socket, std::string origin,
                 Rights rights)
    : m_Bridge(bridge),
      m_Ws(ws),
      m_Socket(socket),
      m_Origin(std::move(origin)),
      m_Rights(rights),
      m_Authenticated(!m_Origin.empty()) {
    g_object_ref(m_Ws);
    g_object_ref(m_Socket);
    const Limits& limits = m_Bridge->config().limits;
    // Never 0, which would mean no limit at all.
    soup_websocket_connection_set_max_incoming_payload_size(m_Ws, kMaxMessageBytes);
    soup_websocket_connection_set_keepalive_interval(m_Ws, limits.keepAliveSeconds);
    g_signal_connect(m_Ws, "message", G_CALLBACK(&Session::OnMessage), this);
    g_signal_connect(m_Ws, "closed", G_CALLBACK(&Session::OnClosed), this);
    // A small kernel buffer: a page that stops reading is noticed after a little, not megabytes.
    int size = 256 * 1024;
    setsockopt(g_socket_get_fd(m_Socket), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    m_WindowStart = g_get_monotonic_time();

    if (!m_Authenticated) {
        Notify("hello", Hello());
        m_AuthTimer = g_timeout_add_seconds(
            limits.authSeconds,
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Session*>(data);
                self->m_AuthTimer = 0;
                self->Close(kClosePolicy, "no token in time");
                return G_SOURCE_REMOVE;
            },
            this);
        return;
    }
    std::string error;
    if (!Connect(&error)) Close(kCloseTryAgain, error);
}

Session::~Session() {
    if (m_AuthTimer != 0) g_source_remove(m_AuthTimer);
    if (m_PollTimer != 0) g_source_remove(m_PollTimer);
    if (m_WritableWatch != nullptr) {
        g_source_destroy(m_WritableWatch);
        g_source_unref(m_WritableWatch);
    }
    m_Watch.reset();
    if (m_Bus != nullptr) {
        // The service would destroy the engine with the connection anyway; saying so is cleaner.
        if (m_Engine != 0)
            sd_bus_call_method_async(m_Bus, nullptr, gxhost::kBusName, gxhost::kHostPath,
                                     gxhost::kHostInterface, "Close", nullptr, nullptr, "u",
                                     m_Engine);
        sd_bus_flush_close_unref(m_Bus);
    }
    g_signal_handlers_disconnect_by_data(m_Ws, this);
    g_object_unref(m_Ws);
    g_object_unref(m_Socket);
}

void Session::Close(unsigned short code, const std::string& reason) {
    if (m_Closing) return;
    m_Closing = true;
    if (code != kCloseNormal && code != kCloseGoingAway)
        std::fprintf(stderr, "gxemp-bridge: closing a connection of %s with %u: %s\n",
                     m_Origin.empty() ? "a client without Origin" : m_Origin.c_str(), code,
                     reason.c_str());
    if (soup_websocket_connection_get_state(m_Ws) == SOUP_WEBSOCKET_STATE_OPEN)
        soup_websocket_connection_close(m_Ws, code, reason.c_str());
}

// ---- The service -------------------------------------------------------------------------------

bool Session::Connect(std::string* error) {
    std::string address = gxhost::ClientAddress(m_Bridge->address().c_str());
    int r = sd_bus_new(&m_Bus);
    if (r >= 0) r = sd_bus_set_address(m_Bus, address.c_str());
    // The service answers Hello like a bus, as gxempctl expects.
    if (r >= 0) r = sd_bus_set_bus_client(m_Bus, 1);
    if (r >= 0) r = sd_bus_start(m_Bus);
    if (r >= 0)
        r = sd_bus_match_signal_async(m_Bus, nullptr, nullptr, gxhost::kHostPath,
                                      gxhost::kHostInterface, "Event", &Session::OnEvent, nullptr,
                                      this);
    if (r < 0) {
        *error = "gxemp is not reachable at " + address + ": " + std::strerror(-r);
        return false;
    }
    m_Watch = std::make_unique<gxtools::BusWatch>(m_Bus, [this] { ServiceLost(); });
    m_Watch->WatchDisconnect();
    std::string app = "gxemp-bridge " + (m_Origin.empty() ? std::string("native") : m_Origin);
    sd_bus_message* m = nullptr;
    r = sd_bus_message_new_method_call(m_Bus, &m, gxhost::kBusName, gxhost::kHostPath,
                                       gxhost::kHostInterface, "Open");
    if (r >= 0) r = sd_bus_message_append(m, "s", app.c_str());
    auto* call = new Call{this, [this](sd_bus_message* reply, const sd_bus_error* e) {
                              if (e != nullptr || sd_bus_message_read(reply, "u", &m_Engine) < 0)
                                  return Close(kCloseTryAgain,
                                               "gxemp did not open an engine: " + ErrorText(e));
                              Poll();
                          }};
    sd_bus_slot* slot = nullptr;
    if (r >= 0) r = sd_bus_call_async(m_Bus, &slot, m, &Session::OnReply, call, 0);
    sd_bus_message_unref(m);
    if (r < 0) {
        delete call;
        *error = std::string("cannot call gxemp: ") + std::strerror(-r);
        return false;
    }
    sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Call*>(p); });
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    return true;
}

int Session::OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    const sd_bus_error* e = sd_bus_message_get_error(m);
    call->done(m, e);
    return 0;
}

void Session::Exec(const std::vector<std::string>& words, Done done) {
    std::string a[5];
    for (size_t i = 0; i < words.size() && i < 5; ++i) a[i] = words[i];
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(m_Bus, &m, gxhost::kBusName, gxhost::kHostPath,
                                           gxhost::kHostInterface, "Execute");
    if (r >= 0)
        r = sd_bus_message_append(m, "usssss", m_Engine, a[0].c_str(), a[1].c_str(), a[2].c_str(),
                                  a[3].c_str(), a[4].c_str());
    auto* call = new Call{this, std::move(done)};
    sd_bus_slot* slot = nullptr;
    if (r >= 0) r = sd_bus_call_async(m_Bus, &slot, m, &Session::OnReply, call, 0);
    sd_bus_message_unref(m);
    if (r < 0) {
        sd_bus_error e = SD_BUS_ERROR_NULL;
        sd_bus_error_set_errno(&e, r);
        call->done(nullptr, &e);
        sd_bus_error_free(&e);
        delete call;
        return;
    }
    sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Call*>(p); });
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

// The camera and the voice guide, read with the ordinary commands; a change goes to the page.
void Session::Poll() {
    if (m_PollsPending > 0 || m_Closing) return;
    const std::pair<const char*, Json::Value Session::*> polls[] = {
        {"GetGestureCameraStatus", &Session::m_Camera}, {"IsSupportTTS", &Session::m_VoiceGuide}};
    m_PollsPending = 2;
    for (const auto& [command, field] : polls) {
        Exec({command}, [this, field = field](sd_bus_message* reply, const sd_bus_error* e) {
            Json::Value v(Json::objectValue);
            this->*field = e == nullptr && ReadExecute(reply, &v) && v["result"].isInt()
                               ? v["result"]
                               : Json::Value();
            if (--m_PollsPending > 0) return;
            if (!m_Ready) return Ready();
            Json::Value state = State();
            if (state != m_LastState) {
                m_LastState = state;
                Notify("state", state);
            }
        });
    }
}

void Session::Ready() {
    m_Ready = true;
    m_LastState = State();
    if (m_Origin.empty()) {
        Json::Value result = Hello();
        result.removeMember("authenticate");
        Reply(m_AuthId, result);
    } else {
        Notify("hello", Hello());
    }
    m_PollTimer = g_timeout_add(
        kPollMs,
        [](gpointer data) -> gboolean {
            static_cast<Session*>(data)->Poll();
            return G_SOURCE_CONTINUE;
        },
        this);
    std::deque<std::string> early;
    early.swap(m_Early);
    for (const std::string& text : early) Handle(text);
}

// Called once sd_bus_process has returned: the connection may go now.
void Session::ServiceLost() {
    m_Watch.reset();
    Close(kCloseServiceLost, "gxemp closed the connection");
}

int Session::OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Session*>(userdata);
    uint32_t from = 0;
    int32_t code = 0;
    const char *name = nullptr, *data = nullptr;
    if (sd_bus_message_read(m, "uiss", &from, &code, &name, &data) < 0 || from != self->m_Engine)
        return 0;
    std::string event = name;
    if (code == kMotionCode) {
        // Motion events carry the widget's name: "EVENT_MOTION_GRAB-web".
        std::string suffix = std::string("-") + kWidget;
        if (event.size() > suffix.size() &&
            event.compare(event.size() - suffix.size(), suffix.size(), suffix) == 0)
            event.resize(event.size() - suffix.size());
        if (self->m_Gestures.count(event) == 0) return 0;
    } else if (!self->m_Faces) {
        return 0;
    }
    // A page receives only while it is the focused, visible one, unless it asked to receive in
    // the background (which its origin must allow); a native client is no page.
    if (!self->m_Origin.empty() && !self->m_Background && !self->m_Bridge->HasFocus(self)) return 0;
    Json::Value v(Json::objectValue);
    v["seq"] = static_cast<Json::UInt64>(++self->m_Seq);
    v["code"] = code;
    v["name"] = event;
    v["payload"] = data;
    self->Notify("event", v);
    return 0;
}

// ---- The page ----------------------------------------------------------------------------------

void Session::OnMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer data) {
    auto* self = static_cast<Session*>(data);
    if (self->m_Closing) return;
    if (type != SOUP_WEBSOCKET_DATA_TEXT)
        return self->Close(kCloseUnsupported, "only text frames with JSON are understood");
    gsize size = 0;
    const char* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
    std::string text(bytes != nullptr ? bytes : "", size);
    if (self->m_Authenticated && !self->m_Ready) {
        if (self->m_Early.size() >= kMaxEarly)
            return self->Close(kClosePolicy, "too many requests before the hello");
        self->m_Early.push_back(std::move(text));
        return;
    }
    self->Handle(text);
}

void Session::OnClosed(SoupWebsocketConnection*, gpointer data) {
    auto* self = static_cast<Session*>(data);
    self->m_Closing = true;
    self->m_Bridge->Closed(self);
}

void Session::Handle(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        if (!m_Authenticated) return Close(kClosePolicy, "the first message must authenticate");
        return Error(Json::Value(), kParseError, "parse error: " + errors);
    }
    bool hasId = root.isObject() && root.isMember("id");
    bool idOk = !hasId || root["id"].isString() || root["id"].isIntegral() || root["id"].isNull();
    if (!root.isObject() || !idOk || root["jsonrpc"] != "2.0" || !root["method"].isString()) {
        if (!m_Authenticated) return Close(kClosePolicy, "the first message must authenticate");
        return Error(hasId && idOk ? root["id"] : Json::Value(), kInvalidRequest,
                     root.isArray() ? "batches are not supported" : "not a JSON-RPC 2.0 request");
    }
    Json::Value id = hasId ? root["id"] : kNoReply;
    const Json::Value& params = root.isMember("params") ? root["params"] : Json::Value();
    Dispatch(id, root["method"].asString(), params);
}

void Session::Dispatch(const Json::Value& id, const std::string& method,
                       const Json::Value& params) {
    if (!m_Authenticated) {
        if (method != "authenticate" || id.isObject())
            return Close(kClosePolicy, "the first message must authenticate");
        return Authenticate(id, params);
    }
    if (method == "command") return Command(id, params);
    if (method == "subscribe") return Subscribe(id, params);
    if (method == "visibility") return Visibility(id, params);
    if (method == "state") return Reply(id, State());
    if (method == "authenticate")
        return Error(id, kInvalidRequest,
                     m_Origin.empty() ? "already authenticated" : "pages need no token");
    Error(id, kMethodNotFound, "no method '" + method + "'");
}

void Session::Authenticate(const Json::Value& id, const Json::Value& params) {
    const Json::Value& token = params.isObject() ? params["token"] : Json::Value();
    if (!token.isString() || !gxtools::SecretMatches(token.asCString(), m_Bridge->token()))
        return Close(kClosePolicy, "wrong token");
    m_Authenticated = true;
    g_source_remove(m_AuthTimer);
    m_AuthTimer = 0;
    m_AuthId = id;
    std::string error;
    if (!Connect(&error)) Close(kCloseTryAgain, error);
}

void Session::Command(const Json::Value& id, const Json::Value& params) {
    if (!params.isObject() || !params["name"].isString() ||
        !(params["args"].isNull() || params["args"].isArray()) || params["args"].size() > 4)
        return Error(id, kInvalidParams,
                     "command takes {\"name\": string, \"args\": [up to four strings]}");
    std::vector<std::string> words = {params["name"].asString()};
    for (const Json::Value& a : params["args"]) {
        if (!a.isString()) return Error(id, kInvalidParams, "command arguments are strings");
        words.push_back(a.asString());
    }
    bool reserved = false;
    std::string group = CommandGroup(words[0], &reserved);
    if (group.empty()) return Error(id, kInvalidParams, "no command '" + words[0] + "'");
    if (reserved) return Error(id, kNotAllowed, words[0] + " is the bridge's: use subscribe");
    if (!(group == "motion" ? m_Rights.motion : group == "face" ? m_Rights.face : m_Rights.speech))
        return Error(id, kNotAllowed, "this origin may not use " + group + " commands");

    gint64 now = g_get_monotonic_time();
    if (now - m_WindowStart >= G_USEC_PER_SEC) {
        m_WindowStart = now;
        m_WindowCount = 0;
        m_Overruns = 0;
    }
    const Limits& limits = m_Bridge->config().limits;
    if (m_InFlight >= limits.inFlight || m_WindowCount >= limits.perSecond) {
        if (++m_Overruns >= limits.overrunsToClose)
            return Close(kClosePolicy, "too many commands, again and again");
        return Error(id, kTooManyCommands,
                     m_InFlight >= limits.inFlight ? "too many commands in flight"
                                                   : "too many commands this second");
    }
    ++m_WindowCount;
    ++m_InFlight;
    bool speech = group == "speech";
    Exec(words, [this, id, speech](sd_bus_message* reply, const sd_bus_error* e) {
        --m_InFlight;
        Json::Value result(Json::objectValue);
        if (e != nullptr || !ReadExecute(reply, &result))
            return Error(id, kServiceError, "gxemp: " + ErrorText(e));
        Reply(id, result);
        if (speech) Poll();  // the voice guide may have changed: the page hears of it at once
    });
}

void Session::Subscribe(const Json::Value& id, const Json::Value& params) {
    const Json::Value empty(Json::objectValue);
    const Json::Value& p = params.isNull() ? empty : params;
    if (!p.isObject() || !(p["gestures"].isNull() || p["gestures"].isArray()) ||
        !(p["faces"].isNull() || p["faces"].isBool()) ||
        !(p["background"].isNull() || p["background"].isBool()))
        return Error(id, kInvalidParams,
                     "subscribe takes {\"gestures\": [names], \"faces\": bool, \"background\": "
                     "bool}");
    std::set<std::string> gestures;
    for (const Json::Value& g : p["gestures"]) {
        if (!g.isString() || gxtools::MotionEvents().count(g.asString()) == 0)
            return Error(id, kInvalidParams, "no gesture " + Render(g));
        gestures.insert(g.asString());
    }
    bool faces = p["faces"].asBool(), background = p["background"].asBool();
    if (faces && !m_Rights.faces)
        return Error(id, kNotAllowed, "this origin may not receive face events");
    if (background && !m_Rights.background)
        return Error(id, kNotAllowed, "this origin may not receive in the background");
    m_Gestures = gestures;
    m_Faces = faces;
    m_Background = background;

    // The engine subscribes once to every gesture (and to faces when first asked): what a page
    // receives is filtered here, so changing its mind costs the service nothing.
    std::vector<std::vector<std::string>> calls;
    if (!gestures.empty() && !m_MotionSubscribed) {
        Json::Value list(Json::arrayValue);
        for (const auto& e : gxtools::MotionEvents())
            list.append(Json::Value())["itemType"] = e.first;
        Json::Value arg(Json::objectValue);
        arg["motionEventList"] = list;
        calls.push_back({"SetMotionSubscribeInfo", kWidget, Render(arg)});
    }
    if (faces && !m_FaceSubscribed) {
        calls.push_back({"InitializeFace"});
        calls.push_back({"SubscribeFaceEvent", kWidget});
    }
    auto answer = [this, id] {
        Json::Value r(Json::objectValue);
        r["gestures"] = Json::arrayValue;
        for (const std::string& g : m_Gestures) r["gestures"].append(g);
        r["faces"] = m_Faces;
        r["background"] = m_Background;
        Reply(id, r);
    };
    if (calls.empty()) return answer();
    // Replies come in the order of the calls: the last one answers the page, so an event sent
    // after the answer finds the subscription in place.
    for (size_t i = 0; i < calls.size(); ++i) {
        std::string command = calls[i][0];
        bool last = i + 1 == calls.size();
        Exec(calls[i], [this, command, last, answer](sd_bus_message* reply, const sd_bus_error* e) {
            Json::Value v(Json::objectValue);
            bool ok = e == nullptr && ReadExecute(reply, &v) && v["served"].asBool();
            if (command == "SetMotionSubscribeInfo") {
                m_MotionSubscribed = ok && v["result"] == 1;
                if (!m_MotionSubscribed) m_Gestures.clear();  // the answer says so
            } else if (command == "SubscribeFaceEvent") {
                m_FaceSubscribed = ok;
                if (!ok) m_Faces = false;
            }
            if (last) answer();
        });
    }
}

void Session::Visibility(const Json::Value& id, const Json::Value& params) {
    if (!params.isObject() || !params["visible"].isBool() || !params["focused"].isBool())
        return Error(id, kInvalidParams, "visibility takes {\"visible\": bool, \"focused\": bool}");
    m_Visible = params["visible"].asBool();
    m_Focused = params["focused"].asBool();
    m_Bridge->VisibilityChanged(this);
    Json::Value r(Json::objectValue);
    r["focus"] = m_Bridge->HasFocus(this);
    Reply(id, r);
}

void Session::FocusChanged(bool focus) {
    Json::Value v(Json::objectValue);
    v["focus"] = focus;
    Notify("focus", v);
}

Json::Value Session::State() const {
    Json::Value v(Json::objectValue);
    v["camera"] = m_Camera;
    v["voiceGuide"] = m_VoiceGuide;
    return v;
}

Json::Value Session::Hello() const {
    const Limits& limits = m_Bridge->config().limits;
    Json::Value v(Json::objectValue);
    v["protocol"] = kProtocol;
    v["service"] = "gxemp-bridge " GXEMP_VERSION;
    v["limits"]["maxMessageBytes"] = static_cast<Json::UInt64>(kMaxMessageBytes);
    v["limits"]["commandsInFlight"] = limits.inFlight;
    v["limits"]["commandsPerSecond"] = limits.perSecond;
    v["limits"]["queuedMessages"] = limits.queued;
    v["authenticate"] = !m_Authenticated;
    if (m_Authenticated) {
        v["state"] = State();
        v["focus"] = m_Bridge->HasFocus(this);
        v["rights"] = m_Rights.ToJson();
    }
    return v;
}

// ---- Sending, bounded --------------------------------------------------------------------------

void Session::Reply(const Json::Value& id, const Json::Value& result) {
    if (id.isObject()) return;
    Json::Value m(Json::objectValue);
    m["jsonrpc"] = "2.0";
    m["id"] = id;
    m["result"] = result;
    Send(m);
}

void Session::Error(const Json::Value& id, int code, const std::string& message) {
    if (id.isObject()) return;
    Json::Value m(Json::objectValue);
    m["jsonrpc"] = "2.0";
    m["id"] = id;
    m["error"]["code"] = code;
    m["error"]["message"] = message;
    Send(m);
}

void Session::Notify(const char* method, const Json::Value& params) {
    Json::Value m(Json::objectValue);
    m["jsonrpc"] = "2.0";
    m["method"] = method;
    m["params"] = params;
    Send(m);
}

// A page that stops reading must not make the bridge grow: what waits for it is bounded, the
// oldest goes first, and the page is told how many went.
void Session::Send(const Json::Value& message) {
    if (m_Closing) return;
    std::string text = Render(message);
    m_QueuedBytes += text.size();
    m_Queue.push_back(std::move(text));
    const Limits& limits = m_Bridge->config().limits;
    while (m_Queue.size() > limits.queued ||
           (m_QueuedBytes > limits.queuedBytes && m_Queue.size() > 1)) {
        m_QueuedBytes -= m_Queue.front().size();
        m_Queue.pop_front();
        ++m_Dropped;
    }
    Pump();
}

// libsoup queues what it is given without a bound and says nothing of it; what it holds beyond
// the socket's buffer is only ever what one turn handed it, because the rest waits here until
// the socket takes more.
void Session::Pump() {
    if (m_Closing || m_WritableWatch != nullptr || m_Queue.empty() ||
        soup_websocket_connection_get_state(m_Ws) != SOUP_WEBSOCKET_STATE_OPEN)
        return;
    if ((g_socket_condition_check(m_Socket, G_IO_OUT) & G_IO_OUT) == 0) {
        m_WritableWatch = g_socket_create_source(m_Socket, G_IO_OUT, nullptr);
        g_source_set_callback(m_WritableWatch, G_SOURCE_FUNC(&Session::OnWritable), this, nullptr);
        g_source_attach(m_WritableWatch, nullptr);
        return;
    }
    if (m_Dropped > 0) {
        Json::Value m(Json::objectValue);
        m["jsonrpc"] = "2.0";
        m["method"] = "dropped";
        m["params"]["count"] = static_cast<Json::UInt64>(m_Dropped);
        m_Dropped = 0;
        soup_websocket_connection_send_text(m_Ws, Render(m).c_str());
    }
    std::deque<std::string> out;
    out.swap(m_Queue);
    m_QueuedBytes = 0;
    for (const std::string& text : out) soup_websocket_connection_send_text(m_Ws, text.c_str());
}

gboolean Session::OnWritable(GSocket*, GIOCondition, gpointer data) {
    auto* self = static_cast<Session*>(data);
    g_source_unref(self->m_WritableWatch);
    self->m_WritableWatch = nullptr;
    self->Pump();
    return G_SOURCE_REMOVE;
}

}  // namespace bridge
