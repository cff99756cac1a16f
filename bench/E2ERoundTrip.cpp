// Execute round trips: one client calling one command over and over, on each server.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "BenchSocket.h"
#include "E2EBench.h"
#include "Socket.h"

namespace e2e {
namespace {

using gxbench::NowNs;

struct Trip {
    double meanUs = 0, p50Us = 0, p99Us = 0;
    double serverCpuUs = 0;  // the server's CPU time per call
};

Trip Summarise(std::vector<double>& us) {
    Trip t;
    double sum = 0;
    for (double v : us) sum += v;
    t.meanUs = us.empty() ? 0 : sum / static_cast<double>(us.size());
    std::sort(us.begin(), us.end());
    t.p50Us = Percentile(us, 50);
    t.p99Us = Percentile(us, 99);
    return t;
}

// Times `calls` calls of `once` after a tenth as many to warm up, and the server's CPU meanwhile.
template <typename Once>
Trip Time(const Server& server, int calls, Once once) {
    for (int i = 0; i < calls / 10; ++i) once();
    std::vector<double> us;
    us.reserve(static_cast<size_t>(calls));
    uint64_t cpu = server.CpuNs();
    for (int i = 0; i < calls; ++i) {
        uint64_t t = NowNs();
        once();
        us.push_back(static_cast<double>(NowNs() - t) / 1000.0);
    }
    double cpuUs = static_cast<double>(server.CpuNs() - cpu) / 1000.0 / calls;
    Trip trip = Summarise(us);
    trip.serverCpuUs = cpuUs;
    return trip;
}

// The command every Execute round trip runs: it calls into the simulated motion library.
constexpr char kCommand[] = "GetMotionBrightnessLevel";

Trip DbusRoundTrips(Server& server, int calls) {
    gxtest::Client bus = Connect(server, false);
    uint32_t engine = bus.Open("bench");
    const gxclient::Request execute = gxclient::Execute(engine, {kCommand});
    if (ExecuteInt(bus, execute) < 0)
        Die(std::string(KindName(server.kind())) + ": Execute returned no integer");
    return Time(server, calls, [&] { ExecuteInt(bus, execute); });
}

// About the size of an Execute call on the wire.
constexpr size_t kRawMessage = 192;

Trip RawRoundTrips(Server& server, int calls) {
    int fd = gxtest::ConnectUnix(server.socket());
    if (fd < 0) Die("cannot connect to the raw echo server");
    char buf[kRawMessage];
    std::memset(buf, 'x', sizeof buf);
    Trip trip = Time(server, calls, [&] {
        if (write(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) Die("raw write");
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            if (n <= 0) Die("raw read");
            got += static_cast<size_t>(n);
        }
    });
    close(fd);
    return trip;
}

const Kind kKinds[] = {Kind::Raw,         Kind::Sdbus, Kind::Gdbus,
                       Kind::GxempSingle, Kind::Gxemp, Kind::GxempStderr};

// Every line the service wrote on stderr must be there once it has stopped, however the sink
// buffers them.
void CheckStderrLog(Server& logged) {
    logged.Stop();
    std::string output = logged.Output();
    for (const char* line :
         {"EMP-HOST: serving on", "strCmd = GetMotionBrightnessLevel", "EMP-HOST: stopped"})
        if (output.find(line) == std::string::npos)
            Die(std::string("the service's stderr lacks the line '") + line + "'");
}

void Report(std::map<Kind, std::vector<Trip>>& trips) {
    auto med = [&](Kind k, double Trip::*field) {
        std::vector<double> v;
        for (const Trip& t : trips[k]) v.push_back(t.*field);
        return Median(v);
    };
    double sd = med(Kind::Sdbus, &Trip::meanUs), sd50 = med(Kind::Sdbus, &Trip::p50Us);
    for (Kind k : kKinds) {
        // Each server against the next simpler one: D-Bus servers against bare sd-bus, bare
        // sd-bus against the raw socket.
        Kind base = k == Kind::Raw ? Kind::Raw : k == Kind::Sdbus ? Kind::Raw : Kind::Sdbus;
        auto baseline = [&](double Trip::*field) { return k == base ? 0.0 : med(base, field); };
        std::string name = std::string("Execute round trip, ") + KindName(k) + ", mean";
        double v = med(k, &Trip::meanUs), p50 = med(k, &Trip::p50Us);
        if (IsGxemp(k)) {
            AddRow(name, v, sd, "us", "<= 1.15x", v / sd <= 1.15);
            AddRow("  p50", p50, sd50, "us", "<= 1.15x", p50 / sd50 <= 1.15);
        } else {
            AddRow(name, v, baseline(&Trip::meanUs), "us");
            AddRow("  p50", p50, baseline(&Trip::p50Us), "us");
        }
        if (k == Kind::Gxemp) {
            // A worker per client against one process for all: the same path, in another process.
            double single = med(Kind::GxempSingle, &Trip::meanUs);
            AddRow("  mean against --single-process", v, single, "us", "<= 1.10x",
                   v / single <= 1.10);
        }
        AddRow("  p99", med(k, &Trip::p99Us), baseline(&Trip::p99Us), "us");
        AddRow("  server CPU per call", med(k, &Trip::serverCpuUs), baseline(&Trip::serverCpuUs),
               "us");
    }
}

}  // namespace

void RoundTripSection() {
    std::map<Kind, std::unique_ptr<Server>> servers;
    for (Kind k : kKinds) {
        servers[k] = std::make_unique<Server>(k);
        servers[k]->Start();
    }
    std::map<Kind, std::vector<Trip>> trips;
    for (int round = 0; round < g_Set.repeat; ++round)
        for (Kind k : kKinds)
            trips[k].push_back(k == Kind::Raw ? RawRoundTrips(*servers[k], g_Set.calls)
                                              : DbusRoundTrips(*servers[k], g_Set.calls));
    CheckStderrLog(*servers[Kind::GxempStderr]);
    Report(trips);
    PrintRows("Execute round trip (" + std::to_string(g_Set.calls) + " calls of " + kCommand +
              " per round)");
}

}  // namespace e2e
