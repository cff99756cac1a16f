// The service's listening socket. See Listener.h.
#include "Listener.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bus/BusDriver.h"
#include "service/HostLog.h"
#include "gxhost/Endpoint.h"

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

Listener::Listener(sd_event* event, int fd)
    : m_Event(sd_event_ref(event)), m_Fd(fd), m_Guard(event) {
    sd_id128_randomize(&m_ServerId);
}

Listener::~Listener() {
    while (!m_Refusals.empty()) EndRefusal(&m_Refusals.front());
    m_Io.reset();
    m_Timer.reset();
    if (m_Fd >= 0) close(m_Fd);
}

int Listener::Start(Accepted accepted, std::function<bool()> full, int descriptors, size_t limit) {
    m_Limit = limit;
    m_Accepted = std::move(accepted);
    m_Full = std::move(full);
    m_Descriptors = descriptors;
    int r = sd_event_add_io(m_Event.get(), m_Io.out(), m_Fd, EPOLLIN, &Listener::OnReadable, this);
    if (r < 0) return r;
    r = sd_event_add_time_relative(m_Event.get(), m_Timer.out(), CLOCK_MONOTONIC, kPauseUsec, 0,
                                   &Listener::OnPauseOver, this);
    if (r < 0) return r;
    return sd_event_source_set_enabled(m_Timer.get(), SD_EVENT_OFF);
}

void Listener::Stop() {
    m_Io.reset();
    m_Timer.reset();
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
    sd_event_now(m_Event.get(), CLOCK_MONOTONIC, &now);
    return now;
}

int Listener::OnReadable(sd_event_source*, int, uint32_t, void* userdata) {
    auto* self = static_cast<Listener*>(userdata);
    for (int i = 0; i < kAcceptBurst; ++i) {
        if (!self->HasRoom()) {
            self->PauseAccepting(EMFILE);
            return 0;
        }
        int fd = accept4(self->m_Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN) self->PauseAccepting(errno);
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
            self->Refuse(fd);
            continue;
        }
        int r = self->m_Accepted(fd, peer);
        if (r == -EMFILE || r == -ENFILE || r == -ENOMEM || r == -ENOBUFS || r == -EAGAIN) {
            self->PauseAccepting(-r);
            return 0;
        }
    }
    return 0;
}

void Listener::PauseAccepting(int err) {
    uint64_t now = Now();
    if (m_Failed.Due(now)) {
        HostLog(kLogError,
                "cannot take clients: %s; not accepting for %llu ms (%llu times since the last "
                "report)",
                std::strerror(err), static_cast<unsigned long long>(kPauseUsec / 1000),
                static_cast<unsigned long long>(m_Failed.count));
        m_Failed.count = 0;
        m_Failed.lastLog = now;
    }
    sd_event_source_set_enabled(m_Io.get(), SD_EVENT_OFF);
    sd_event_source_set_time_relative(m_Timer.get(), kPauseUsec);
    sd_event_source_set_enabled(m_Timer.get(), SD_EVENT_ONESHOT);
}

void Listener::Refuse(int fd) {
    if (m_Refusals.size() >= kMaxRefusing) {
        close(fd);
        return;
    }
    Refusal* refusal = &m_Refusals.emplace_back();
    refusal->listener = this;
    if (SetUpRefusal(refusal, fd) < 0) EndRefusal(refusal);
}

int Listener::SetUpRefusal(Refusal* refusal, int fd) {
    int r = sd_bus_new(refusal->bus.out());
    if (r >= 0) r = sd_bus_set_fd(refusal->bus.get(), fd, fd);
    if (r < 0) {
        close(fd);  // not the connection's until sd_bus_set_fd succeeds
        return r;
    }
    sd_bus* bus = refusal->bus.get();
    r = sd_bus_set_server(bus, 1, m_ServerId);
    if (r >= 0) r = sd_bus_add_filter(bus, nullptr, &Listener::OnRefusedMessage, refusal);
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0) r = sd_bus_attach_event(bus, m_Event.get(), SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) r = sd_bus_set_close_on_exit(bus, 0);
    if (r >= 0)
        r = sd_event_add_time_relative(m_Event.get(), refusal->timer.out(), CLOCK_MONOTONIC,
                                       kRefuseUsec, 0, &Listener::OnRefusalTimer, refusal);
    if (r >= 0) r = m_Guard.Watch(bus);
    return r;
}

int Listener::OnRefusedMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* refusal = static_cast<Refusal*>(userdata);
    Listener* self = refusal->listener;
    self->m_Guard.FirstMessageDispatched(refusal->bus.get());
    if (refusal->told) return 1;
    uint8_t type = 0;
    sd_bus_message_get_type(m, &type);
    if (type == SD_BUS_MESSAGE_METHOD_CALL) {
        // A bus client's own start-up (its name, its match rules) is answered, so that the call
        // it meant to make is the one that learns why.
        if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus", "Hello") > 0) {
            sd_bus_reply_method_return(m, "s", kServerUniqueName);
            return 1;
        }
        if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus", "AddMatch") > 0 ||
            sd_bus_message_is_method_call(m, "org.freedesktop.DBus", "RemoveMatch") > 0) {
            sd_bus_reply_method_return(m, "");
            return 1;
        }
        sd_bus_reply_method_errorf(m, kErrorTooManyClients,
                                   "the service already serves %zu clients, as many as "
                                   "--max-clients allows; try again once one has left",
                                   self->m_Limit);
    } else if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") == 0) {
        return 1;
    }
    // Told (or gone): closed from the loop, not from inside its own dispatch.
    refusal->told = true;
    sd_event_source_set_time_relative(refusal->timer.get(), 0);
    sd_event_source_set_enabled(refusal->timer.get(), SD_EVENT_ONESHOT);
    return 1;
}

int Listener::OnRefusalTimer(sd_event_source*, uint64_t, void* userdata) {
    auto* refusal = static_cast<Refusal*>(userdata);
    refusal->listener->EndRefusal(refusal);
    return 0;
}

void Listener::EndRefusal(Refusal* refusal) {
    m_Guard.Forget(refusal->bus.get());
    refusal->timer.reset();
    // The answer was written when it was sent (nothing was queued before it): no flush, which
    // could wait on a client that does not read.
    refusal->bus.reset();
    m_Refusals.remove_if([refusal](const Refusal& r) { return &r == refusal; });
}

int Listener::OnPauseOver(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Listener*>(userdata);
    return sd_event_source_set_enabled(self->m_Io.get(), SD_EVENT_ON);
}

}  // namespace gxhost
