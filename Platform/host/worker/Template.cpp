// The worker template. See Template.h.
#include "worker/Template.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/Options.h"
#include "service/Run.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

namespace {

// As a spawned worker starts: every signal at its default, and those its loop will handle
// blocked, so that they wait for the loop (see broker/Broker.h).
void ResetSignals() {
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&handled, sig);
    sigprocmask(SIG_SETMASK, &handled, nullptr);
}

// Moves `fds` onto kClientFd, kControlFd... in order and closes every other descriptor above
// standard error, the template's request socket among them. Each is first copied above every
// number used, so that no dup2 overwrites a descriptor still to be moved.
bool PlaceDescriptors(const std::vector<int>& fds) {
    std::vector<int> lifted;
    for (int fd : fds) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, kClientFd + static_cast<int>(kMaxForkFds) + 1);
        if (high < 0) return false;
        lifted.push_back(high);
    }
    for (size_t i = 0; i < lifted.size(); ++i)
        if (dup2(lifted[i], kClientFd + static_cast<int>(i)) < 0) return false;
    closefrom(kClientFd + static_cast<int>(lifted.size()));
    return true;
}

// Writes the worker's role (--worker=NAME or --worker-spare) over the template's option in the
// process's arguments, as far as it fits.
void ShowRole(ServiceContext* ctx, const std::vector<std::string>& args) {
    static const std::string kOwn = std::string("--") + kWorkerTemplateOption;
    static const std::string kNamed = std::string("--") + kWorkerOption + "=",
                             kSpare = std::string("--") + kWorkerSpareOption;
    auto role = std::find_if(args.begin(), args.end(), [](const std::string& a) {
        return a == kSpare || a.compare(0, kNamed.size(), kNamed) == 0;
    });
    if (role == args.end()) return;
    for (int i = 1; i < ctx->argc; ++i) {
        if (ctx->argv[i] == nullptr || kOwn != ctx->argv[i]) continue;
        std::memset(ctx->argv[i], 0, kOwn.size());
        std::memcpy(ctx->argv[i], role->data(), std::min(role->size(), kOwn.size()));
        return;
    }
}

// The forked worker: from here on it is what an exec'd worker with this command line is.
[[noreturn]] void BecomeWorker(ServiceContext* ctx, const char* comm,
                               std::vector<std::string>& args, const std::vector<int>& fds) {
    ShowRole(ctx, args);
    prctl(PR_SET_NAME, comm);
    ResetSignals();
    if (!PlaceDescriptors(fds)) {
        std::fprintf(stderr, "%s: worker %d cannot take its descriptors: %s\n",
                     ctx->program.c_str(), static_cast<int>(getpid()), std::strerror(errno));
        _exit(1);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ParsedOptions parsed = ParseOptions(static_cast<int>(args.size()), argv.data());
    if (parsed.action != Action::Serve || !parsed.options.IsWorker()) {
        std::fprintf(stderr, "%s: worker %d: not a worker's command line: %s\n",
                     ctx->program.c_str(), static_cast<int>(getpid()), parsed.error.c_str());
        _exit(2);
    }
    ctx->options = std::move(parsed.options);
    std::exit(Run(ctx));
}

// Forks the worker by way of a child that exits at once (see Template.h). Its pid, or a negative
// errno.
int32_t ForkWorker(ServiceContext* ctx, const char* comm, std::vector<std::string>& args,
                   const std::vector<int>& fds) {
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) < 0) return -errno;
    pid_t middle = fork();
    if (middle < 0) {
        int err = errno;
        close(pipe[0]);
        close(pipe[1]);
        return -err;
    }
    if (middle == 0) {
        close(pipe[0]);
        pid_t worker = fork();
        if (worker == 0) BecomeWorker(ctx, comm, args, fds);
        int32_t answer = worker < 0 ? -errno : worker;
        ssize_t n = write(pipe[1], &answer, sizeof answer);
        _exit(n == sizeof answer ? 0 : 1);
    }
    close(pipe[1]);
    int32_t answer = -ECHILD;
    ssize_t n;
    do n = read(pipe[0], &answer, sizeof answer);
    while (n < 0 && errno == EINTR);
    if (n != sizeof answer) answer = -ECHILD;
    close(pipe[0]);
    // Once the middle child is gone, the worker is the broker's.
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    return answer;
}

// The name the template goes by (its comm), told from its workers', which keep the program's.
std::string TemplateName(const std::string& program) {
    return (program + "-template").substr(0, 15);  // a comm holds 15 characters
}

}  // namespace

int RunTemplate(ServiceContext* ctx) {
    char comm[16] = {};
    prctl(PR_GET_NAME, comm);
    // Ready: the broker forks its workers from here on. Named only then, so that whoever looks
    // (a test, an administrator) can tell a template that is ready from one still loading.
    const int32_t ready = 0;
    if (send(kTemplateFd, &ready, sizeof ready, MSG_NOSIGNAL) < 0) return 0;
    prctl(PR_SET_NAME, TemplateName(ctx->program).c_str());
    for (;;) {
        std::vector<std::string> args;
        std::vector<int> fds;
        int r = ReceiveForkRequest(kTemplateFd, &args, &fds);
        if (r == 0) return 0;  // the broker has stopped
        if (r < 0 && r != -EBADMSG) {
            std::fprintf(stderr, "%s: worker template: %s\n", ctx->program.c_str(),
                         std::strerror(-r));
            return 1;
        }
        int32_t answer = r < 0 ? r : ForkWorker(ctx, comm, args, fds);
        for (int fd : fds) close(fd);
        if (send(kTemplateFd, &answer, sizeof answer, MSG_NOSIGNAL) < 0)
            return errno == EPIPE ? 0 : 1;
    }
}

}  // namespace gxhost
