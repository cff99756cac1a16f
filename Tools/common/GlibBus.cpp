// sd-bus on the GLib loop, and the checks of the local web servers (GlibBus.h).
#include "GlibBus.h"

#include <errno.h>
#include <sys/random.h>

#include <cstring>

namespace gxtools {

struct BusWatch::Source {
    GSource base;
    BusWatch* watch;
    gpointer fd;
};

namespace {

// Milliseconds until sd-bus wants to run (-1: only on input), from its absolute deadline.
int TimeoutMs(sd_bus* bus) {
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) return -1;
    auto now = static_cast<uint64_t>(g_get_monotonic_time());
    if (until <= now) return 0;
    uint64_t ms = (until - now + 999) / 1000;
    return ms > G_MAXINT ? G_MAXINT : static_cast<int>(ms);
}

GSourceFuncs* Funcs() {
    static GSourceFuncs funcs = {};
    return &funcs;
}

}  // namespace

BusWatch::BusWatch(sd_bus* bus, std::function<void()> lost)
    : m_Bus(bus), m_OnLost(std::move(lost)) {
    GSourceFuncs* funcs = Funcs();
    funcs->prepare = &BusWatch::Prepare;
    funcs->check = &BusWatch::Check;
    funcs->dispatch = &BusWatch::Dispatch;
    m_Source = reinterpret_cast<Source*>(g_source_new(funcs, sizeof(Source)));
    m_Source->watch = this;
    m_Source->fd = g_source_add_unix_fd(&m_Source->base, sd_bus_get_fd(bus), G_IO_IN);
    g_source_attach(&m_Source->base, nullptr);
}

BusWatch::~BusWatch() {
    m_Filter.reset();
    g_source_destroy(&m_Source->base);
    g_source_unref(&m_Source->base);
}

int BusWatch::WatchDisconnect() {
    return sd_bus_add_filter(m_Bus, m_Filter.out(), &BusWatch::OnLocal, this);
}

int BusWatch::OnLocal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0)
        static_cast<BusWatch*>(userdata)->MarkLost();
    return 0;
}

gboolean BusWatch::Prepare(GSource* source, gint* timeout) {
    auto* s = reinterpret_cast<Source*>(source);
    int events = sd_bus_get_events(s->watch->m_Bus);
    // POLLIN and POLLOUT have the values of G_IO_IN and G_IO_OUT.
    g_source_modify_unix_fd(source, s->fd, static_cast<GIOCondition>(events > 0 ? events : 0));
    *timeout = TimeoutMs(s->watch->m_Bus);
    return *timeout == 0;
}

gboolean BusWatch::Check(GSource* source) {
    auto* s = reinterpret_cast<Source*>(source);
    return g_source_query_unix_fd(source, s->fd) != 0 || TimeoutMs(s->watch->m_Bus) == 0;
}

gboolean BusWatch::Dispatch(GSource* source, GSourceFunc, gpointer) {
    BusWatch* self = reinterpret_cast<Source*>(source)->watch;
    // A bounded number of messages per turn, so that a burst of events cannot starve the pages.
    for (int i = 0; i < 64; ++i) {
        int r = sd_bus_process(self->m_Bus, nullptr);
        if (r < 0) self->m_Lost = true;
        if (self->m_Lost) {
            self->m_OnLost();  // may destroy self
            return G_SOURCE_REMOVE;
        }
        if (r == 0) break;
    }
    return G_SOURCE_CONTINUE;
}

bool HostAllowed(const char* host, unsigned port) {
    if (host == nullptr) return false;
    std::string suffix = ":" + std::to_string(port);
    for (const char* name : {"127.0.0.1", "localhost"})
        if (g_ascii_strcasecmp(host, (name + suffix).c_str()) == 0) return true;
    return false;
}

bool SecretMatches(const char* given, const std::string& secret) {
    if (given == nullptr || std::strlen(given) != secret.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < secret.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return diff == 0;
}

bool RandomToken(std::string* token) {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        got += static_cast<size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    token->clear();
    for (unsigned char b : bytes) {
        *token += hex[b >> 4];
        *token += hex[b & 15];
    }
    return true;
}

const std::map<std::string, int>& MotionEvents() {
    static const std::map<std::string, int> events = {
        {"EVENT_MOTION_SLAP_LEFT", 1000},   {"EVENT_MOTION_SLAP_RIGHT", 1001},
        {"EVENT_MOTION_SLAP_UP", 1002},     {"EVENT_MOTION_SLAP_DOWN", 1003},
        {"EVENT_MOTION_CIRCLE", 1004},      {"EVENT_MOTION_GRAB", 1005},
        {"EVENT_MOTION_UNGRAB", 1007},      {"EVENT_MOTION_PRIMARY_HAND_LOST", 1015},
        {"EVENT_MOTION_RAW_DATA", 1024},    {"EVENT_MOTION_BEGIN_MONITOR", 1028},
        {"EVENT_MOTION_END_MONITOR", 1029},
    };
    return events;
}

}  // namespace gxtools
