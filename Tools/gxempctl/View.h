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
#pragma once

#include <libsoup/soup.h>

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

namespace view {

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

int64_t NowMs();
std::string SseMessage(const char* type, const Json::Value& v);

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
    ~Tab();
    void Push(std::string message);

    // Hands everything queued to libsoup as one chunk, unless a chunk is still being written.
    void Flush();
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

    Json::Value State() const;

    // Every tab hears of a change of state, and only of a change.
    void StateChanged();
    void Broadcast(const std::string& message);

    // -- the service ----------------------------------------------------------------------------

    // Connects, opens the viewer's engine and subscribes it. Throws ServiceError.
    void Attach();
    void Lost();

    // Tries again with a growing delay until the service is back.
    static gboolean OnRetry(gpointer data);
    static int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*);

    // Asks for the camera status and the voice guide with the ordinary commands, without
    // waiting: a slow service must not hold up the pages.
    void Poll();

    // The result of a poll: an integer when served, else unknown (null).
    Json::Value PollResult(sd_bus_message* m);
    bool FromThisBus(sd_bus_message* m) const;

    // The answer to one of the polls, stored in the state member it reports.
    template <Json::Value View::*Field>
    static int OnPoll(sd_bus_message* m, void* userdata, sd_bus_error*);

    // -- HTTP -----------------------------------------------------------------------------------

    static void Refuse(SoupServerMessage* msg, guint status, const char* why);
    static void OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query,
                          gpointer data);
    void ServePage(SoupServerMessage* msg);
    void ServeEvents(SoupServerMessage* msg);
    static void OnWroteChunk(SoupServerMessage*, gpointer data);
    void Forget(Tab* tab);
    static void OnFinished(SoupServerMessage*, gpointer data);

    // The client of a stream never sends after its request: input is its end (or junk). Shut the
    // socket, so that libsoup's next write fails and it lets the message go too.
    static gboolean OnTabGone(GSocket* socket, GIOCondition, gpointer data);

    // A comment line on idle streams: writing is how a tab that vanished is noticed.
    static gboolean OnKeepAlive(gpointer data);
    static gboolean OnPoll(gpointer data);
    static gboolean OnQuit(gpointer data);
    int Run();
};

}  // namespace view
}  // namespace gxempctl
