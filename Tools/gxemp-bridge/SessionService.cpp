// One WebSocket's side towards gxemp: its own D-Bus connection and engine, run on the GLib loop
// with asynchronous calls only; the state polls; the events it passes on to its page.
#include <cstdio>
#include <cstring>

#include "Session.h"
#include "gxhost/Endpoint.h"

namespace bridge {

using detail::ErrorText;
using detail::ReadExecute;

namespace {

constexpr guint kPollMs = 1000;
constexpr int kMotionCode = 6511;

}  // namespace

struct Session::Call {
    Session* session;
    Done done;
};

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

}  // namespace bridge
