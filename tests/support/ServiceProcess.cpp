#include "ServiceProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "Socket.h"

namespace gxtest {

ServerProcess::~ServerProcess() {
    Stop(SIGKILL);
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& socket,
                          const std::string& output, int maxFds, std::chrono::microseconds every) {
    return SpawnUntil(argv, output, maxFds, {}, every, [&] {
        int fd = ConnectUnix(socket);
        if (fd >= 0) close(fd);
        return fd >= 0;
    });
}

bool ServerProcess::StartNotified(const std::vector<std::string>& argv,
                                  const std::string& notifySocket, const std::string& output,
                                  int maxFds, std::chrono::microseconds every) {
    int notify = BindNotifySocket(notifySocket);
    if (notify < 0) return false;
    bool ready = SpawnUntil(argv, output, maxFds, {"NOTIFY_SOCKET=" + notifySocket}, every,
                            [&] { return ReadyWasNotified(notify); });
    close(notify);
    unlink(notifySocket.c_str());
    return ready;
}

bool ServerProcess::SpawnUntil(const std::vector<std::string>& argv, const std::string& output,
                               int maxFds, std::vector<std::string> env,
                               std::chrono::microseconds every,
                               const std::function<bool()>& ready) {
    SpawnOptions o;
    o.env = std::move(env);
    o.out = o.err = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    o.maxFds = maxFds;
    m_Pid = Spawn(argv, o);
    close(o.out);
    bool ended = false, isReady = false;
    WaitUntil(
        [&] {
            int raw = 0;
            ended = waitpid(m_Pid, &raw, WNOHANG) == m_Pid;
            return ended || (isReady = ready());
        },
        30000, every);
    if (ended) m_Pid = -1;
    return isReady;
}

int ServerProcess::Stop(int signal) {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, signal);
    int status = WaitExit(m_Pid);
    m_Pid = -1;
    return status;
}

Service::Service(const std::vector<std::string>& extraArgs, int maxFds) {
    m_Socket = m_Dir / "host.sock";
    m_Address = "unix:path=" + m_Socket;
    m_Log = m_Dir / "gxemp.log";
    if (!Start(extraArgs, maxFds)) throw std::runtime_error("the service did not start:\n" + Log());
}

bool Service::Start(const std::vector<std::string>& extraArgs, int maxFds) {
    std::vector<std::string> argv = {GXEMP_BIN, "--address",  m_Address,     "--log",
                                     m_Log,     "--settings", settingsPath()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    // Ready by the service's own word, not by a trial connection: a connection would be a client,
    // and would take the spare worker a test expects its first client to get.
    return m_Process.StartNotified(argv, m_Dir / "notify", m_Dir / "stderr", maxFds);
}

int Service::Stop(int signal) {
    return m_Process.Stop(signal);
}

std::string Service::Log() const {
    return ReadFile(m_Log) + ReadFile(m_Dir / "stderr");
}

bool Service::WaitForLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

std::vector<pid_t> Service::Workers() const {
    std::vector<pid_t> workers;
    for (pid_t child : ChildrenOf(pid()))
        if (!IsWorkerTemplate(child)) workers.push_back(child);
    return workers;
}

std::vector<pid_t> Service::ServingWorkers() const {
    std::string log = Log();
    std::vector<pid_t> serving;
    for (pid_t w : Workers())
        if (log.find("worker " + std::to_string(w) + " serves it") != std::string::npos)
            serving.push_back(w);
    return serving;
}

std::vector<pid_t> Service::SpareWorkers() const {
    std::vector<pid_t> serving = ServingWorkers(), spares;
    for (pid_t w : Workers())
        if (std::find(serving.begin(), serving.end(), w) == serving.end()) spares.push_back(w);
    return spares;
}

// "client :1.N (pid P, uid U) connected: worker W serves it". The broker writes that line in its
// own time (a spare worker may answer the client first), so this waits for it.
pid_t Service::WorkerOf(const std::string& clientName) const {
    pid_t worker = -1;
    WaitUntil([&] {
        std::istringstream lines(Log());
        for (std::string line; std::getline(lines, line);) {
            size_t at = line.find(" serves it"), w = line.rfind("worker ", at);
            if (at != std::string::npos && w != std::string::npos &&
                line.find("client " + clientName + " (") != std::string::npos) {
                worker = std::stoi(line.substr(w + 7));
                return true;
            }
        }
        return false;
    });
    return worker;
}

ProcessResult Service::Ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), {GXEMPCTL_BIN, "--address", m_Address});
    return RunProgram(args);
}

}  // namespace gxtest
