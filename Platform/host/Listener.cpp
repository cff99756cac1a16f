// The service's listening socket. See Listener.h.
#include "Listener.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HostLog.h"

namespace gxhost {

namespace {
constexpr uint64_t kSummaryUsec = 1000 * 1000;
// Clients accepted per wake-up, so that a flood of connections cannot starve the clients
// already served on the same loop.
constexpr int kAcceptBurst = 32;
}  // namespace

bool Listener::Summary::Due(uint64_t now) {
    ++count;
    return lastLog == 0 || now - lastLog >= kSummaryUsec;
}

Listener::Listener(sd_event* event, int fd) : m_Event(sd_event_ref(event)), m_Fd(fd) {}

Listener::~Listener() {
    sd_event_source_disable_unref(m_Io);
    sd_event_source_disable_unref(m_Timer);
    if (m_Fd >= 0) close(m_Fd);
    sd_event_unref(m_Event);
}

int Listener::Start(Accepted accepted, std::function<bool()> full, int descriptors) {
    m_Accepted = std::move(accepted);
    m_Full = std::move(full);
    m_Descriptors = descriptors;
    int r = sd_event_add_io(m_Event, &m_Io, m_Fd, EPOLLIN, &Listener::OnReadable, this);
    if (r < 0) return r;
    r = sd_event_add_time_relative(m_Event, &m_Timer, CLOCK_MONOTONIC, kRestUsec, 0,
                                   &Listener::OnRested, this);
    if (r < 0) return r;
    return sd_event_source_set_enabled(m_Timer, SD_EVENT_OFF);
}

void Listener::Stop() {
    m_Io = sd_event_source_disable_unref(m_Io);
    m_Timer = sd_event_source_disable_unref(m_Timer);
}

bool Listener::HasRoom() const {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return true;
    // The client's own descriptor, what serving it takes, and a few for everything else.
    rlim_t needed = 1 + static_cast<rlim_t>(m_Descriptors) + 4;
    if (rl.rlim_cur < needed) return false;
    // A directory read per client: small beside what serving it costs.
    rlim_t open = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return true;
    while (readdir(dir) != nullptr) ++open;
    closedir(dir);
    return open <= rl.rlim_cur - needed;  // counts ".", "..", and the directory's own descriptor
}

uint64_t Listener::Now() const {
    uint64_t now = 0;
    sd_event_now(m_Event, CLOCK_MONOTONIC, &now);
    return now;
}

int Listener::OnReadable(sd_event_source*, int, uint32_t, void* userdata) {
    auto* self = static_cast<Listener*>(userdata);
    for (int i = 0; i < kAcceptBurst; ++i) {
        if (!self->HasRoom()) {
            self->Rest(EMFILE);
            return 0;
        }
        int fd = accept4(self->m_Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN) self->Rest(errno);
            return 0;
        }
        struct ucred peer {};
        socklen_t len = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) < 0) {
            HostLog(kLogError, "refusing a client: no peer credentials (%s)", std::strerror(errno));
            close(fd);
            continue;
        }
        if (peer.uid != getuid() && peer.uid != 0) {
            HostLog(kLogError,
                    "refusing a client of uid %u (pid %d): only uid %u and root may connect",
                    static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
                    static_cast<unsigned>(getuid()));
            close(fd);
            continue;
        }
        if (self->m_Full()) {
            uint64_t now = self->Now();
            if (self->m_Refused.Due(now)) {
                HostLog(kLogError,
                        "refusing a client (pid %d): the service serves as many clients as "
                        "--max-clients allows (%llu refused since the last report)",
                        static_cast<int>(peer.pid),
                        static_cast<unsigned long long>(self->m_Refused.count));
                self->m_Refused.count = 0;
                self->m_Refused.lastLog = now;
            }
            close(fd);
            continue;
        }
        int r = self->m_Accepted(fd, peer);
        if (r == -EMFILE || r == -ENFILE || r == -ENOMEM || r == -ENOBUFS || r == -EAGAIN) {
            self->Rest(-r);
            return 0;
        }
    }
    return 0;
}

void Listener::Rest(int err) {
    uint64_t now = Now();
    if (m_Failed.Due(now)) {
        HostLog(kLogError,
                "cannot take clients: %s; not accepting for %llu ms (%llu times since the last "
                "report)",
                std::strerror(err), static_cast<unsigned long long>(kRestUsec / 1000),
                static_cast<unsigned long long>(m_Failed.count));
        m_Failed.count = 0;
        m_Failed.lastLog = now;
    }
    sd_event_source_set_enabled(m_Io, SD_EVENT_OFF);
    sd_event_source_set_time_relative(m_Timer, kRestUsec);
    sd_event_source_set_enabled(m_Timer, SD_EVENT_ONESHOT);
}

int Listener::OnRested(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Listener*>(userdata);
    return sd_event_source_set_enabled(self->m_Io, SD_EVENT_ON);
}

}  // namespace gxhost
