// gxempctl view: a local web page that shows, live, what the service recognises for the viewer's
// own engine (gestures, face boxes, the camera and the voice guide).
//
// One thread, one GLib main loop. libsoup's server needs GLib's loop, so the D-Bus connection is
// attached to that loop too: a GSource polls sd-bus's descriptor with the events and the timeout
// that sd-bus asks for and calls sd_bus_process when it is due. We chose that over running
// sd-event inside GLib because the viewer needs nothing from sd-event but the bus: one source per
// connection is all the glue there is, and a reconnect simply replaces it.
//
// The event stream is Server-Sent Events rather than a WebSocket: the page only listens (it never
// sends a command, and SSE gives it no channel to), a stream is an ordinary GET that goes through
// the same Host and token checks as the page, and the browser reconnects an EventSource by itself
// when the viewer restarts.
//
// A tab that stops reading must not make the viewer grow or wait: each tab has one chunk in
// flight at most and a bounded queue behind it that drops its oldest messages; a keep-alive
// comment makes the server notice tabs that went away without closing.
#include <glib-unix.h>
#include <libsoup/soup.h>

#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "GlibBus.h"
#include "gxempctl.h"

namespace gxempctl {

// The page (HTML with its CSS and script inlined), generated from view/ at build time.
extern const unsigned char kViewPage[];
extern const size_t kViewPageSize;

namespace {

constexpr size_t kMaxTabs = 16;
// What may wait for one tab (beyond the chunk being written); past that the oldest go. Motion
// texts have no length limit of their own, hence the bound in bytes too.
constexpr size_t kMaxQueued = 256;
constexpr size_t kMaxQueuedBytes = 1 << 20;
constexpr size_t kHistory = 50;  // events a new tab is shown
constexpr guint kPollMs = 1000;
constexpr guint kKeepAliveMs = 10000;
constexpr guint kRetryFirstMs = 250, kRetryMaxMs = 8000;
constexpr char kWidget[] = "view";

int64_t NowMs() {
    return g_get_real_time() / 1000;
}

std::string SseMessage(const char* type, const Json::Value& v) {
    return std::string("event: ") + type + "\ndata: " + JsonLine(v) + "\n\n";
}

struct View;

// ---- One tab's event stream --------------------------------------------------------------------

struct Tab {
    View* view;
    SoupServerMessage* msg;
    GSource* watch = nullptr;  // input on the stream's socket: the tab went away
    std::deque<std::string> queue;
    size_t queuedBytes = 0;
    bool writing = false;  // a chunk is with libsoup and not yet written
    uint64_t dropped = 0;

    ~Tab() {
        g_signal_handlers_disconnect_by_data(msg, this);
        if (watch != nullptr) {
            g_source_destroy(watch);
            g_source_unref(watch);
        }
    }

    void Push(std::string message) {
        queuedBytes += message.size();
        queue.push_back(std::move(message));
        while (queue.size() > kMaxQueued || (queuedBytes > kMaxQueuedBytes && queue.size() > 1)) {
            queuedBytes -= queue.front().size();
            queue.pop_front();
            ++dropped;
        }
        Flush();
    }

    // Hands everything queued to libsoup as one chunk, unless a chunk is still being written.
    void Flush() {
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
};

// ---- The viewer --------------------------------------------------------------------------------

struct View {
    int width = 1280, height = 720;
    guint port = 0;
    std::string token;
    GMainLoop* loop = nullptr;
    SoupServer* server = nullptr;

    std::unique_ptr<Bus> bus;                  // null while the service is away
    std::unique_ptr<gxtools::BusWatch> watch;  // runs `bus` on the GLib loop
    uint32_t engine = 0;
    int pollsPending = 0;
    Json::Value camera, voiceGuide;  // null while unknown
    unsigned reconnects = 0, attempt = 0;
    guint retryMs = kRetryFirstMs;
    std::string lastError;
    Json::Value lastState;

    std::deque<Json::Value> history;
    std::vector<std::unique_ptr<Tab>> tabs;

    // -- state ----------------------------------------------------------------------------------

    Json::Value State() const {
        Json::Value v(Json::objectValue);
        v["service"] = bus ? "connected" : "reconnecting";
        v["engine"] = bus ? Json::Value(engine) : Json::Value();
        v["camera"] = camera;
        v["voiceGuide"] = voiceGuide;
        v["frame"]["width"] = width;
        v["frame"]["height"] = height;
        v["reconnects"] = reconnects;
        if (!bus) {
            v["attempt"] = attempt;
            v["error"] = lastError;
        }
        return v;
    }

    // Every tab hears of a change of state, and only of a change.
    void StateChanged() {
        Json::Value state = State();
        if (state == lastState) return;
        lastState = state;
        state["now"] = static_cast<Json::Int64>(NowMs());
        Broadcast(SseMessage("state", state));
    }

    void Broadcast(const std::string& message) {
        for (auto& tab : tabs) tab->Push(message);
    }

    // -- the service ----------------------------------------------------------------------------

    // Connects, opens the viewer's engine and subscribes it. Throws ServiceError.
    void Attach() {
        auto b = std::make_unique<Bus>();
        Connect(b.get());
        int r = gxclient::MatchEvents(b->bus.get(), &View::OnEvent, this, nullptr);
        if (r < 0)
            throw ServiceError{kExitUnreachable,
                               std::string("cannot subscribe to events: ") + std::strerror(-r)};
        uint32_t id = OpenEngine(*b, "gxempctl-view");
        Json::Value done = Subscribe(*b, id, kWidget, true, true);
        if (!done["motion"]["served"].asBool() || !done["face"]["served"].asBool())
            std::fprintf(stderr, "gxempctl view: the engine did not take every subscription: %s\n",
                         JsonLine(done).c_str());
        bus = std::move(b);
        engine = id;
        watch = std::make_unique<gxtools::BusWatch>(bus->bus.get(), [this] { Lost(); });
        watch->WatchDisconnect();
        Poll();
        if (pollsPending == 0) StateChanged();
    }

    void Lost() {
        if (!bus) return;
        watch.reset();
        bus.reset();
        engine = 0;
        pollsPending = 0;
        camera = Json::Value();
        voiceGuide = Json::Value();
        attempt = 0;
        retryMs = kRetryFirstMs;
        lastError = "the service closed the connection";
        std::fprintf(stderr, "gxempctl view: the service went away; reconnecting\n");
        StateChanged();
        g_timeout_add(retryMs, &View::OnRetry, this);
    }

    // Tries again with a growing delay until the service is back.
    static gboolean OnRetry(gpointer data) {
        auto* self = static_cast<View*>(data);
        ++self->attempt;
        try {
            self->Attach();
            ++self->reconnects;
            std::fprintf(stderr, "gxempctl view: reconnected, engine %u\n", self->engine);
            return G_SOURCE_REMOVE;  // the state goes out with the first poll's answers
        } catch (const ServiceError& e) {
            self->lastError = e.message;
            self->retryMs = std::min(self->retryMs * 2, kRetryMaxMs);
            g_timeout_add(self->retryMs, &View::OnRetry, self);
        }
        self->StateChanged();
        return G_SOURCE_REMOVE;
    }

    static int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<View*>(userdata);
        Json::Value v(Json::objectValue);
        if (!ReadEvent(m, self->engine, &v)) return 0;
        v["time"] = static_cast<Json::Int64>(NowMs());
        self->history.push_back(v);
        if (self->history.size() > kHistory) self->history.pop_front();
        self->Broadcast(SseMessage("event", v));
        return 0;
    }

    // Asks for the camera status and the voice guide with the ordinary commands, without
    // waiting: a slow service must not hold up the pages.
    void Poll() {
        if (!bus || pollsPending > 0) return;
        const struct {
            const char* command;
            sd_bus_message_handler_t reply;
        } polls[] = {{"GetGestureCameraStatus", &View::OnPoll<&View::camera>},
                     {"IsSupportTTS", &View::OnPoll<&View::voiceGuide>}};
        for (const auto& p : polls) {
            if (gxclient::CallAsync(bus->bus.get(), gxclient::Execute(engine, {p.command}), p.reply,
                                    this, nullptr) >= 0)
                ++pollsPending;
        }
    }

    // The result of a poll: an integer when served, else unknown (null).
    Json::Value PollResult(sd_bus_message* m) {
        --pollsPending;
        Json::Value v(Json::objectValue);
        if (sd_bus_message_is_method_error(m, nullptr)) return Json::Value();
        try {
            ReadExecuteReply(m, &v);
        } catch (const ServiceError&) {
            return Json::Value();
        }
        return v["served"].asBool() && v["result"].isInt() ? v["result"] : Json::Value();
    }

    bool FromThisBus(sd_bus_message* m) const {
        return bus && !watch->lost() && sd_bus_message_get_bus(m) == bus->bus.get();
    }

    // The answer to one of the polls, stored in the state member it reports.
    template <Json::Value View::*Field>
    static int OnPoll(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<View*>(userdata);
        if (!self->FromThisBus(m)) return 0;
        self->*Field = self->PollResult(m);
        if (self->pollsPending == 0) self->StateChanged();
        return 0;
    }

    // -- HTTP -----------------------------------------------------------------------------------

    static void Refuse(SoupServerMessage* msg, guint status, const char* why) {
        soup_server_message_set_status(msg, status, nullptr);
        soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, why,
                                         std::strlen(why));
    }

    static void OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query,
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

    void ServePage(SoupServerMessage* msg) {
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

    void ServeEvents(SoupServerMessage* msg) {
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

    static void OnWroteChunk(SoupServerMessage*, gpointer data) {
        auto* tab = static_cast<Tab*>(data);
        tab->writing = false;
        tab->Flush();
    }

    void Forget(Tab* tab) {
        for (auto it = tabs.begin(); it != tabs.end(); ++it)
            if (it->get() == tab) {
                tabs.erase(it);
                return;
            }
    }

    static void OnFinished(SoupServerMessage*, gpointer data) {
        auto* tab = static_cast<Tab*>(data);
        tab->view->Forget(tab);
    }

    // The client of a stream never sends after its request: input is its end (or junk). Shut the
    // socket, so that libsoup's next write fails and it lets the message go too.
    static gboolean OnTabGone(GSocket* socket, GIOCondition, gpointer data) {
        auto* tab = static_cast<Tab*>(data);
        SoupServerMessage* msg = tab->msg;
        g_socket_shutdown(socket, TRUE, TRUE, nullptr);
        tab->view->Forget(tab);
        soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_STATIC,
                                 "\n", 1);
        soup_server_message_unpause(msg);
        return G_SOURCE_REMOVE;
    }

    // A comment line on idle streams: writing is how a tab that vanished is noticed.
    static gboolean OnKeepAlive(gpointer data) {
        for (auto& tab : static_cast<View*>(data)->tabs)
            if (tab->queue.empty() && !tab->writing) tab->Push(": keep-alive\n\n");
        return G_SOURCE_CONTINUE;
    }

    static gboolean OnPoll(gpointer data) {
        static_cast<View*>(data)->Poll();
        return G_SOURCE_CONTINUE;
    }

    static gboolean OnQuit(gpointer data) {
        g_main_loop_quit(static_cast<View*>(data)->loop);
        return G_SOURCE_CONTINUE;
    }

    int Run() {
        Attach();  // the service must be there at the start: exit 3 as every command does
        server = soup_server_new("server-header", "gxempctl-view", nullptr);
        GError* error = nullptr;
        if (!soup_server_listen_local(server, port, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
            std::string why = error->message;
            bool busy = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE);
            g_error_free(error);
            g_object_unref(server);
            throw ServiceError{kExitNotServed, "cannot listen on 127.0.0.1 port " +
                                                   std::to_string(port) + ": " + why +
                                                   (busy ? " (--port 0 picks a free port)" : "")};
        }
        GSList* uris = soup_server_get_uris(server);
        port = static_cast<guint>(g_uri_get_port(static_cast<GUri*>(uris->data)));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        soup_server_add_handler(server, nullptr, &View::OnRequest, this, nullptr);

        std::printf("http://127.0.0.1:%u/?token=%s\n", port, token.c_str());
        std::fflush(stdout);
        std::fprintf(stderr,
                     "gxempctl view: open the URL above in a browser on this machine; Ctrl-C "
                     "stops the view\n");

        loop = g_main_loop_new(nullptr, FALSE);
        guint sources[] = {
            g_timeout_add(kPollMs, &View::OnPoll, this),
            g_timeout_add(kKeepAliveMs, &View::OnKeepAlive, this),
            g_unix_signal_add(SIGINT, &View::OnQuit, this),
            g_unix_signal_add(SIGTERM, &View::OnQuit, this),
        };
        g_main_loop_run(loop);
        for (guint id : sources) g_source_remove(id);
        g_main_loop_unref(loop);

        tabs.clear();
        soup_server_disconnect(server);
        g_object_unref(server);
        if (bus) {
            try {
                CloseEngine(*bus, engine);
            } catch (const ServiceError&) {
                // The service went away as we stopped: nothing left to close.
            }
        }
        return kExitOk;
    }
};

}  // namespace

int CmdView(std::vector<std::string>& args) {
    View view;
    view.port = 8765;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size()) {
            int32_t port = ParseIntIn(args[++i], "--port", 0, 65535);
            view.port = static_cast<guint>(port);
        } else if (args[i] == "--frame" && i + 1 < args.size()) {
            const std::string& f = args[++i];
            size_t x = f.find('x');
            if (x == std::string::npos) Usage("--frame takes WIDTHxHEIGHT, e.g. 1280x720");
            view.width = ParseIntIn(f.substr(0, x), "--frame width", 1, 16384);
            view.height = ParseIntIn(f.substr(x + 1), "--frame height", 1, 16384);
        } else {
            Usage("unknown argument for view: " + args[i]);
        }
    }
    if (!gxtools::RandomToken(&view.token))
        throw ServiceError{kExitNotServed, "cannot get random bytes for the token"};
    std::signal(SIGPIPE, SIG_IGN);
    return view.Run();
}

}  // namespace gxempctl
