// Footprint: the proportional set size of each server idle, with one client, with sixteen, and
// once one of them has made many calls (what the server keeps per call must be bounded).
#include <unistd.h>

#include <map>
#include <memory>
#include <tuple>

#include "E2EBench.h"

namespace e2e {
namespace {

struct Sample {
    double idle, idleAnon, one, all, allAnon, worker, workerAnon, busy;
};

const int kClients = 16;
// The calls one client makes before the last figure; a smoke run (--quick) only passes through.
int BusyCalls() {
    return g_Set.quick ? 100 : 20000;
}

Sample Measure(Kind k) {
    Server server(k);
    server.Start();
    usleep(200000);
    Sample s{};
    std::tie(s.idle, s.idleAnon) = server.Pss();
    std::vector<std::unique_ptr<gxtest::Client>> clients;
    uint32_t engine = 0;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<gxtest::Client>(server.address(), ClientOptions(true)));
        uint32_t opened = clients.back()->Open("bench");
        if (i == 0) {
            engine = opened;
            usleep(100000);
            s.one = server.TotalPss().first;
            for (pid_t w : server.Workers())
                if (!gxtest::IsWorkerTemplate(w)) {
                    std::tie(s.worker, s.workerAnon) = PssOf(w);
                    break;
                }
        }
    }
    usleep(200000);
    std::tie(s.all, s.allAnon) = server.TotalPss();
    for (int i = 0; i < BusyCalls(); ++i) clients[0]->Execute(engine, "GetMotionBrightnessLevel");
    s.busy = server.TotalPss().first;
    clients.clear();
    server.Stop();
    return s;
}

}  // namespace

void FootprintSection() {
    std::map<Kind, std::vector<Sample>> samples;
    for (int round = 0; round < g_Set.repeat; ++round)
        for (Kind k : {Kind::Sdbus, Kind::GxempSingle, Kind::Gxemp, Kind::GxempExec})
            samples[k].push_back(Measure(k));
    auto med = [&](Kind k, double Sample::*field) {
        std::vector<double> v;
        for (const Sample& s : samples[k]) v.push_back(s.*field);
        return Median(v);
    };
    auto further = [&](Kind k) {
        std::vector<double> v;
        for (const Sample& s : samples[k]) v.push_back((s.all - s.one) / (kClients - 1));
        return Median(v);
    };
    double bareIdle = med(Kind::Sdbus, &Sample::idle);
    double single = med(Kind::GxempSingle, &Sample::idle);
    AddRow("PSS idle, gxemp --single-process vs bare sd-bus server", single, bareIdle, "KiB",
           "<= 1.30x", single / bareIdle <= 1.3);
    AddRow("Pss_Anon idle, --single-process", med(Kind::GxempSingle, &Sample::idleAnon),
           med(Kind::Sdbus, &Sample::idleAnon), "KiB", "< 1024 KiB",
           med(Kind::GxempSingle, &Sample::idleAnon) < 1024);
    AddRow("PSS idle, gxemp broker", med(Kind::Gxemp, &Sample::idle), bareIdle, "KiB");
    AddRow("Pss_Anon idle, broker", med(Kind::Gxemp, &Sample::idleAnon),
           med(Kind::Sdbus, &Sample::idleAnon), "KiB");
    AddRow("PSS of a worker holding one engine (baseline: exec'd)",
           med(Kind::Gxemp, &Sample::worker), med(Kind::GxempExec, &Sample::worker), "KiB");
    AddRow("Pss_Anon of that worker", med(Kind::Gxemp, &Sample::workerAnon),
           med(Kind::GxempExec, &Sample::workerAnon), "KiB");
    for (Kind k : {Kind::GxempSingle, Kind::Gxemp, Kind::GxempExec}) {
        std::string who = KindName(k);
        AddRow(who + ": PSS with 1 client holding an engine", med(k, &Sample::one),
               med(Kind::Sdbus, &Sample::one), "KiB");
        AddRow("  PSS with 16 clients holding engines", med(k, &Sample::all),
               med(Kind::Sdbus, &Sample::all), "KiB");
        AddRow("  Pss_Anon with 16 clients", med(k, &Sample::allAnon),
               med(Kind::Sdbus, &Sample::allAnon), "KiB");
        AddRow("  PSS of each further client (2nd..16th)", further(k), further(Kind::Sdbus), "KiB");
        AddRow("  PSS with 16 clients, once one made " + std::to_string(BusyCalls()) + " calls",
               med(k, &Sample::busy), med(k, &Sample::all), "KiB");
    }
    PrintRows(
        "Footprint (/proc/PID/smaps_rollup of the server and its workers; baseline: the bare "
        "sd-bus server, whose clients call its Open)");
}

}  // namespace e2e
