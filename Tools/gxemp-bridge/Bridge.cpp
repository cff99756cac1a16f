// gxemp-bridge's HTTP side: who may open a WebSocket, the status resource, and focus among the
// pages.
//
// Every check runs before the upgrade, in a handler that libsoup calls ahead of the WebSocket
// handler of the same path; a refusal is an ordinary HTTP answer and one line in the log.
#include <cstdio>

#include "GlibBus.h"
#include "Session.h"

namespace bridge {

Bridge::Bridge(Config config, std::string address, std::string token)
    : m_Config(std::move(config)), m_Address(std::move(address)), m_Token(std::move(token)) {}

Bridge::~Bridge() {
    m_Focus = nullptr;
    m_Sessions.clear();
    m_Dead.clear();
    if (m_Idle != 0) g_source_remove(m_Idle);
    if (m_Server != nullptr) {
        soup_server_disconnect(m_Server);
        g_object_unref(m_Server);
    }
}

bool Bridge::Listen(unsigned port, std::string* error) {
    m_Server = soup_server_new("server-header", "gxemp-bridge", nullptr);
    GError* e = nullptr;
    // 127.0.0.1 only: nothing on the network can reach the bridge.
    if (!soup_server_listen_local(m_Server, port, SOUP_SERVER_LISTEN_IPV4_ONLY, &e)) {
        *error = "cannot listen on 127.0.0.1 port " + std::to_string(port) + ": " + e->message;
        g_error_free(e);
        return false;
    }
    GSList* uris = soup_server_get_uris(m_Server);
    m_Port = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    // Compression off: a compressed frame's size says nothing of what it inflates to.
    soup_server_remove_websocket_extension(m_Server, SOUP_TYPE_WEBSOCKET_EXTENSION_DEFLATE);
    soup_server_add_handler(m_Server, nullptr, &Bridge::OnRequest, this, nullptr);
    soup_server_add_handler(m_Server, kPath, &Bridge::OnRequest, this, nullptr);
    soup_server_add_websocket_handler(m_Server, kPath, nullptr, nullptr, &Bridge::OnWebSocket, this,
                                      nullptr);
    return true;
}

void Bridge::Refuse(SoupServerMessage* msg, guint status, const std::string& why) {
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    const char* host = soup_message_headers_get_one(in, "Host");
    const char* origin = soup_message_headers_get_one(in, "Origin");
    GUri* uri = soup_server_message_get_uri(msg);
    std::fprintf(
        stderr, "gxemp-bridge: refused %s %s from %s (Host %s, Origin %s): %u %s\n",
        soup_server_message_get_method(msg), g_uri_get_path(uri),
        soup_server_message_get_remote_host(msg) ? soup_server_message_get_remote_host(msg) : "?",
        host ? host : "none", origin ? origin : "none", status, why.c_str());
    std::string body = "refused: " + why + "\n";
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                     body.data(), body.size());
}

void Bridge::OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                       gpointer data) {
    auto* self = static_cast<Bridge*>(data);
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(out, "Cache-Control", "no-store");
    soup_message_headers_replace(out, "X-Content-Type-Options", "nosniff");
    GInetSocketAddress* peer = G_INET_SOCKET_ADDRESS(soup_server_message_get_remote_address(msg));
    if (peer == nullptr || !g_inet_address_get_is_loopback(g_inet_socket_address_get_address(peer)))
        return self->Refuse(msg, SOUP_STATUS_FORBIDDEN, "the peer is not on this machine");
    if (!gxtools::HostAllowed(soup_message_headers_get_one(in, "Host"), self->m_Port))
        return self->Refuse(msg, SOUP_STATUS_FORBIDDEN,
                            "Host must be 127.0.0.1:" + std::to_string(self->m_Port) +
                                " or localhost:" + std::to_string(self->m_Port));
    const char* origin = soup_message_headers_get_one(in, "Origin");
    if (std::strcmp(path, kStatusPath) == 0) return self->ServeStatus(msg, origin);
    if (std::strcmp(path, kPath) != 0)
        return self->Refuse(msg, SOUP_STATUS_NOT_FOUND,
                            std::string("no such path (the bridge is at ") + kPath + ")");
    self->Admit(msg);
}

bool Bridge::Admit(SoupServerMessage* msg) {
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    const char* origin = soup_message_headers_get_one(in, "Origin");
    if (soup_server_message_get_method(msg) != SOUP_METHOD_GET) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET");
        Refuse(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "a WebSocket opens with GET");
        return false;
    }
    // A file, a sandboxed frame or a redirect across sites sends "null": never a page we know.
    if (origin != nullptr && std::strcmp(origin, "null") == 0) {
        Refuse(msg, SOUP_STATUS_FORBIDDEN, "Origin null (a local file or sandboxed page)");
        return false;
    }
    if (origin != nullptr && m_Config.origins.count(origin) == 0) {
        Refuse(msg, SOUP_STATUS_FORBIDDEN, "Origin not on the allowlist");
        return false;
    }
    if (!soup_message_headers_header_contains(in, "Upgrade", "websocket")) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Upgrade",
                                     "websocket");
        Refuse(msg, 426, "only a WebSocket is served here");
        return false;
    }
    std::string key = origin != nullptr ? origin : "";
    if (m_Sessions.size() >= m_Config.limits.connections) {
        Refuse(msg, SOUP_STATUS_SERVICE_UNAVAILABLE,
               "all " + std::to_string(m_Config.limits.connections) + " connections in use");
        return false;
    }
    if (CountOf(key) >= m_Config.limits.perOrigin) {
        Refuse(msg, SOUP_STATUS_SERVICE_UNAVAILABLE,
               "this origin has all its " + std::to_string(m_Config.limits.perOrigin) +
                   " connections open");
        return false;
    }
    return true;  // no status: libsoup goes on with the handshake
}

unsigned Bridge::CountOf(const std::string& origin) const {
    unsigned n = 0;
    for (const auto& s : m_Sessions) n += s->origin() == origin ? 1 : 0;
    return n;
}

void Bridge::OnWebSocket(SoupServer*, SoupServerMessage* msg, const char*,
                         SoupWebsocketConnection* ws, gpointer data) {
    auto* self = static_cast<Bridge*>(data);
    const char* origin =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Origin");
    GSocket* socket = soup_server_message_get_socket(msg);
    if (socket == nullptr) {
        GIOStream* io = soup_websocket_connection_get_io_stream(ws);
        if (G_IS_SOCKET_CONNECTION(io))
            socket = g_socket_connection_get_socket(G_SOCKET_CONNECTION(io));
    }
    if (socket == nullptr) {
        soup_websocket_connection_close(ws, kCloseTryAgain, "no socket");
        return;
    }
    Rights rights;
    if (origin != nullptr) {
        rights = self->m_Config.origins.at(origin);
    } else {
        // A native tool with the token may do what the user may.
        rights.motion = rights.face = rights.speech = rights.faces = rights.background = true;
    }
    self->m_Sessions.push_back(
        std::make_unique<Session>(self, ws, socket, origin ? origin : "", rights));
}

void Bridge::ServeStatus(SoupServerMessage* msg, const char* origin) {
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    // The answer depends on the Origin: caches must keep one per Origin.
    soup_message_headers_replace(out, "Vary", "Origin");
    const char* method = soup_server_message_get_method(msg);
    if (origin != nullptr &&
        (std::strcmp(origin, "null") == 0 || m_Config.origins.count(origin) == 0))
        return Refuse(msg, SOUP_STATUS_FORBIDDEN, "Origin not on the allowlist");
    if (origin != nullptr) soup_message_headers_replace(out, "Access-Control-Allow-Origin", origin);
    if (method == SOUP_METHOD_OPTIONS) {
        // A browser's preflight, which may ask whether a public page may reach this machine.
        soup_message_headers_replace(out, "Access-Control-Allow-Methods", "GET");
        const char* pna =
            soup_message_headers_get_one(in, "Access-Control-Request-Private-Network");
        if (origin != nullptr && pna != nullptr && std::strcmp(pna, "true") == 0)
            soup_message_headers_replace(out, "Access-Control-Allow-Private-Network", "true");
        soup_server_message_set_status(msg, SOUP_STATUS_NO_CONTENT, nullptr);
        return;
    }
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
        soup_message_headers_replace(out, "Allow", "GET, HEAD, OPTIONS");
        return Refuse(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "the status is read with GET");
    }
    Json::Value v(Json::objectValue);
    v["service"] = "gxemp-bridge";
    v["version"] = GXEMP_VERSION;
    v["protocol"] = kProtocol;
    v["path"] = kPath;
    v["connections"] = static_cast<Json::UInt>(m_Sessions.size());
    v["maxConnections"] = m_Config.limits.connections;
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    std::string body = Json::writeString(b, v) + "\n";
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_COPY, body.data(),
                                     body.size());
}

void Bridge::VisibilityChanged(Session* s) {
    if (s->WantsFocus()) {
        if (m_Focus == s) return;
        Session* old = m_Focus;
        m_Focus = s;
        if (old != nullptr) old->FocusChanged(false);
        s->FocusChanged(true);
    } else if (m_Focus == s) {
        m_Focus = nullptr;
        s->FocusChanged(false);
    }
}

void Bridge::Closed(Session* s) {
    if (m_Focus == s) m_Focus = nullptr;
    for (auto it = m_Sessions.begin(); it != m_Sessions.end(); ++it)
        if (it->get() == s) {
            m_Dead.push_back(std::move(*it));
            m_Sessions.erase(it);
            break;
        }
    // Freed from the loop, not from inside libsoup's signal.
    if (m_Idle == 0)
        m_Idle = g_idle_add(
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Bridge*>(data);
                self->m_Idle = 0;
                self->m_Dead.clear();
                return G_SOURCE_REMOVE;
            },
            this);
}

void Bridge::CloseAll() {
    for (const auto& s : m_Sessions) s->Close(kCloseGoingAway, "gxemp-bridge is stopping");
}

}  // namespace bridge
