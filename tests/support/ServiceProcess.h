// Server processes under test: any program that serves a Unix socket, and the gxemp service on a
// private socket, settings file and log of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"

namespace gxtest {

// One server process, ready once its socket accepts a connection or once it says so.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();  // kills what is still running
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `argv` with its output and errors appended to the file `output` and returns once
    // `socket` accepts a connection (true), or once it has ended or 30 s have passed (false).
    // `every`: how often the socket is tried (a benchmark of the start-up tries often).
    bool Start(const std::vector<std::string>& argv, const std::string& socket,
               const std::string& output, int maxFds = 0,
               std::chrono::microseconds every = std::chrono::milliseconds(20));
    // Starts `argv` with NOTIFY_SOCKET naming a socket it binds at `notifySocket` and returns once
    // the program says "READY=1" there (true), or once it has ended or 30 s have passed (false).
    // `every`: how often the socket is read.
    bool StartNotified(const std::vector<std::string>& argv, const std::string& notifySocket,
                       const std::string& output, int maxFds = 0,
                       std::chrono::microseconds every = std::chrono::milliseconds(20));
    // Sends a signal and waits for the exit status (-1 when nothing runs).
    int Stop(int signal);
    pid_t pid() const { return m_Pid; }

private:
    // Starts `argv` and polls `ready` every `every` until it holds or the program ends.
    bool SpawnUntil(const std::vector<std::string>& argv, const std::string& output, int maxFds,
                    std::vector<std::string> env, std::chrono::microseconds every,
                    const std::function<bool()>& ready);

    pid_t m_Pid = -1;
};

// The gxemp service. Each instance has its own directory, socket, settings and log.
class Service {
public:
    // maxFds > 0: the service starts with that many descriptors at most (soft and hard limit).
    explicit Service(const std::vector<std::string>& extraArgs = {}, int maxFds = 0);

    bool Start(const std::vector<std::string>& extraArgs = {}, int maxFds = 0);
    int Stop(int signal = 15);  // sends a signal and waits for the exit status

    const std::string& dir() const { return m_Dir.path(); }
    const std::string& address() const { return m_Address; }
    const std::string& socketPath() const { return m_Socket; }
    const std::string& logPath() const { return m_Log; }
    std::string settingsPath() const { return m_Dir / "settings.ini"; }
    std::string Log() const;  // the log file and what the service wrote on stderr
    // Waits until the log holds `text` (the service flushes it when idle).
    bool WaitForLog(const std::string& text, int timeoutMs = 10000) const;
    pid_t pid() const { return m_Process.pid(); }
    // Runs gxempctl against this service.
    ProcessResult Ctl(std::vector<std::string> args) const;

    // The worker processes running now (the service's children but the worker template), spares
    // included.
    std::vector<pid_t> Workers() const;
    // Those of them that serve a client (the log says so when it connects).
    std::vector<pid_t> ServingWorkers() const;
    // The others: spares waiting for a client.
    std::vector<pid_t> SpareWorkers() const;
    // The worker that serves a client, by the client's unique name (":1.N") as the service logged
    // it when the client connected; -1 when there is none.
    pid_t WorkerOf(const std::string& clientName) const;

private:
    TempDir m_Dir{"gxemp-service"};
    std::string m_Socket, m_Address, m_Log;
    ServerProcess m_Process;
};

}  // namespace gxtest
