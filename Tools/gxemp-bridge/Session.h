// One WebSocket of gxemp-bridge: its protocol, its own D-Bus connection and engine, its bounded
// outgoing queue (Bridge.h has the overview).
#pragma once

#include <systemd/sd-bus.h>

#include <deque>
#include <functional>
#include <memory>
#include <set>

#include "Bridge.h"
#include "GlibBus.h"

namespace bridge {

namespace detail {
// One line of JSON, ASCII only.
std::string Render(const Json::Value& v);
// The (b served, v result) of Execute: {"served": true, "result": 1 or "text"} or {"served":
// false}.
bool ReadExecute(sd_bus_message* m, Json::Value* out);
std::string ErrorText(const sd_bus_error* e);
}  // namespace detail

class Session {
public:
    // `origin` is "" for a client that sent none: it must present the token first.
    Session(Bridge* bridge, SoupWebsocketConnection* ws, GSocket* socket, std::string origin,
            Rights rights);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& origin() const { return m_Origin; }
    // Visible and focused, as the page last reported.
    bool WantsFocus() const { return m_Visible && m_Focused; }
    void FocusChanged(bool focus);
    void Close(unsigned short code, const std::string& reason);

private:
    using Done = std::function<void(sd_bus_message* reply, const sd_bus_error* error)>;
    struct Call;

    // -- the service
    bool Connect(std::string* error);
    void Exec(const std::vector<std::string>& words, Done done);
    void Poll();
    void Ready();
    void ServiceLost();
    static int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error* error);

    // -- the page
    static void OnMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer data);
    static void OnClosed(SoupWebsocketConnection*, gpointer data);
    void Handle(const std::string& text);
    void Dispatch(const Json::Value& id, const std::string& method, const Json::Value& params);
    void Authenticate(const Json::Value& id, const Json::Value& params);
    void Command(const Json::Value& id, const Json::Value& params);
    void Subscribe(const Json::Value& id, const Json::Value& params);
    void Visibility(const Json::Value& id, const Json::Value& params);
    Json::Value State() const;
    Json::Value Hello() const;

    void Reply(const Json::Value& id, const Json::Value& result);
    void Error(const Json::Value& id, int code, const std::string& message);
    void Refused(const Json::Value& id, const std::string& why);
    void Notify(const char* method, const Json::Value& params);
    void Send(const Json::Value& message);
    void Pump();
    static gboolean OnWritable(GSocket*, GIOCondition, gpointer data);

    Bridge* m_Bridge;
    SoupWebsocketConnection* m_Ws;
    GSocket* m_Socket;
    std::string m_Origin;
    Rights m_Rights;
    bool m_Authenticated;
    bool m_Closing = false;

    sd_bus* m_Bus = nullptr;
    std::unique_ptr<gxtools::BusWatch> m_Watch;
    uint32_t m_Engine = 0;
    bool m_Ready = false;
    std::deque<std::string> m_Early;  // requests that came before the engine was open
    Json::Value m_AuthId;             // the authenticate request waiting for the engine
    int m_PollsPending = 0;
    Json::Value m_Camera, m_VoiceGuide, m_LastState;

    std::set<std::string> m_Gestures;
    bool m_Faces = false, m_Background = false;
    bool m_MotionSubscribed = false, m_FaceSubscribed = false;
    bool m_Visible = false, m_Focused = false;
    uint64_t m_Seq = 0;
    std::set<std::string> m_Logged;  // refusals already logged

    unsigned m_InFlight = 0, m_WindowCount = 0, m_Overruns = 0;
    gint64 m_WindowStart = 0;

    std::deque<std::string> m_Queue;
    size_t m_QueuedBytes = 0;
    uint64_t m_Dropped = 0;
    GSource* m_WritableWatch = nullptr;
    guint m_AuthTimer = 0, m_PollTimer = 0;
};

}  // namespace bridge
