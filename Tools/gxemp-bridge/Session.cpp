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

constexpr size_t kMaxEarly = 16;

// A request without an id (a notification) is answered with nothing; it travels as an object,
// which no valid id can be.
const Json::Value kNoReply(Json::objectValue);

}  // namespace

namespace detail {

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

}  // namespace detail

using detail::ErrorText;
using detail::ReadExecute;
using detail::Render;

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
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception& e) {  // nesting beyond the reader's stack limit throws
        errors = e.what();
    }
    if (!parsed) {
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
        return Refused(id, "this origin may not use " + group + " commands");

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

namespace {

// The engine subscribes once to every gesture (and to faces when first asked): what a page
// receives is filtered by the bridge, so changing its mind costs the service nothing. The
// commands that subscribe what is not yet subscribed.
std::vector<std::vector<std::string>> EngineSubscriptions(bool gestures, bool faces) {
    std::vector<std::vector<std::string>> calls;
    if (gestures) {
        Json::Value list(Json::arrayValue);
        for (const auto& e : gxtools::MotionEvents())
            list.append(Json::Value())["itemType"] = e.first;
        Json::Value arg(Json::objectValue);
        arg["motionEventList"] = list;
        calls.push_back({"SetMotionSubscribeInfo", kWidget, Render(arg)});
    }
    if (faces) {
        calls.push_back({"InitializeFace"});
        calls.push_back({"SubscribeFaceEvent", kWidget});
    }
    return calls;
}

}  // namespace

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
    if (faces && !m_Rights.faces) return Refused(id, "this origin may not receive face events");
    if (background && !m_Rights.background)
        return Refused(id, "this origin may not receive in the background");
    m_Gestures = gestures;
    m_Faces = faces;
    m_Background = background;

    std::vector<std::vector<std::string>> calls =
        EngineSubscriptions(!gestures.empty() && !m_MotionSubscribed, faces && !m_FaceSubscribed);
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
    // A client without Origin is no page: it neither takes the focus from one nor needs it.
    m_Visible = !m_Origin.empty() && params["visible"].asBool();
    m_Focused = !m_Origin.empty() && params["focused"].asBool();
    m_Bridge->VisibilityChanged(this);
    Json::Value r(Json::objectValue);
    r["focus"] = m_Bridge->HasFocus(this);
    Reply(id, r);
}

// A request beyond the origin's rights: answered, and logged once per connection and reason.
void Session::Refused(const Json::Value& id, const std::string& why) {
    if (m_Logged.insert(why).second)
        std::fprintf(stderr, "gxemp-bridge: refused a request of %s: %s\n", m_Origin.c_str(),
                     why.c_str());
    Error(id, kNotAllowed, why);
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

}  // namespace bridge
