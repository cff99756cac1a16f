// gxempctl view's web server: the Host and token checks, the page, and one event stream per tab
// with its bounded queue (View.h).
#include <cstring>

#include "View.h"

namespace gxempctl {
namespace view {

Tab::~Tab() {
    g_signal_handlers_disconnect_by_data(msg, this);
    if (watch != nullptr) {
        g_source_destroy(watch);
        g_source_unref(watch);
    }
}

void Tab::Push(std::string message) {
    queuedBytes += message.size();
    queue.push_back(std::move(message));
    while (queue.size() > kMaxQueued || (queuedBytes > kMaxQueuedBytes && queue.size() > 1)) {
        queuedBytes -= queue.front().size();
        queue.pop_front();
        ++dropped;
    }
    Flush();
}

void Tab::Flush() {
    if (writing || queue.empty()) return;
    std::string chunk;
    if (dropped > 0) {
        Json::Value v(Json::objectValue);
        v["count"] = static_cast<Json::UInt64>(dropped);
        chunk = SseMessage("dropped", v);
        dropped = 0;
    }
    for (const std::string& m : queue) chunk += m;
    queue.clear();
    queuedBytes = 0;
    soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_COPY,
                             chunk.data(), chunk.size());
    writing = true;
    soup_server_message_unpause(msg);
}

void View::Refuse(SoupServerMessage* msg, guint status, const char* why) {
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, why,
                                     std::strlen(why));
}

void View::OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query,
                     gpointer data) {
    auto* self = static_cast<View*>(data);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(out, "Cache-Control", "no-store");
    soup_message_headers_replace(out, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace(out, "Referrer-Policy", "no-referrer");
    const char* host =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
    const char* method = soup_server_message_get_method(msg);
    if (!gxtools::HostAllowed(host, self->port))
        return Refuse(msg, SOUP_STATUS_FORBIDDEN, "refused: unexpected Host header\n");
    if (!gxtools::SecretMatches(
            query ? static_cast<const char*>(g_hash_table_lookup(query, "token")) : nullptr,
            self->token))
        return Refuse(msg, SOUP_STATUS_FORBIDDEN,
                      "refused: open the URL that gxempctl view printed (with its token)\n");
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
        soup_message_headers_replace(out, "Allow", "GET, HEAD");
        return Refuse(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "the view only serves GET\n");
    }
    if (std::strcmp(path, "/") == 0) return self->ServePage(msg);
    if (std::strcmp(path, "/events") == 0) return self->ServeEvents(msg);
    Refuse(msg, SOUP_STATUS_NOT_FOUND, "not found\n");
}

void View::ServePage(SoupServerMessage* msg) {
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    // The page needs nothing but itself and its own event stream.
    soup_message_headers_replace(
        out, "Content-Security-Policy",
        "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
        "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
        "frame-ancestors 'none'");
    soup_message_headers_replace(out, "X-Frame-Options", "DENY");
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(msg, "text/html; charset=utf-8", SOUP_MEMORY_STATIC,
                                     reinterpret_cast<const char*>(kViewPage), kViewPageSize);
}

void View::ServeEvents(SoupServerMessage* msg) {
    if (tabs.size() >= kMaxTabs)
        return Refuse(msg, SOUP_STATUS_SERVICE_UNAVAILABLE,
                      "too many open views; close one and reload\n");
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(out, "Content-Type", "text/event-stream; charset=utf-8");
    soup_message_headers_set_encoding(out, SOUP_ENCODING_CHUNKED);
    // Written chunks are freed, not kept for a body that never ends.
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    auto tab = std::make_unique<Tab>();
    tab->view = this;
    tab->msg = msg;
    g_signal_connect(msg, "wrote-chunk", G_CALLBACK(&View::OnWroteChunk), tab.get());
    g_signal_connect(msg, "finished", G_CALLBACK(&View::OnFinished), tab.get());
    // libsoup does not read while it waits for our next chunk, so it would notice a closed
    // tab only when it next writes; watching the socket frees the tab's place at once.
    tab->watch = g_socket_create_source(soup_server_message_get_socket(msg),
                                        static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), nullptr);
    g_source_set_callback(tab->watch, G_SOURCE_FUNC(&View::OnTabGone), tab.get(), nullptr);
    g_source_attach(tab->watch, nullptr);
    // A new tab learns the state, then the recent events (marked as such, so that it shows
    // them without replaying their animations).
    Json::Value state = State();
    state["now"] = static_cast<Json::Int64>(NowMs());
    std::string hello = SseMessage("state", state);
    for (const Json::Value& e : history) hello += SseMessage("history", e);
    tab->Push(hello);
    tabs.push_back(std::move(tab));
}

void View::OnWroteChunk(SoupServerMessage*, gpointer data) {
    auto* tab = static_cast<Tab*>(data);
    tab->writing = false;
    tab->Flush();
}

void View::Forget(Tab* tab) {
    for (auto it = tabs.begin(); it != tabs.end(); ++it)
        if (it->get() == tab) {
            tabs.erase(it);
            return;
        }
}

void View::OnFinished(SoupServerMessage*, gpointer data) {
    auto* tab = static_cast<Tab*>(data);
    tab->view->Forget(tab);
}

gboolean View::OnTabGone(GSocket* socket, GIOCondition, gpointer data) {
    auto* tab = static_cast<Tab*>(data);
    SoupServerMessage* msg = tab->msg;
    g_socket_shutdown(socket, TRUE, TRUE, nullptr);
    tab->view->Forget(tab);
    soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_STATIC, "\n",
                             1);
    soup_server_message_unpause(msg);
    return G_SOURCE_REMOVE;
}

gboolean View::OnKeepAlive(gpointer data) {
    for (auto& tab : static_cast<View*>(data)->tabs)
        if (tab->queue.empty() && !tab->writing) tab->Push(": keep-alive\n\n");
    return G_SOURCE_CONTINUE;
}

}  // namespace view
}  // namespace gxempctl
