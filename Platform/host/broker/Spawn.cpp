// The broker starts a worker process. See Broker.h and worker/WorkerProtocol.h.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Broker.h"
#include "gxhost/Extension.h"
#include "service/HostLog.h"
#include "service/Options.h"
#include "worker/WorkerProtocol.h"

extern char** environ;

namespace gxhost {

const char kUntilTemplate[] = "starting workers by exec until a new template is ready";

namespace {

// A descriptor moved above every number a worker uses, so that no dup2 onto 3, 4, 5... is a
// no-op (which would leave it close-on-exec).
int DupAboveWorkerFds(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, 16);
}

// The program a worker runs: this executable, by its path (so that the worker's process name is
// this program's, not that of a /proc link).
std::string OwnExecutable() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    path[n] = '\0';
    // Replaced on disk (an upgrade): only the link still reaches the program that runs here.
    static const char kDeleted[] = " (deleted)";
    size_t len = static_cast<size_t>(n);
    if (len > sizeof kDeleted && std::strcmp(path + len - (sizeof kDeleted - 1), kDeleted) == 0)
        return "/proc/self/exe";
    return path;
}

// What every worker is told on its command line: where to log, and the limits of its client.
std::vector<std::string> WorkerArgs(const Options& opts) {
    std::vector<std::string> args;
    if (!opts.logFile.empty()) args.push_back("--log=" + opts.logFile);
    if (!opts.logLevel.empty()) args.push_back("--log-level=" + opts.logLevel);
    args.push_back("--max-queued-events=" + std::to_string(opts.limits.maxQueuedEvents));
    char timeout[32];
    std::snprintf(timeout, sizeof timeout, "%.6f",
                  static_cast<double>(opts.limits.authTimeoutUsec) / 1e6);
    args.push_back(std::string("--auth-timeout=") + timeout);
    for (Extension* ext : Extensions())
        for (std::string& o : ext->WorkerOptions()) args.push_back(std::move(o));
    return args;
}

// The worker starts with every signal at its default, whatever the broker's loop ignored, and
// with the signals its loop will handle blocked, so that they wait for the loop (see Broker.h).
void SetWorkerSignals(posix_spawnattr_t* attr) {
    sigset_t handled, all;
    sigemptyset(&handled);
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&handled, sig);
    sigfillset(&all);
    posix_spawnattr_setsigmask(attr, &handled);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Starts `program` with `lifted` (descriptors above the worker's numbers) as kClientFd, ... in
// order. A positive errno on failure.
int SpawnWith(const std::string& program, std::vector<std::string>& args,
              const std::vector<int>& lifted, pid_t* pid) {
    for (int fd : lifted)
        if (fd < 0) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (size_t i = 0; i < lifted.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, lifted[i], kClientFd + static_cast<int>(i));
    // Only the descriptors meant for it reach the worker: whatever the broker inherited without
    // close-on-exec (a shell's redirection, a supervisor's socket) stays here.
    posix_spawn_file_actions_addclosefrom_np(&actions, kClientFd + static_cast<int>(lifted.size()));
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    SetWorkerSignals(&attr);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = posix_spawn(pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return r;
}

}  // namespace

BrokerOptions BrokerOptionsFor(const Options& options, const std::string& argv0) {
    return BrokerOptions{OwnExecutable(),      argv0,
                         WorkerArgs(options),  options.limits.maxClients,
                         options.spareWorkers, !options.execWorkers};
}

std::vector<std::string> Broker::WorkerArgv(const std::string& role,
                                            std::vector<int>* lifted) const {
    std::vector<std::string> args = {m_Options.argv0};
    args.insert(args.end(), m_Options.workerArgs.begin(), m_Options.workerArgs.end());
    args.push_back(role);
    std::vector<int> numbers;
    for (Extension* ext : Extensions()) {
        int shared = ext->SharedDescriptor();
        if (shared < 0) {
            numbers.push_back(-1);
            continue;
        }
        numbers.push_back(kFirstSharedFd + static_cast<int>(lifted->size()) - 2);
        lifted->push_back(DupAboveWorkerFds(shared));
    }
    if (!numbers.empty())
        args.push_back(std::string("--") + kWorkerFdsOption + "=" + FormatWorkerFds(numbers));
    return args;
}

int Broker::StartProcess(int first, const std::string& role, const std::string& what,
                         Worker** out) {
    bool fromTemplate = m_TemplateFd >= 0 && m_TemplateReady;
    for (;;) {
        int pair[2] = {-1, -1};
        std::vector<int> lifted;  // the worker's descriptors, in the order of their numbers
        auto cleanUp = [&] {
            for (int fd : lifted) close(fd);
            if (pair[1] >= 0) close(pair[1]);
        };
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
            int err = errno;
            close(first);
            return -err;
        }
        lifted.push_back(DupAboveWorkerFds(first));    // kClientFd
        lifted.push_back(DupAboveWorkerFds(pair[1]));  // kControlFd
        std::vector<std::string> args = WorkerArgv(role, &lifted);
        pid_t pid = -1;
        int r = fromTemplate ? ForkFromTemplate(args, lifted, &pid)
                             : SpawnWith(m_Options.program, args, lifted, &pid);
        cleanUp();  // the worker has its copies now, if it was started
        if (r < 0) {
            // The template failed, perhaps after it forked: such a worker's link leads nowhere
            // once this end is closed, so it ends before it reads anything else. The exec'd
            // worker gets a link of its own.
            close(pair[0]);
            fromTemplate = false;
            continue;
        }
        close(first);
        if (r != 0) {
            // Want of descriptors or memory is the listener's to report (it rests and counts).
            if (r != EMFILE && r != ENFILE && r != ENOMEM && r != EAGAIN)
                HostLog(kLogError, "cannot start %s: %s", what.c_str(), std::strerror(r));
            close(pair[0]);
            return -r;
        }
        return Adopt(pid, pair[0], out);
    }
}

void Broker::StartTemplateOnce() {
    if (m_TemplateTried) return;
    m_TemplateTried = true;
    StartTemplateLater(0);
}

void Broker::RestartTemplateLater() {
    m_TemplateDelay = m_TemplateDelay == 0 ? kFirstRestartDelayUsec
                                           : std::min(2 * m_TemplateDelay, kMaxRestartDelayUsec);
    StartTemplateLater(m_TemplateDelay);
}

void Broker::StartTemplateLater(uint64_t delayUsec) {
    if (!m_Options.workerTemplate || m_Stopping) return;
    int r = m_TemplateStart
                ? sd_event_source_set_time_relative(m_TemplateStart.get(), delayUsec)
                : sd_event_add_time_relative(m_Event.get(), m_TemplateStart.out(), CLOCK_MONOTONIC,
                                             delayUsec, 0, &Broker::OnTemplateStart, this);
    if (r >= 0) r = sd_event_source_set_priority(m_TemplateStart.get(), SD_EVENT_PRIORITY_IDLE);
    if (r >= 0) r = sd_event_source_set_enabled(m_TemplateStart.get(), SD_EVENT_ONESHOT);
    if (r < 0)
        HostLog(kLogError,
                "cannot time the worker template's start: %s (starting each worker by "
                "exec)",
                std::strerror(-r));
}

int Broker::OnTemplateStart(sd_event_source*, uint64_t, void* userdata) {
    static_cast<Broker*>(userdata)->StartTemplate();
    return 0;
}

void Broker::StartTemplate() {
    if (!m_Options.workerTemplate || m_Stopping || m_TemplatePid > 0) return;
    // The template's workers are its grandchildren: orphaned at once, they are reparented to the
    // nearest subreaper, the broker.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) < 0) {
        HostLog(kLogError, "cannot adopt workers (%s): starting each worker by exec",
                std::strerror(errno));
        return;  // for good: this will not change
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0) {
        HostLog(kLogError, "cannot start the worker template: %s (%s)", std::strerror(errno),
                kUntilTemplate);
        RestartTemplateLater();
        return;
    }
    std::vector<std::string> args = {m_Options.argv0};
    args.insert(args.end(), m_Options.workerArgs.begin(), m_Options.workerArgs.end());
    args.push_back(std::string("--") + kWorkerTemplateOption);
    std::vector<int> lifted = {DupAboveWorkerFds(pair[1])};  // kTemplateFd
    close(pair[1]);
    pid_t pid = -1;
    int r = SpawnWith(m_Options.program, args, lifted, &pid);
    if (lifted[0] >= 0) close(lifted[0]);
    if (r != 0) {
        HostLog(kLogError, "cannot start the worker template: %s (%s)", std::strerror(r),
                kUntilTemplate);
        close(pair[0]);
        RestartTemplateLater();
        return;
    }
    m_TemplatePid = pid;
    m_TemplateFd = pair[0];
    m_TemplateReady = false;
    r = sd_event_add_io(m_Event.get(), m_TemplateWait.out(), m_TemplateFd, EPOLLIN,
                        &Broker::OnTemplateReady, this);
    if (r < 0) {
        std::string why = std::string("cannot wait for it: ") + std::strerror(-r);
        DropTemplate(why.c_str());
        return;
    }
    HostLog(kLogInfo, "worker template %d started", static_cast<int>(pid));
}

// The template's first message, once it has loaded everything: from now on workers are forked.
int Broker::OnTemplateReady(sd_event_source* s, int fd, uint32_t, void* userdata) {
    auto* self = static_cast<Broker*>(userdata);
    sd_event_source_set_enabled(s, SD_EVENT_OFF);  // its answers are read where they are awaited
    int32_t ready = -1;
    if (recv(fd, &ready, sizeof ready, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof ready) ||
        ready != 0) {
        self->DropTemplate("it has gone before it was ready");
        return 0;
    }
    // Not logged: it comes at no moment of the service's making, between any two lines.
    self->m_TemplateReady = true;
    return 0;
}

int Broker::ForkFromTemplate(const std::vector<std::string>& args, const std::vector<int>& fds,
                             pid_t* pid) {
    for (int fd : fds)
        if (fd < 0) return errno;  // as SpawnWith: a copy the broker could not make
    int r = SendForkRequest(m_TemplateFd, args, fds);
    if (r < 0) {
        std::string why = std::string("cannot ask it: ") + std::strerror(-r);
        DropTemplate(why.c_str());
        return -1;
    }
    // The loop waits: the template answers once it has forked, as posix_spawn returns once the
    // child has exec'd.
    struct pollfd answerable = {m_TemplateFd, POLLIN, 0};
    int n;
    do n = poll(&answerable, 1, kTemplateAnswerMs);
    while (n < 0 && errno == EINTR);
    int32_t answer = 0;
    ssize_t got = n > 0 ? recv(m_TemplateFd, &answer, sizeof answer, MSG_DONTWAIT) : -1;
    if (got != static_cast<ssize_t>(sizeof answer)) {
        DropTemplate(n == 0 ? "it did not answer in time" : "it has gone");
        return -1;
    }
    if (answer <= 0) return answer < 0 ? -answer : EPROTO;
    *pid = answer;
    m_TemplateDelay = 0;  // it works: should it end later, it is started again at once
    return 0;
}

void Broker::DropTemplate(const char* why) {
    m_TemplateWait.reset();
    m_TemplateReady = false;
    if (m_TemplateFd >= 0) close(m_TemplateFd);
    m_TemplateFd = -1;
    if (m_TemplatePid <= 0) return;
    if (why != nullptr)
        HostLog(kLogError, "worker template %d failed: %s (%s)", static_cast<int>(m_TemplatePid),
                why, kUntilTemplate);
    // It holds nothing of anyone's: killed, it ends at once.
    kill(m_TemplatePid, SIGKILL);
    while (waitpid(m_TemplatePid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_TemplatePid = 0;
    if (why != nullptr) RestartTemplateLater();
}

int Broker::Adopt(pid_t pid, int link, Worker** out) {
    auto worker = std::make_unique<Worker>();
    worker->broker = this;
    worker->pid = pid;
    int r = sd_event_add_child(m_Event.get(), worker->child.out(), pid, WEXITED, &Broker::OnChild,
                               worker.get());
    if (r < 0) {
        // Without its child source the worker could not be reaped: stop it at once.
        HostLog(kLogError, "cannot watch worker %d: %s (killing it)", static_cast<int>(pid),
                std::strerror(-r));
        close(link);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return r;
    }
    if (m_SweepTimer) sd_event_source_set_enabled(m_SweepTimer.get(), SD_EVENT_ON);
    r = OpenControl(worker.get(), link);
    if (r < 0)
        HostLog(kLogError, "no control link to worker %d: %s", static_cast<int>(pid),
                std::strerror(-r));
    *out = worker.get();
    m_Workers.emplace(pid, std::move(worker));
    return 0;
}

}  // namespace gxhost
