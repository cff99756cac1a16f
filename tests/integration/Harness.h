// Integration test harness: runs the real gxemp service on a private socket in a temporary
// directory and talks to it as clients do (an sd-bus client, gxempctl, busctl, gdbus).
#pragma once

#include <signal.h>

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace itest {

// Signals one process found at run time (a worker named in the log). A pid of 0 or below would
// signal the caller's process group or every process the caller may signal, test runner included:
// that is a failure of the test, never a signal sent.
inline void SignalProcess(pid_t pid, int signo) {
    if (pid > 0)
        ::kill(pid, signo);
    else
        ADD_FAILURE() << "no process to signal (pid " << pid << ")";
}

// A temporary directory removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_Path; }

private:
    std::string m_Path;
};

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end with `input` on standard input. `env` entries (NAME=VALUE) are added
// to the environment.
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& env = {});

std::string ReadFile(const std::string& path);  // "" when there is none
// Polls `done` every 20 ms until it holds (true) or `timeoutMs` have passed (false).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// The JSON value in `text`, or one per line of it; what is not JSON throws, failing the test.
Json::Value ParseJson(const std::string& text);
std::vector<Json::Value> JsonLines(const std::string& text);

// A stream socket connected to the Unix socket at `path` (flags: e.g. SOCK_NONBLOCK); -1 if none.
int ConnectUnix(const std::string& path, int flags = 0);

// A running child with pipes to its standard input and output.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~Child();
    // Reads one line of standard output (without the newline, or the `end` given); false at end
    // or timeout.
    bool ReadLine(std::string* line, int timeoutMs = 10000, char end = '\n');
    void Write(const std::string& text);
    void CloseInput();
    int Wait();  // exit status, or 128 + signal
    pid_t pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
    int m_In = -1, m_Out = -1;
    std::string m_Buffer;
    int m_Status = -1;
};

// The service under test. Each instance has its own directory, socket, settings and log.
class Service {
public:
    // maxFds > 0: the service starts with that many descriptors at most (soft and hard limit).
    explicit Service(const std::vector<std::string>& extraArgs = {}, int maxFds = 0);
    ~Service();

    bool Start(const std::vector<std::string>& extraArgs = {}, int maxFds = 0);
    // Sends a signal and waits for the exit status.
    int Stop(int signal = 15);
    int Kill() { return Stop(9); }  // leaves the socket file behind

    const std::string& dir() const { return m_Dir.path(); }
    const std::string& address() const { return m_Address; }
    const std::string& socketPath() const { return m_Socket; }
    const std::string& logPath() const { return m_Log; }
    std::string settingsPath() const { return m_Dir.path() + "/settings.ini"; }
    std::string Log() const;
    // Waits until the log holds `text` (the service flushes it when idle).
    bool WaitForLog(const std::string& text, int timeoutMs = 10000) const;
    pid_t pid() const { return m_Pid; }
    // Runs gxempctl against this service.
    ProcessResult Ctl(std::vector<std::string> args, const std::string& input = "") const;

    // The worker processes running now (the service's children), spares included.
    std::vector<pid_t> Workers() const;
    // Those of them that serve a client (the log says so when it connects).
    std::vector<pid_t> ServingWorkers() const;
    // The worker that serves a client, by the client's unique name (":1.N") as the service logged
    // it when the client connected; -1 when there is none.
    pid_t WorkerOf(const std::string& clientName) const;

private:
    TempDir m_Dir;
    std::string m_Socket, m_Address, m_Log;
    pid_t m_Pid = -1;
};

// An sd-bus client of the service (peer-to-peer, speaking like a bus client, as gxempctl does).
// Failed calls throw, except those that return the D-Bus error name ("" on success).
class Client {
public:
    explicit Client(const std::string& address);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    struct Result {
        bool served = false;
        char type = 0;  // 'i' or 's'
        int32_t integer = 0;
        std::string text;
    };
    struct Event {
        uint32_t engine;
        int32_t code;
        std::string name;
        std::string data;
    };

    std::string Name();  // the unique name the service gave this connection
    uint32_t Open(const std::string& appId = "itest");
    Result Execute(uint32_t engine, const std::string& command, const std::string& arg1 = "",
                   const std::string& arg2 = "");
    void Close(uint32_t engine);
    std::string ErrorOfExecute(uint32_t engine, const std::string& command,
                               const std::string& arg1 = "");
    std::string ErrorOfClose(uint32_t engine);

    // Simulator control.
    int EmitMotion(int signal, const std::string& text);
    int EmitFace(int signal, int id, int x, int y, int w, int h);
    void Drain();
    int GetSetting(const std::string& key);
    // Sets the model text through this client's worker; the D-Bus error name, "" when done.
    std::string SetModel(const std::string& model);

    // Processes incoming messages for `ms`, or until `count` events have arrived.
    bool WaitEvents(size_t count, int ms = 10000);
    void Pump(int ms) { WaitEvents(events.size() + 1000000, ms); }
    std::vector<Event> events;

private:
    sd_bus* m_Bus = nullptr;
};

// The name of a test run in each way the service serves clients (the parameter: --single-process).
inline std::string ModeName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "SingleProcess" : "WorkerPerClient";
}

// Headless Chromium driven over its DevTools pipe (NUL-terminated JSON on its descriptors 3 and
// 4), one call at a time. `Available()` is false where it is not installed.
class Browser {
public:
    explicit Browser(const std::string& chromium);
    ~Browser();
    static bool Available(const std::string& chromium);
    // Calls a DevTools method (in a page's session when `session` is given); null when the
    // browser is gone.
    Json::Value Send(const char* method, const Json::Value& params,
                     const std::string& session = "");
    // Opens `url` in a new page and returns its session.
    std::string Open(const std::string& url);
    // Evaluates `expression` in the page until it gives something but null (20 s at most).
    Json::Value Await(const std::string& session, const std::string& expression);
    // A PNG of the page.
    std::string Screenshot(const std::string& session);
    int Close();  // the browser's exit status

private:
    TempDir m_Profile;
    std::unique_ptr<Child> m_Chrome;
};

// Subscription argument of "SetMotionSubscribeInfo" for the given event names.
std::string MotionList(const std::vector<std::string>& names);

}  // namespace itest
