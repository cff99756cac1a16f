// Integration test harness: runs the real gxemp service on a private socket in a temporary
// directory and talks to it as clients do (an sd-bus client, gxempctl, busctl, gdbus). The pieces
// are the test support library's (tests/support); these are the names the suites use.
#pragma once

#include <signal.h>

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

#include "Browser.h"
#include "BusClient.h"
#include "Json.h"
#include "Process.h"
#include "ServiceProcess.h"
#include "Socket.h"
#include "TempDir.h"
#include "TestName.h"

namespace itest {

// The support library's pieces by their own names: Service, Client, TempDir, RunProgram, ...
using namespace gxtest;

// Signals one process found at run time (a worker named in the log). A pid of 0 or below would
// signal the caller's process group or every process the caller may signal, test runner included:
// that is a failure of the test, never a signal sent.
inline void SignalProcess(pid_t pid, int signo) {
    if (pid > 0)
        ::kill(pid, signo);
    else
        ADD_FAILURE() << "no process to signal (pid " << pid << ")";
}

// The name of a test run in each way the service serves clients (the parameter: --single-process).
inline std::string ModeName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "SingleProcess" : "WorkerPerClient";
}

}  // namespace itest
