// How punctually gxempctl play keeps a scenario's time, against a baseline measured in the same
// run. Starts its own gxemp on a private socket and drives it with the real gxempctl.
//
//   gxemp_bench_scenario [--quick] [--rounds N] [--seconds S] [--events N]
//
// 1. Lateness: a scenario of 100 gestures per second (each with its expect-event) is played;
//    each gesture's lateness is its printed send time minus its scheduled time. Baseline: a bare
//    sd-event loop with the same timers (monotonic clock, 1 µs accuracy) doing nothing but
//    measuring its own lateness, run in the same rounds. Reported as p50/p99/max and as ratios.
// 2. Gaps: a driver scenario sends gestures at irregular gaps while gxempctl record records them;
//    the recording is then played back. Error of each gap between consecutive events: recorded
//    against driven (the baseline: the same path once), and played back against recorded.
//
// Nothing here fails on a time: the program prints figures and whether each target was met, and
// exits non-zero only when it could not measure.
#include <fcntl.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Json.h"
#include "gxhost/BusRef.h"
#include "ServiceProcess.h"

namespace {

struct Settings {
    int rounds = 3;
    double seconds = 10;  // of gestures at 100 per second, per round
    int events = 200;     // of the gap run
} g_Set;

[[noreturn]] void Die(const std::string& what) {
    throw std::runtime_error(what);
}

uint64_t NowUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// Figures in milliseconds.
struct Figures {
    double p50 = 0, p99 = 0, max = 0;
};

Figures Summary(std::vector<double> ms) {
    if (ms.empty()) Die("no samples");
    std::sort(ms.begin(), ms.end());
    auto rank = [&](double p) {
        size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(ms.size()))) - 1;
        return ms[std::min(i, ms.size() - 1)];
    };
    return {rank(0.50), rank(0.99), ms.back()};
}

void PrintRow(const char* what, const Figures& f) {
    std::printf("  %-34s %9.3f ms %9.3f ms %9.3f ms\n", what, f.p50, f.p99, f.max);
}

void PrintRatio(const char* what, const Figures& a, const Figures& b) {
    std::printf("  %-34s %12.1f %12.1f %12.1f\n", what, a.p50 / b.p50, a.p99 / b.p99,
                a.max / b.max);
}

// ---- The service -------------------------------------------------------------------------------

// Runs gxempctl against the service; its output when it succeeds.
std::string Ctl(const gxtest::Service& service, const std::vector<std::string>& args) {
    gxtest::ProcessResult r = service.Ctl(args);
    if (r.status != 0) Die("gxempctl " + args[0] + " failed:\n" + r.out + r.err);
    return r.out;
}

std::string PathIn(const gxtest::Service& service, const std::string& name) {
    return service.dir() + "/" + name;
}

// ---- Lateness ----------------------------------------------------------------------------------

// The baseline: a bare sd-event loop on the same schedule, measuring its own lateness.
std::vector<double> TimerLateness(int steps) {
    struct Run {
        std::vector<uint64_t> due;
        size_t next = 0;
        std::vector<double> late;
    } run;
    uint64_t start = NowUsec() + 10000;
    for (int i = 0; i < steps; ++i) run.due.push_back(start + static_cast<uint64_t>(i) * 10000);
    gxhost::EventRef event;
    sd_event_new(event.out());
    gxhost::EventSourceRef timer;  // released before its loop
    sd_event_add_time(
        event.get(), timer.out(), CLOCK_MONOTONIC, run.due[0], 1,
        [](sd_event_source* s, uint64_t, void* userdata) {
            auto* r = static_cast<Run*>(userdata);
            r->late.push_back(static_cast<double>(NowUsec() - r->due[r->next]) / 1000.0);
            if (++r->next == r->due.size()) return sd_event_exit(sd_event_source_get_event(s), 0);
            sd_event_source_set_time(s, r->due[r->next]);
            return sd_event_source_set_enabled(s, SD_EVENT_ONESHOT);
        },
        &run);
    sd_event_loop(event.get());
    return run.late;
}

const char kSubscribe[] =
    R"({"at":0,"command":["SetMotionSubscribeInfo","b",{"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]}],"expect":{"served":true,"result":1}})";

std::vector<double> PlayLateness(const gxtest::Service& service, int steps) {
    std::ofstream file(PathIn(service, "steps.jsonl"));
    file << kSubscribe << "\n";
    for (int i = 0; i < steps; ++i) {
        // Start after the subscription has settled; then one gesture every 10 ms.
        char at[32];
        std::snprintf(at, sizeof at, "%.2f", 0.2 + i * 0.01);
        file << R"({"at":)" << at << R"(,"gesture":"EVENT_MOTION_GRAB","data":"step )" << i
             << "\"}\n"
             << R"({"at":)" << at
             << R"(,"expect-event":{"name":"EVENT_MOTION_GRAB-b","data":"step )" << i << "\"}}\n";
    }
    file.close();
    std::vector<double> late;
    for (const Json::Value& v :
         gxtest::JsonLines(Ctl(service, {"play", PathIn(service, "steps.jsonl")})))
        if (v["type"] == "step" && v.isMember("gesture"))
            late.push_back((v["time"].asDouble() - v["at"].asDouble()) * 1000.0);
    if (late.size() != static_cast<size_t>(steps)) Die("play printed too few steps");
    return late;
}

void Lateness(const gxtest::Service& service) {
    int steps = static_cast<int>(g_Set.seconds * 100);
    std::vector<double> timer, play;
    for (int round = 0; round < g_Set.rounds; ++round) {
        std::vector<double> t = TimerLateness(steps), p = PlayLateness(service, steps);
        timer.insert(timer.end(), t.begin(), t.end());
        play.insert(play.end(), p.begin(), p.end());
    }
    Figures t = Summary(timer), p = Summary(play);
    std::printf("=== lateness of each step at 100 steps/s (%d steps x %d rounds)\n", steps,
                g_Set.rounds);
    std::printf("  %-34s %12s %12s %12s\n", "", "p50", "p99", "max");
    PrintRow("bare sd-event timer (baseline)", t);
    PrintRow("gxempctl play, gesture steps", p);
    PrintRatio("ratio play / baseline", p, t);
    std::printf("  target: p99 within 2 ms: %s\n", p.p99 <= 2.0 ? "met" : "NOT met");
}

// ---- Gaps of a recording played back ---------------------------------------------------------

// Drives gestures at irregular gaps while gxempctl record records them, then plays the recording
// back: the times driven, recorded and played back.
struct Times {
    std::vector<double> driven, recorded, played;
};

Times DriveRecordAndPlayBack(const gxtest::Service& service) {
    // Irregular gaps from 5 to 120 ms, the same in every run.
    const double kGaps[] = {0.010, 0.023, 0.047, 0.005, 0.120, 0.031, 0.015, 0.066};
    Times times;
    std::ofstream file(PathIn(service, "driver.jsonl"));
    double at = 0;
    for (int i = 0; i < g_Set.events; ++i) {
        char line[128];
        std::snprintf(line, sizeof line,
                      R"({"at":%.6f,"gesture":"EVENT_MOTION_GRAB","data":"event %d"})", at, i);
        file << line << "\n";
        times.driven.push_back(std::round(at * 1e6) / 1e6);
        at += kGaps[i % 8];
    }
    file.close();
    gxtest::SpawnOptions o;
    o.out = o.err = open(PathIn(service, "rec.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_t rec = gxtest::Spawn(
        {GXEMPCTL_BIN, "--address", service.address(), "record", PathIn(service, "rec.jsonl"),
         "--widget", "b", "--count", std::to_string(g_Set.events), "--duration", "120"},
        o);
    close(o.out);
    gxtest::WaitUntil(
        [&] {
            return gxtest::ReadFile(PathIn(service, "rec.out")).find("subscribed") !=
                   std::string::npos;
        },
        5000);
    Ctl(service, {"play", PathIn(service, "driver.jsonl")});
    if (gxtest::WaitExit(rec) != 0)
        Die("record failed: " + gxtest::ReadFile(PathIn(service, "rec.out")));
    for (const Json::Value& v : gxtest::JsonLines(gxtest::ReadFile(PathIn(service, "rec.jsonl"))))
        if (v.isMember("gesture")) times.recorded.push_back(v["at"].asDouble());
    for (const Json::Value& v :
         gxtest::JsonLines(Ctl(service, {"play", PathIn(service, "rec.jsonl")})))
        if (v["type"] == "event") times.played.push_back(v["time"].asDouble());
    if (times.recorded.size() != times.driven.size() || times.played.size() != times.driven.size())
        Die("events were lost between driver, recording and playback");
    return times;
}

void Gaps(const gxtest::Service& service) {
    Times t = DriveRecordAndPlayBack(service);
    std::vector<double> recordError, playError;
    for (size_t i = 1; i < t.driven.size(); ++i) {
        double drivenGap = t.driven[i] - t.driven[i - 1];
        double recordedGap = t.recorded[i] - t.recorded[i - 1];
        recordError.push_back(std::fabs(recordedGap - drivenGap) * 1000.0);
        playError.push_back(std::fabs(t.played[i] - t.played[i - 1] - recordedGap) * 1000.0);
    }
    Figures r = Summary(recordError), p = Summary(playError);
    std::printf("=== error of the gaps between events (%zu gaps of 5 to 120 ms)\n",
                recordError.size());
    std::printf("  %-34s %12s %12s %12s\n", "", "p50", "p99", "max");
    PrintRow("recorded vs driven (baseline)", r);
    PrintRow("played back vs recorded", p);
    PrintRatio("ratio played / baseline", p, r);
    std::printf("  target: p99 within 5 ms: %s\n", p.p99 <= 5.0 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            g_Set.rounds = 1;
            g_Set.seconds = 1;
            g_Set.events = 20;
        } else if (a == "--rounds" && i + 1 < argc) {
            g_Set.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--seconds" && i + 1 < argc) {
            g_Set.seconds = std::max(0.1, std::atof(argv[++i]));
        } else if (a == "--events" && i + 1 < argc) {
            g_Set.events = std::max(2, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--rounds N] [--seconds S] [--events N]\n",
                         argv[0]);
            return 2;
        }
    }
    try {
        gxtest::Service service;
        Lateness(service);
        Gaps(service);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gxemp_bench_scenario: %s\n", e.what());
        return 1;
    }
    return 0;
}
