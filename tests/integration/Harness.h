// Integration test harness: runs the real gxemp service on a private socket in a temporary
// directory and talks to it as clients do (an sd-bus client, gxempctl, busctl, gdbus). The pieces
// are the test support library's (tests/support); these are the names the suites use.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Browser.h"
#include "BusClient.h"
#include "Json.h"
#include "Process.h"
#include "ServiceProcess.h"
#include "Socket.h"
#include "TempDir.h"
#include "TestName.h"
#include "Timeouts.h"

namespace itest {

// The support library's pieces by their own names: Service, Client, TempDir, RunProgram, ...
using namespace gxtest;

// How long a client may wait for an answer while another client or its worker misbehaves: a
// second, and four in a sanitizer build, which runs several times slower (the service's own waits
// are four times as long there).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kAnswerSeconds = 4;
#else
constexpr int kAnswerSeconds = 1;
#endif
// A Drain waits for every worker's answer, and a worker that is slow only because the machine is
// busy gets the broker's whole spread timeout before it is left out: one on a loaded machine may
// take that long on top.
constexpr double kDrainSeconds = kAnswerSeconds + gxsimbus::kSpreadTimeoutUsec / 1e6;

// Signals one process found at run time (a worker named in the log). A pid of 0 or below would
// signal the caller's process group or every process the caller may signal, test runner included:
// that is a failure of the test, never a signal sent.
inline void SignalProcess(pid_t pid, int signo) {
    if (pid > 0)
        ::kill(pid, signo);
    else
        ADD_FAILURE() << "no process to signal (pid " << pid << ")";
}

// The resident memory of a process, in KiB (0 once it is gone).
inline long RssKib(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// A connection to the service's socket that sends the first step of authentication and nothing
// after it; -1 if none was made.
inline int ConnectUnauthenticated(const std::string& path, int flags = 0) {
    int fd = ConnectUnix(path, flags);
    const char auth[] = "\0AUTH EXTERNAL 30\r\n";
    if (fd < 0 || write(fd, auth, sizeof auth - 1) > 0) return fd;
    close(fd);
    return -1;
}

// A connected client with an engine, and the worker that serves it (a worker per client).
struct Party {
    std::unique_ptr<Client> client;
    uint32_t engine = 0;
    pid_t worker = -1;
    std::string widget;  // what it subscribed under, if anything
    int zoom = 0;        // its own motion setting, if it set one
};

inline Party Join(const Service& service) {
    Party p;
    p.client = std::make_unique<Client>(service.address());
    p.engine = p.client->Open();
    p.worker = service.WorkerOf(p.client->Name());
    return p;
}

// The name of a test run in each way the service serves clients (the parameter: --single-process).
inline std::string ModeName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "SingleProcess" : "WorkerPerClient";
}

}  // namespace itest
