// What one WebSocket sends to its page: answers, notifications, and the bounded queue in front
// of libsoup.
#include <cstdio>
#include <cstring>

#include "Session.h"
#include "gxhost/Endpoint.h"

namespace bridge {

using detail::Render;

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
