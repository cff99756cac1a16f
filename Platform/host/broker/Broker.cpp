// The broker. See Broker.h.
#include "Broker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/HostLog.h"
#include "service/Listener.h"
#include "gxhost/Extension.h"

extern char** environ;

namespace gxhost {

namespace {

constexpr int kClientFd = 3;
constexpr int kControlFd = 4;
constexpr int kFirstSharedFd = 5;

// A descriptor moved above every number a worker uses, so that no dup2 onto 3, 4, 5... is a
// no-op (which would leave it close-on-exec).
int Lift(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, 16);
}

std::string DescribeEnd(bool exited, int value, bool dumped) {
    if (exited) return "exited with status " + std::to_string(value);
    std::string how =
        "was killed by signal " + std::to_string(value) + " (" + strsignal(value) + ")";
    if (dumped) how += ", core dumped";
    return how;
}

}  // namespace

Broker::Broker(sd_event* event, BrokerOptions options)
    : m_Event(sd_event_ref(event)), m_Options(std::move(options)), m_Guard(event) {
    sd_id128_randomize(&m_ServerId);
    // SIGCHLD is blocked by the loop's owner (the child sources need it so).
    int r = sd_event_add_signal(m_Event, &m_ChildSignal, SIGCHLD, &Broker::OnChildSignal, this);
    if (r >= 0)
        r = sd_event_add_time_relative(m_Event, &m_SweepTimer, CLOCK_MONOTONIC, kSweepUsec, 0,
                                       &Broker::OnSweepTimer, this);
    if (r < 0)
        HostLog(kLogError, "cannot watch for ended workers besides their own sources: %s",
                std::strerror(-r));
}

Broker::~Broker() {
    for (auto& [pid, worker] : m_Workers) {
        sd_event_source_disable_unref(worker->child);
        sd_event_source_disable_unref(worker->clientWatch);
        if (worker->clientCopy >= 0) close(worker->clientCopy);
        if (worker->handOff >= 0) close(worker->handOff);
        sd_bus_slot_unref(worker->firstMessage);
        sd_bus_close_unref(worker->control);
    }
    m_Listener.reset();
    for (sd_event_source* s : {m_StopTimer, m_KillTimer, m_ChildSignal, m_SweepTimer, m_SpareTimer})
        sd_event_source_disable_unref(s);
    sd_event_unref(m_Event);
}

int Broker::Serve(int listenFd) {
    m_Listener = std::make_unique<Listener>(m_Event, listenFd);
    // A worker costs its control link, its process descriptor and the copy of its client's
    // connection for its life, and, while it starts, the other end of the link and the copies
    // made for it. Workers whose clients have left still end; should many linger, new clients
    // wait for them rather than multiply them.
    // The first spare starts before the first client can come.
    StartSpares();
    return m_Listener->Start([this](int fd, const ucred& peer) { return Spawn(fd, peer); },
                             [this] {
                                 return m_Connected >= m_Options.maxClients ||
                                        m_Workers.size() - m_Spares >= 2 * m_Options.maxClients;
                             },
                             7, m_Options.maxClients);
}

int Broker::Spawn(int clientFd, const ucred& peer) {
    // A flood of connections that hang up before they are served should cost no worker.
    struct pollfd hup = {clientFd, POLLRDHUP, 0};
    if (poll(&hup, 1, 0) > 0 && (hup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        close(clientFd);
        return 0;
    }
    std::string client = ":1." + std::to_string(m_NextClient++);
    // A spare, one that is ready if there is one (a spare still starting takes the client too: it
    // answers sooner than a worker started now). One whose socket fails is stopped, and the
    // client gets a worker of its own.
    Worker* spare = nullptr;
    for (auto& [pid, worker] : m_Workers)
        if (worker->spare && (spare == nullptr || (worker->ready && !spare->ready)))
            spare = worker.get();
    if (spare != nullptr) {
        int r = HandOff(spare, clientFd, client);
        if (r >= 0) {
            Connected(spare, clientFd, peer);
            m_SpareDelay = 0;
            if (m_SpareTimer != nullptr) sd_event_source_set_enabled(m_SpareTimer, SD_EVENT_OFF);
            StartSpares();
            return 0;
        }
        HostLog(kLogError, "cannot hand client %s to spare worker %d: %s", client.c_str(),
                static_cast<int>(spare->pid), std::strerror(-r));
        kill(spare->pid, SIGKILL);
    }
    int clientCopy = fcntl(clientFd, F_DUPFD_CLOEXEC, 3);  // the broker's, see Broker.h
    if (clientCopy < 0) {
        int err = errno;
        close(clientFd);
        return -err;
    }
    Worker* worker = nullptr;
    int r = StartProcess(clientFd, "--worker=" + client, "a worker for client " + client, &worker);
    if (r < 0) {
        close(clientCopy);
        return r;
    }
    worker->client = client;
    Connected(worker, clientCopy, peer);
    StartSpares();
    return 0;
}

int Broker::StartProcess(int first, const std::string& role, const std::string& what,
                         Worker** out) {
    int pair[2] = {-1, -1};
    std::vector<int> lifted;  // the worker's descriptors, in the order of their numbers
    auto cleanUp = [&] {
        for (int fd : lifted) close(fd);
        if (pair[1] >= 0) close(pair[1]);
        close(first);
    };
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
        int err = errno;
        cleanUp();
        return -err;
    }
    std::vector<std::string> args = {m_Options.argv0};
    args.insert(args.end(), m_Options.workerArgs.begin(), m_Options.workerArgs.end());
    args.push_back(role);
    std::string fds;
    lifted.push_back(Lift(first));
    lifted.push_back(Lift(pair[1]));
    for (Extension* ext : Extensions()) {
        int shared = ext->SharedDescriptor();
        if (!fds.empty()) fds += ",";
        if (shared < 0) {
            fds += "-1";
            continue;
        }
        fds += std::to_string(kFirstSharedFd + static_cast<int>(lifted.size()) - 2);
        lifted.push_back(Lift(shared));
    }
    if (!fds.empty()) args.push_back("--worker-fds=" + fds);

    bool ok = true;
    for (int fd : lifted) ok = ok && fd >= 0;
    int firstUnused = kClientFd + static_cast<int>(lifted.size());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (size_t i = 0; ok && i < lifted.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, lifted[i], kClientFd + static_cast<int>(i));
    // Only the descriptors meant for it reach the worker: whatever the broker inherited without
    // close-on-exec (a shell's redirection, a supervisor's socket) stays here.
    if (ok) posix_spawn_file_actions_addclosefrom_np(&actions, firstUnused);
    // The worker starts with every signal at its default, whatever the broker's loop ignored, and
    // with the signals its loop will handle blocked, so that they wait for the loop (see Broker.h).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t handled, all;
    sigemptyset(&handled);
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&handled, sig);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &handled);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int r = ok ? posix_spawn(&pid, m_Options.program.c_str(), &actions, &attr, argv.data(), environ)
               : errno;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (r != 0) {
        // Want of descriptors or memory is the listener's to report (it rests and counts).
        if (r != EMFILE && r != ENFILE && r != ENOMEM && r != EAGAIN)
            HostLog(kLogError, "cannot start %s: %s", what.c_str(), std::strerror(r));
        close(pair[0]);
        cleanUp();
        return -r;
    }
    cleanUp();  // the worker has its copies now

    auto worker = std::make_unique<Worker>();
    worker->broker = this;
    worker->pid = pid;
    r = sd_event_add_child(m_Event, &worker->child, pid, WEXITED, &Broker::OnChild, worker.get());
    if (r < 0) {
        // Without its child source the worker could not be reaped: stop it at once.
        close(pair[0]);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return r;
    }
    if (m_SweepTimer != nullptr) sd_event_source_set_enabled(m_SweepTimer, SD_EVENT_ON);
    r = OpenControl(worker.get(), pair[0]);
    if (r < 0)
        HostLog(kLogError, "no control link to worker %d: %s", static_cast<int>(pid),
                std::strerror(-r));
    *out = worker.get();
    m_Workers.emplace(pid, std::move(worker));
    return 0;
}

int Broker::HandOff(Worker* spare, int clientFd, const std::string& client) {
    struct iovec iov = {const_cast<char*>(client.data()), client.size()};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control{};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &clientFd, sizeof(int));
    if (sendmsg(spare->handOff, &msg, MSG_NOSIGNAL) < 0) return -errno;
    // The spare has what it needs: closing the socket tells it that no more comes.
    close(spare->handOff);
    spare->handOff = -1;
    spare->spare = false;
    --m_Spares;
    spare->client = client;
    return 0;
}

void Broker::Connected(Worker* worker, int clientCopy, const ucred& peer) {
    worker->clientPid = peer.pid;
    worker->clientCopy = clientCopy;
    // Peer hang-up only: what the client sends is the worker's to read.
    // Without the watch, its place frees when the worker ends (Forget).
    sd_event_add_io(m_Event, &worker->clientWatch, clientCopy, EPOLLRDHUP, &Broker::OnClientHangUp,
                    worker);
    ++m_Connected;
    HostLog(kLogInfo, "client %s (pid %d, uid %u) connected: worker %d serves it",
            worker->client.c_str(), static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid),
            static_cast<int>(worker->pid));
}

void Broker::StartSpares() {
    while (!m_Stopping && m_Spares < m_Options.spareWorkers &&
           (m_SpareTimer == nullptr ||
            sd_event_source_get_enabled(m_SpareTimer, nullptr) == SD_EVENT_OFF)) {
        // A sequenced socket keeps the client's name in one message with its descriptor.
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
            HostLog(kLogError, "cannot start a spare worker: %s", std::strerror(errno));
            DelaySpares();
            return;
        }
        Worker* worker = nullptr;
        if (StartProcess(pair[1], "--worker-spare", "a spare worker", &worker) < 0) {
            close(pair[0]);
            DelaySpares();
            return;
        }
        worker->spare = true;
        worker->handOff = pair[0];
        ++m_Spares;
    }
}

void Broker::DelaySpares() {
    m_SpareDelay =
        m_SpareDelay == 0 ? kFirstSpareDelayUsec : std::min(2 * m_SpareDelay, kMaxSpareDelayUsec);
    if (m_SpareTimer == nullptr) {
        int r = sd_event_add_time_relative(m_Event, &m_SpareTimer, CLOCK_MONOTONIC, m_SpareDelay, 0,
                                           &Broker::OnSpareTimer, this);
        if (r < 0) return;
    } else {
        sd_event_source_set_time_relative(m_SpareTimer, m_SpareDelay);
    }
    sd_event_source_set_enabled(m_SpareTimer, SD_EVENT_ONESHOT);
}

int Broker::OnSpareTimer(sd_event_source*, uint64_t, void* userdata) {
    static_cast<Broker*>(userdata)->StartSpares();
    return 0;
}

int Broker::OpenControl(Worker* worker, int fd) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0) {
        close(fd);
        return r;
    }
    r = sd_bus_set_fd(bus, fd, fd);
    if (r >= 0) r = sd_bus_set_server(bus, 1, m_ServerId);
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0) r = sd_bus_attach_event(bus, m_Event, SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) r = sd_bus_set_close_on_exit(bus, 0);
    if (r >= 0) r = sd_bus_add_filter(bus, &worker->firstMessage, &Broker::OnFirstMessage, worker);
    if (r >= 0) r = m_Guard.Watch(bus);
    if (r < 0) {
        worker->firstMessage = sd_bus_slot_unref(worker->firstMessage);
        sd_bus_close_unref(bus);
        return r;
    }
    worker->control = bus;
    return 0;
}

// A worker's first message on its link (a Ping, before it serves its client) says the link is up
// both ways; only then may the broker send anything there. Sooner, sd-bus could read the broker's
// message together with the end of authentication and leave it unseen in the worker.
int Broker::OnFirstMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* worker = static_cast<Worker*>(userdata);
    if (worker->ready || sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", nullptr) > 0)
        return 0;
    worker->ready = true;
    worker->broker->m_Guard.Spoke(worker->control);
    if (worker->spare) HostLog(kLogInfo, "spare worker %d ready", static_cast<int>(worker->pid));
    if (worker->hangUpDue) kill(worker->pid, SIGHUP);
    worker->hangUpDue = false;
    for (Extension* ext : Extensions()) {
        int r = ext->AttachControl(worker->control, worker->pid);
        if (r < 0)
            HostLog(kLogError, "worker %d: control link: %s", static_cast<int>(worker->pid),
                    std::strerror(-r));
    }
    return 0;
}

int Broker::OnChild(sd_event_source*, const siginfo_t* si, void* userdata) {
    auto* worker = static_cast<Worker*>(userdata);
    worker->broker->Ended(
        worker->pid, si->si_code == CLD_EXITED && si->si_status == 0,
        DescribeEnd(si->si_code == CLD_EXITED, si->si_status, si->si_code == CLD_DUMPED));
    return 0;
}

// The child sources can miss an end: a worker that a debugger held when it was killed is reported
// to the debugger, and to the broker only once the debugger has let it go, which the child source
// (waiting on the process's descriptor) does not look for again. So whatever child has ended is
// reaped here as well, on SIGCHLD and every kSweepUsec while workers run.
void Broker::Sweep() {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) break;
        Ended(pid, WIFEXITED(status) && WEXITSTATUS(status) == 0,
              DescribeEnd(WIFEXITED(status),
                          WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                          WIFSIGNALED(status) && WCOREDUMP(status)));
    }
}

int Broker::OnChildSignal(sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
    static_cast<Broker*>(userdata)->Sweep();
    return 0;
}

int Broker::OnSweepTimer(sd_event_source* s, uint64_t, void* userdata) {
    auto* self = static_cast<Broker*>(userdata);
    self->Sweep();
    sd_event_source_set_time_relative(s, kSweepUsec);
    return sd_event_source_set_enabled(s, self->m_Workers.empty() ? SD_EVENT_OFF : SD_EVENT_ON);
}

void Broker::Ended(pid_t pid, bool clean, const std::string& how) {
    auto it = m_Workers.find(pid);
    if (it == m_Workers.end()) return;
    Worker& w = *it->second;
    bool spare = w.spare;
    if (spare)
        HostLog(clean && m_Stopping ? kLogInfo : kLogError, "spare worker %d %s",
                static_cast<int>(pid), how.c_str());
    else
        HostLog(clean ? kLogInfo : kLogError, "worker %d of client %s (pid %d) %s",
                static_cast<int>(pid), w.client.c_str(), static_cast<int>(w.clientPid),
                how.c_str());
    Forget(pid);
    if (spare && !m_Stopping) DelaySpares();
    MaybeDone();
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
    worker->clientWatch = sd_event_source_disable_unref(worker->clientWatch);
    close(worker->clientCopy);
    worker->clientCopy = -1;
    --m_Connected;
}

void Broker::Forget(pid_t pid) {
    auto it = m_Workers.find(pid);
    if (it == m_Workers.end()) return;
    Worker& w = *it->second;
    // The worker's end can be seen before what it wrote on its link: read the link to its end
    // first, so that its last messages are handled and calls it never answered fail (with a
    // "connection terminated" error) rather than wait for ever. (Reply handlers on links return
    // 1, so that processing a closing link goes on to its next pending call.)
    while (w.control != nullptr && sd_bus_process(w.control, nullptr) > 0) {
    }
    if (w.ready)
        for (Extension* ext : Extensions()) ext->DetachControl(pid);
    sd_event_source_disable_unref(w.child);
    ClientGone(&w);
    if (w.handOff >= 0) close(w.handOff);
    if (w.spare) --m_Spares;
    m_Guard.Forget(w.control);
    sd_bus_slot_unref(w.firstMessage);
    sd_bus_close_unref(w.control);
    m_Workers.erase(it);
}

void Broker::Stop(std::function<void()> done) {
    if (m_Listener) m_Listener->Stop();
    m_Stopping = true;
    m_Done = std::move(done);
    if (m_SpareTimer != nullptr) sd_event_source_set_enabled(m_SpareTimer, SD_EVENT_OFF);
    if (m_Workers.empty()) {
        MaybeDone();
        return;
    }
    HostLog(kLogInfo, "stopping %zu workers", m_Workers.size());
    Signal(SIGTERM);
    // A stopped worker (SIGSTOP, a terminal's ^Z) acts on SIGTERM only once it runs again.
    Signal(SIGCONT);
    if (m_StopTimer == nullptr)
        sd_event_add_time_relative(m_Event, &m_StopTimer, CLOCK_MONOTONIC, m_Options.stopGraceUsec,
                                   0, &Broker::OnStopTimeout, this);
}

void Broker::MaybeDone() {
    if (!m_Stopping || !m_Workers.empty() || !m_Done) return;
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
    if (self->m_KillTimer == nullptr)
        sd_event_add_time_relative(self->m_Event, &self->m_KillTimer, CLOCK_MONOTONIC,
                                   kKillWaitUsec, 0, &Broker::OnKillTimeout, self);
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
    if (self->m_Done) {
        std::function<void()> done = std::move(self->m_Done);
        self->m_Done = nullptr;
        done();
    }
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
