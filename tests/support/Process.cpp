#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "TempDir.h"

namespace gxtest {

namespace {

using Clock = std::chrono::steady_clock;

int StatusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// In the child between fork and exec.
[[noreturn]] void Exec(char* const* args, const SpawnOptions& o) {
    int in = o.in >= 0 ? o.in : open("/dev/null", O_RDONLY);
    dup2(in, 0);
    if (o.out >= 0) dup2(o.out, 1);
    if (o.err >= 0) dup2(o.err, 2);
    for (const std::string& e : o.env) putenv(const_cast<char*>(e.c_str()));
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (o.maxFds > 0) {
        struct rlimit rl = {static_cast<rlim_t>(o.maxFds), static_cast<rlim_t>(o.maxFds)};
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    // Leave the program's signals at their defaults whatever the caller blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args);
    _exit(127);
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) Exec(args.data(), options);
    return pid;
}

int WaitExit(pid_t pid) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0)
        if (errno != EINTR) return -1;
    return StatusOf(raw);
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "children");
        for (pid_t child = 0; in >> child;) children.push_back(child);
    }
    return children;
}

bool IsWorkerTemplate(pid_t pid) {
    std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.find(std::string("--worker-template") + '\0') != std::string::npos;
}

ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
    TempDir dir("gxemp-run");
    SpawnOptions o;
    o.env = env;
    o.out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    o.err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_t pid = Spawn(argv, o);
    close(o.out);
    close(o.err);
    int status = WaitExit(pid);
    return {status, ReadFile(dir / "out"), ReadFile(dir / "err")};
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, std::chrono::microseconds every) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int in[2], out[2];
    // Both ends close on exec: the child's copies on 0 and 1 (dup2) do not.
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
    SpawnOptions o;
    o.env = env;
    o.in = in[0];
    o.out = out[1];
    m_Pid = Spawn(argv, o);
    close(in[0]);
    close(out[1]);
    m_In = in[1];
    m_Out = out[0];
}

Child::~Child() {
    CloseInput();
    if (m_Pid > 0 && m_Status < 0) {
        kill(m_Pid, SIGKILL);
        Wait();
    }
    if (m_Out >= 0) close(m_Out);
}

bool Child::ReadLine(std::string* line, int timeoutMs, char end) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = m_Buffer.find(end);
        if (nl != std::string::npos) {
            *line = m_Buffer.substr(0, nl);
            m_Buffer.erase(0, nl + 1);
            return true;
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        struct pollfd p = {m_Out, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[4096];
        ssize_t n = read(m_Out, buf, sizeof buf);
        if (n <= 0) return false;
        m_Buffer.append(buf, static_cast<size_t>(n));
    }
}

void Child::Write(const std::string& text) {
    ssize_t n = write(m_In, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) throw std::runtime_error("write to child failed");
}

void Child::CloseInput() {
    if (m_In >= 0) close(m_In);
    m_In = -1;
}

int Child::Wait() {
    if (m_Status < 0) m_Status = WaitExit(m_Pid);
    return m_Status;
}

}  // namespace gxtest
