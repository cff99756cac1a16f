// The broker: accepts clients, gives each a worker, and stops the workers. See Broker.h.
#include "Broker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/HostLog.h"
#include "service/Listener.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

Broker::Worker::~Worker() {
    clientWatch.reset();
    if (clientCopy >= 0) close(clientCopy);
    if (handOff >= 0) close(handOff);
}

Broker::Broker(sd_event* event, BrokerOptions options)
    : m_Event(sd_event_ref(event)), m_Options(std::move(options)), m_Guard(event) {
    sd_id128_randomize(&m_ServerId);
    // SIGCHLD is blocked by the loop's owner (the child sources need it so).
    int r = sd_event_add_signal(m_Event.get(), m_ChildSignal.out(), SIGCHLD, &Broker::OnChildSignal,
                                this);
    if (r >= 0)
        r = sd_event_add_time_relative(m_Event.get(), m_SweepTimer.out(), CLOCK_MONOTONIC,
                                       kSweepUsec, 0, &Broker::OnSweepTimer, this);
    if (r < 0)
        HostLog(kLogError, "cannot watch for ended workers besides their own sources: %s",
                std::strerror(-r));
}

Broker::~Broker() {
    DropTemplate(nullptr);
    m_Workers.clear();
    m_Listener.reset();
}

int Broker::Serve(int listenFd) {
    m_Listener = std::make_unique<Listener>(m_Event.get(), listenFd);
    // The first spare starts before the first client can come.
    StartSpares();
    // A worker costs its control link, its process descriptor and the copy of its client's
    // connection for its life, and, while it starts, the other end of the link and the copies
    // made for it.
    return m_Listener->Start([this](int fd, const ucred& peer) { return ServeClient(fd, peer); },
                             [this] { return Full(); }, 7, m_Options.maxClients);
}

// Workers whose clients have left still end; should many linger, new clients wait for them
// rather than multiply them.
bool Broker::Full() const {
    return m_Connected >= m_Options.maxClients ||
           m_Workers.size() - m_Spares >= 2 * m_Options.maxClients;
}

int Broker::ServeClient(int clientFd, const ucred& peer) {
    // A flood of connections that hang up before they are served should cost no worker.
    struct pollfd hup = {clientFd, POLLRDHUP, 0};
    if (poll(&hup, 1, 0) > 0 && (hup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        close(clientFd);
        return 0;
    }
    std::string client = ClientName(m_NextClient++);
    if (HandToSpare(clientFd, peer, client)) return 0;
    int clientCopy = fcntl(clientFd, F_DUPFD_CLOEXEC, 3);  // the broker's, see Broker.h
    if (clientCopy < 0) {
        int err = errno;
        close(clientFd);
        return -err;
    }
    Worker* worker = nullptr;
    int r = StartProcess(clientFd, std::string("--") + kWorkerOption + "=" + client,
                         "a worker for client " + client, &worker);
    if (r < 0) {
        close(clientCopy);
        return r;
    }
    worker->client = client;
    Connected(worker, clientCopy, peer);
    StartSpares();
    return 0;
}

void Broker::Connected(Worker* worker, int clientCopy, const ucred& peer) {
    worker->clientPid = peer.pid;
    worker->clientCopy = clientCopy;
    // Peer hang-up only: what the client sends is the worker's to read.
    int r = sd_event_add_io(m_Event.get(), worker->clientWatch.out(), clientCopy, EPOLLRDHUP,
                            &Broker::OnClientHangUp, worker);
    if (r < 0)
        HostLog(kLogError, "cannot watch client %s: %s (its place frees when worker %d ends)",
                worker->client.c_str(), std::strerror(-r), static_cast<int>(worker->pid));
    ++m_Connected;
    HostLog(kLogInfo, "client %s (pid %d, uid %u) connected: worker %d serves it",
            worker->client.c_str(), static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid),
            static_cast<int>(worker->pid));
}

int Broker::OnClientHangUp(sd_event_source*, int, uint32_t, void* userdata) {
    auto* worker = static_cast<Worker*>(userdata);
    HostLog(kLogInfo, "client %s hung up (pid %d): its place is free (worker %d ends)",
            worker->client.c_str(), static_cast<int>(worker->clientPid),
            static_cast<int>(worker->pid));
    worker->broker->ClientGone(worker);
    return 0;
}

void Broker::ClientGone(Worker* worker) {
    if (worker->clientCopy < 0) return;
    worker->clientWatch.reset();
    close(worker->clientCopy);
    worker->clientCopy = -1;
    --m_Connected;
}

// ---- Stopping ----------------------------------------------------------------------------------

void Broker::Stop(std::function<void()> done) {
    if (m_Listener) m_Listener->Stop();
    m_Stopping = true;
    DropTemplate(nullptr);
    m_Done = std::move(done);
    if (m_SpareTimer) sd_event_source_set_enabled(m_SpareTimer.get(), SD_EVENT_OFF);
    if (m_Workers.empty()) {
        MaybeDone();
        return;
    }
    HostLog(kLogInfo, "stopping %zu worker%s", m_Workers.size(), m_Workers.size() == 1 ? "" : "s");
    Signal(SIGTERM);
    // A stopped worker (SIGSTOP, a terminal's ^Z) acts on SIGTERM only once it runs again.
    Signal(SIGCONT);
    if (m_StopTimer) return;
    int r = sd_event_add_time_relative(m_Event.get(), m_StopTimer.out(), CLOCK_MONOTONIC,
                                       m_Options.stopGraceUsec, 0, &Broker::OnStopTimeout, this);
    if (r < 0)
        HostLog(kLogError, "cannot time the workers' stop: %s (waiting for them without a bound)",
                std::strerror(-r));
}

void Broker::MaybeDone() {
    if (m_Stopping && m_Workers.empty()) Done();
}

void Broker::Done() {
    if (!m_Done) return;
    std::function<void()> done = std::move(m_Done);
    m_Done = nullptr;
    done();
}

int Broker::OnStopTimeout(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Broker*>(userdata);
    for (auto& [pid, worker] : self->m_Workers) {
        HostLog(kLogError, "worker %d did not stop within %llu s: killing it",
                static_cast<int>(pid),
                static_cast<unsigned long long>(self->m_Options.stopGraceUsec / 1000000));
        kill(pid, SIGKILL);
    }
    if (self->m_KillTimer) return 0;
    int r =
        sd_event_add_time_relative(self->m_Event.get(), self->m_KillTimer.out(), CLOCK_MONOTONIC,
                                   kKillWaitUsec, 0, &Broker::OnKillTimeout, self);
    if (r < 0) {
        HostLog(kLogError, "cannot wait for the killed workers: %s (stopping without them)",
                std::strerror(-r));
        self->Done();
    }
    return 0;
}

// Killed but not reaped (a debugger holds it): its end is not the broker's to wait for.
int Broker::OnKillTimeout(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Broker*>(userdata);
    self->Sweep();
    for (auto& [pid, worker] : self->m_Workers)
        HostLog(kLogError,
                "worker %d was not reaped within %llu ms of SIGKILL: stopping without it",
                static_cast<int>(pid), static_cast<unsigned long long>(kKillWaitUsec / 1000));
    self->Done();
    return 0;
}

void Broker::Signal(int signo) {
    for (auto& [pid, worker] : m_Workers) {
        if (signo == SIGHUP && !worker->ready)
            worker->hangUpDue = true;
        else
            kill(pid, signo);
    }
}

}  // namespace gxhost
