// gxempctl view: the viewer's side of the service (its engine, the events, the polls of the camera
// and the voice guide, reconnecting) and its main loop; the web server is in ViewHttp.cpp.
#include <glib-unix.h>

#include <csignal>
#include <cstdio>

#include "View.h"

namespace gxempctl {

namespace view {

int64_t NowMs() {
    return g_get_real_time() / 1000;
}

std::string SseMessage(const char* type, const Json::Value& v) {
    return std::string("event: ") + type + "\ndata: " + JsonLine(v) + "\n\n";
}

Json::Value View::State() const {
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

void View::StateChanged() {
    Json::Value state = State();
    if (state == lastState) return;
    lastState = state;
    state["now"] = static_cast<Json::Int64>(NowMs());
    Broadcast(SseMessage("state", state));
}

void View::Broadcast(const std::string& message) {
    for (auto& tab : tabs) tab->Push(message);
}

void View::Attach() {
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

void View::Lost() {
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

gboolean View::OnRetry(gpointer data) {
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

int View::OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<View*>(userdata);
    Json::Value v(Json::objectValue);
    if (!ReadEvent(m, self->engine, &v)) return 0;
    v["time"] = static_cast<Json::Int64>(NowMs());
    self->history.push_back(v);
    if (self->history.size() > kHistory) self->history.pop_front();
    self->Broadcast(SseMessage("event", v));
    return 0;
}

void View::Poll() {
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

Json::Value View::PollResult(sd_bus_message* m) {
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

bool View::FromThisBus(sd_bus_message* m) const {
    // A connection that is closing answers the calls in flight with errors of its own before it
    // says it closed: those say nothing of the camera or the voice guide.
    return bus && !watch->lost() && sd_bus_message_get_bus(m) == bus->bus.get() &&
           sd_bus_is_open(bus->bus.get()) > 0;
}

template <Json::Value View::*Field>
int View::OnPoll(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<View*>(userdata);
    if (!self->FromThisBus(m)) return 0;
    self->*Field = self->PollResult(m);
    if (self->pollsPending == 0) self->StateChanged();
    return 0;
}

gboolean View::OnPoll(gpointer data) {
    static_cast<View*>(data)->Poll();
    return G_SOURCE_CONTINUE;
}

gboolean View::OnQuit(gpointer data) {
    g_main_loop_quit(static_cast<View*>(data)->loop);
    return G_SOURCE_CONTINUE;
}

int View::Run() {
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

}  // namespace view

int CmdView(std::vector<std::string>& args) {
    view::View view;
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
