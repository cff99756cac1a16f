// The servers the end-to-end benchmark measures side by side, and its clients of them.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "BenchSocket.h"
#include "E2EBench.h"

namespace e2e {

using gxbench::NowNs;

bool IsGxemp(Kind k) {
    return k == Kind::Gxemp || k == Kind::GxempStderr || k == Kind::GxempSingle ||
           k == Kind::GxempExec;
}

std::pair<double, double> PssOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    double pss = -1, anon = -1;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string key;
        double kb = 0;
        f >> key >> kb;
        if (key == "Pss:") pss = kb;
        if (key == "Pss_Anon:") anon = kb;
    }
    if (pss < 0) Die("cannot read smaps_rollup of process " + std::to_string(pid));
    return {pss, anon};
}

const char* KindName(Kind k) {
    switch (k) {
        case Kind::GxempSingle:
            return "gxemp --single-process";
        case Kind::Gxemp:
            return "gxemp";
        case Kind::GxempStderr:
            return "gxemp, log on stderr";
        case Kind::GxempExec:
            return "gxemp --exec-workers";
        case Kind::Sdbus:
            return "bare sd-bus";
        case Kind::Gdbus:
            return "bare GDBus";
        case Kind::Raw:
            return "raw socket";
    }
    return "?";
}

Server::Server(Kind kind) : m_Kind(kind) {
    m_Socket = m_Dir / "server.sock";
    m_Address = "unix:path=" + m_Socket;
}

void Server::Start() {
    std::vector<std::string> argv;
    switch (m_Kind) {
        case Kind::Gxemp:
        case Kind::GxempSingle:
        case Kind::GxempExec:
            argv = {GXEMP_BIN, "--address", m_Address, "--log", m_Dir / "gxemp.log"};
            break;
        case Kind::GxempStderr:
            argv = {GXEMP_BIN, "--address", m_Address, "--log", "/dev/stderr"};
            break;
        case Kind::Sdbus:
            argv = {SDBUS_SERVER_BIN, m_Address};
            break;
        case Kind::Gdbus:
            argv = {GDBUS_SERVER_BIN, m_Address};
            break;
        case Kind::Raw:
            argv = {RAW_ECHO_BIN, m_Socket};
            break;
    }
    if (IsGxemp(m_Kind)) argv.insert(argv.end(), {"--settings", m_Dir / "settings.ini"});
    if (m_Kind == Kind::GxempSingle) argv.push_back("--single-process");
    if (m_Kind == Kind::GxempExec) argv.push_back("--exec-workers");
    m_Started = NowNs();
    // Readiness is checked often: the start-up section times the first answer from here. gxemp
    // says when it is ready; a trial connection would be a client, and with a worker per client
    // it would take the spare worker that the first real client is meant to get.
    constexpr std::chrono::microseconds kEvery(100);
    bool started = IsGxemp(m_Kind) ? m_Process.StartNotified(argv, m_Dir / "notify",
                                                             m_Dir / "output", 0, kEvery)
                                   : m_Process.Start(argv, m_Socket, m_Dir / "output", 0, kEvery);
    if (!started) Die(std::string(KindName(m_Kind)) + " did not start:\n" + Output());
}

void Server::Stop() {
    if (m_Process.Stop(SIGTERM) != -1) unlink(m_Socket.c_str());
}

std::pair<double, double> Server::TotalPss() const {
    std::pair<double, double> total = Pss();
    for (pid_t w : Workers()) {
        auto one = PssOf(w);
        total.first += one.first;
        total.second += one.second;
    }
    return total;
}

// From the scheduler's accounting, which is exact where utime/stime are sampled in ticks. A
// worker that has ended is no longer counted.
uint64_t Server::CpuNs() const {
    uint64_t total = 0;
    std::vector<pid_t> pids = Workers();
    pids.push_back(m_Process.pid());
    for (pid_t pid : pids) {
        std::error_code ec;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
            std::ifstream in(task.path() / "schedstat");
            uint64_t ns = 0;
            if (in >> ns) total += ns;
        }
    }
    return total;
}

gxtest::Client::Options ClientOptions(bool hello) {
    gxtest::Client::Options options;
    options.hello = hello;
    options.events = false;  // a receiver matches them itself, stamping their arrival
    return options;
}

int ExecuteInt(gxtest::Client& client, const gxclient::Request& execute) {
    gxclient::Reply reply;
    gxclient::ExecuteResult result;
    Check(gxclient::ReadExecuteResult(client.Call(execute, &reply), &result), "Execute reply");
    return result.type == 'i' ? result.integer : -1;
}

void EmitNoReply(gxtest::Client& client, const std::string& text) {
    Check(gxclient::Send(client.bus(), gxclient::EmitGesture(1005, text)), "EmitMotionSignal");
    Check(sd_bus_flush(client.bus()), "flush");
}

}  // namespace e2e
