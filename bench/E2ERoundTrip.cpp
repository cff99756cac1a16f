// Execute round trips: one client calling one command over and over, on each server.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

// One client of a server: `once` makes one round trip.
struct Caller {
    std::unique_ptr<gxtest::Client> bus;
    int fd = -1;  // the raw echo server's
    std::function<void()> once;
    ~Caller() {
        if (fd >= 0) close(fd);
    }
};

// The command every Execute round trip runs: it calls into the simulated motion library.
constexpr char kCommand[] = "GetMotionBrightnessLevel";
// About the size of an Execute call on the wire.
constexpr size_t kRawMessage = 192;

std::unique_ptr<Caller> DbusCaller(Server& server) {
    auto c = std::make_unique<Caller>();
    c->bus = std::make_unique<gxtest::Client>(server.address(), ClientOptions(false));
    uint32_t engine = c->bus->Open("bench");
    auto execute = std::make_shared<gxclient::Request>(gxclient::Execute(engine, {kCommand}));
    if (ExecuteInt(*c->bus, *execute) < 0)
        Die(std::string(KindName(server.kind())) + ": Execute returned no integer");
    gxtest::Client* bus = c->bus.get();
    c->once = [bus, execute] { ExecuteInt(*bus, *execute); };
    return c;
}

std::unique_ptr<Caller> RawCaller(Server& server) {
    auto c = std::make_unique<Caller>();
    c->fd = gxtest::ConnectUnix(server.socket());
    if (c->fd < 0) Die("cannot connect to the raw echo server");
    int fd = c->fd;
    c->once = [fd] {
        char buf[kRawMessage];
        std::memset(buf, 'x', sizeof buf);
        if (write(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) Die("raw write");
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            if (n <= 0) Die("raw read");
            got += static_cast<size_t>(n);
        }
    };
    return c;
}

// A round's samples of one server, and the server's CPU time meanwhile.
struct Samples {
    std::vector<double> us;
    uint64_t cpuNs = 0;
};

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
    std::map<Kind, std::unique_ptr<Caller>> callers;
    for (Kind k : kKinds) {
        servers[k] = std::make_unique<Server>(k);
        servers[k]->Start();
        callers[k] = k == Kind::Raw ? RawCaller(*servers[k]) : DbusCaller(*servers[k]);
        for (int i = 0; i < g_Set.calls / 10; ++i) callers[k]->once();  // warm up
    }
    // The servers take turns in slices of a few hundred calls, so that each one's samples come
    // from the same seconds as the others': on a shared machine the speed of a whole round moves
    // by more than the differences measured here.
    const int slice = std::max(1, std::min(g_Set.calls, 250));
    std::map<Kind, std::vector<Trip>> trips;
    for (int round = 0; round < g_Set.repeat; ++round) {
        std::map<Kind, Samples> samples;
        for (int done = 0; done < g_Set.calls; done += slice)
            for (Kind k : kKinds) {
                Samples& mine = samples[k];
                uint64_t cpu = servers[k]->CpuNs();
                for (int i = 0; i < slice; ++i) {
                    uint64_t t = NowNs();
                    callers[k]->once();
                    mine.us.push_back(static_cast<double>(NowNs() - t) / 1000.0);
                }
                mine.cpuNs += servers[k]->CpuNs() - cpu;
            }
        for (auto& [k, mine] : samples) {
            Trip trip = Summarise(mine.us);
            trip.serverCpuUs =
                static_cast<double>(mine.cpuNs) / 1000.0 / static_cast<double>(mine.us.size());
            trips[k].push_back(trip);
        }
    }
    callers.clear();
    CheckStderrLog(*servers[Kind::GxempStderr]);
    Report(trips);
    PrintRows("Execute round trip (" + std::to_string(g_Set.calls) + " calls of " + kCommand +
              " per round, the servers taking turns every " + std::to_string(slice) + ")");
}

}  // namespace e2e
