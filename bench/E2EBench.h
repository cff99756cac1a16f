// What the end-to-end benchmark's measured paths share: the run's settings, the servers measured
// side by side, a client connection and the report (see E2EBench.cpp for the program).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "BusClient.h"
#include "ServiceProcess.h"
#include "TempDir.h"

namespace e2e {

struct Settings {
    int repeat = 3;
    bool quick = false;
    // Round trips timed per server and round.
    int calls = 20000;
    // Events of a throughput run, per client count.
    int flood1 = 20000, flood8 = 5000;
    int window = 128;  // events in flight (not yet received by the slowest client)
    // Seconds of a paced latency run at each rate.
    double slowSeconds = 10, fastSeconds = 3;
    int startups = 10;
};

extern Settings g_Set;

[[noreturn]] void Die(const std::string& what);
void Check(int r, const char* what);
double Median(std::vector<double> v);
double Percentile(std::vector<double>& sorted, double p);
// Proportional set size and its anonymous part of a process, in KiB.
std::pair<double, double> PssOf(pid_t pid);

// Gxemp logs to a file (--log, as the tests run it); GxempStderr logs to standard error
// (--log /dev/stderr; here stderr is a file in the server's directory). Both serve each client
// in a worker process of its own; GxempSingle serves every client in one process.
enum class Kind { Gxemp, GxempStderr, GxempSingle, GxempExec, Sdbus, Gdbus, Raw };

bool IsGxemp(Kind k);
const char* KindName(Kind k);

// One server process on its own socket in its own temporary directory.
class Server {
public:
    explicit Server(Kind kind);
    ~Server() { Stop(); }

    // Starts the process and returns once it accepts connections (the start time is kept).
    void Start();
    void Stop();
    std::string Output() const { return gxtest::ReadFile(m_Dir / "output"); }

    // Proportional set size and its anonymous part, in KiB: of the server's own process, and
    // of it with its workers.
    std::pair<double, double> Pss() const { return PssOf(m_Process.pid()); }
    std::pair<double, double> TotalPss() const;
    // The server's children: its workers and the worker template (see gxtest::IsWorkerTemplate).
    std::vector<pid_t> Workers() const { return gxtest::ChildrenOf(m_Process.pid()); }
    // CPU time the server and its workers have used so far, all threads, in ns.
    uint64_t CpuNs() const;

    Kind kind() const { return m_Kind; }
    const std::string& address() const { return m_Address; }
    const std::string& socket() const { return m_Socket; }
    uint64_t started() const { return m_Started; }

private:
    Kind m_Kind;
    gxtest::TempDir m_Dir{"gxemp-bench"};
    std::string m_Socket, m_Address;
    gxtest::ServerProcess m_Process;
    uint64_t m_Started = 0;
};

// A client of any of the D-Bus servers. hello: say Hello first, as the stock clients and
// gxempctl do.
gxtest::Client::Options ClientOptions(bool hello);
inline gxtest::Client Connect(const Server& server, bool hello) {
    return gxtest::Client(server.address(), ClientOptions(hello));
}
// Calls an Execute request; returns the integer result (or -1 when the result is not one).
int ExecuteInt(gxtest::Client& client, const gxclient::Request& execute);
// Sends a motion signal without waiting for (or asking for) a reply.
void EmitNoReply(gxtest::Client& client, const std::string& text);

// The report: rows of a figure, its baseline and target, printed per section.
void AddRow(const std::string& what, double value, double baseline, const std::string& unit,
            const std::string& target = "", int verdict = -1);
void PrintRows(const std::string& title);

// The measured paths, one section each.
void RoundTripSection();
void EventSection();
void FootprintSection();
void StartupSection();

}  // namespace e2e
