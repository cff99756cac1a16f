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
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>
#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

// ---- Processes ---------------------------------------------------------------------------------

// Runs a program with standard output and error into the file `out`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out) {
    pid_t pid = fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<Json::Value> JsonLines(const std::string& path) {
    std::vector<Json::Value> lines;
    std::ifstream in(path);
    Json::CharReaderBuilder builder;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream one(line);
        Json::Value v;
        if (!Json::parseFromStream(builder, one, &v, nullptr)) Die("not JSON: " + line);
        lines.push_back(v);
    }
    return lines;
}

class Bench {
public:
    Bench() {
        char tmpl[] = "/tmp/gxemp-bench-scenario-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) Die("mkdtemp failed");
        m_Dir = tmpl;
        m_Address = "unix:path=" + m_Dir + "/host.sock";
        m_Service = Spawn({GXEMP_BIN, "--address", m_Address, "--log", m_Dir + "/gxemp.log",
                           "--settings", m_Dir + "/settings.ini"},
                          m_Dir + "/gxemp.out");
        for (int i = 0; i < 100; ++i) {
            if (Ctl({"info"}, "info.out") == 0) return;
            usleep(50000);
        }
        Die("the service did not start (see " + m_Dir + ")");
    }
    ~Bench() {
        kill(m_Service, SIGTERM);
        Wait(m_Service);
        std::error_code ec;
        std::filesystem::remove_all(m_Dir, ec);
    }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string Read(const std::string& name) const {
        std::stringstream text;
        text << std::ifstream(Path(name)).rdbuf();
        return text.str();
    }

    int Ctl(std::vector<std::string> args, const std::string& out) {
        return Wait(StartCtl(std::move(args), out));
    }
    pid_t StartCtl(std::vector<std::string> args, const std::string& out) {
        args.insert(args.begin(), {GXEMPCTL_BIN, "--address", m_Address});
        return Spawn(args, Path(out));
    }

private:
    std::string m_Dir, m_Address;
    pid_t m_Service = -1;
};

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
    sd_event* event = nullptr;
    sd_event_new(&event);
    sd_event_source* timer = nullptr;
    sd_event_add_time(
        event, &timer, CLOCK_MONOTONIC, run.due[0], 1,
        [](sd_event_source* s, uint64_t, void* userdata) {
            auto* r = static_cast<Run*>(userdata);
            r->late.push_back(static_cast<double>(NowUsec() - r->due[r->next]) / 1000.0);
            if (++r->next == r->due.size()) return sd_event_exit(sd_event_source_get_event(s), 0);
            sd_event_source_set_time(s, r->due[r->next]);
            return sd_event_source_set_enabled(s, SD_EVENT_ONESHOT);
        },
        &run);
    sd_event_loop(event);
    sd_event_source_unref(timer);
    sd_event_unref(event);
    return run.late;
}

const char kSubscribe[] =
    R"({"at":0,"command":["SetMotionSubscribeInfo","b",{"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]}],"expect":{"served":true,"result":1}})";

std::vector<double> PlayLateness(Bench& bench, int steps) {
    std::ofstream file(bench.Path("steps.jsonl"));
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
    if (bench.Ctl({"play", bench.Path("steps.jsonl")}, "steps.out") != 0)
        Die("play failed: see " + bench.Path("steps.out"));
    std::vector<double> late;
    for (const Json::Value& v : JsonLines(bench.Path("steps.out")))
        if (v["type"] == "step" && v.isMember("gesture"))
            late.push_back((v["time"].asDouble() - v["at"].asDouble()) * 1000.0);
    if (late.size() != static_cast<size_t>(steps)) Die("play printed too few steps");
    return late;
}

void Lateness(Bench& bench) {
    int steps = static_cast<int>(g_Set.seconds * 100);
    std::vector<double> timer, play;
    for (int round = 0; round < g_Set.rounds; ++round) {
        std::vector<double> t = TimerLateness(steps), p = PlayLateness(bench, steps);
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

void Gaps(Bench& bench) {
    // Irregular gaps from 5 to 120 ms, the same in every run.
    const double kGaps[] = {0.010, 0.023, 0.047, 0.005, 0.120, 0.031, 0.015, 0.066};
    std::vector<double> driven;
    std::ofstream file(bench.Path("driver.jsonl"));
    double at = 0;
    for (int i = 0; i < g_Set.events; ++i) {
        char line[128];
        std::snprintf(line, sizeof line,
                      R"({"at":%.6f,"gesture":"EVENT_MOTION_GRAB","data":"event %d"})", at, i);
        file << line << "\n";
        driven.push_back(std::round(at * 1e6) / 1e6);
        at += kGaps[i % 8];
    }
    file.close();
    pid_t rec = bench.StartCtl({"record", bench.Path("rec.jsonl"), "--widget", "b", "--count",
                                std::to_string(g_Set.events), "--duration", "120"},
                               "rec.out");
    for (int i = 0; i < 250 && bench.Read("rec.out").find("subscribed") == std::string::npos; ++i)
        usleep(20000);
    if (bench.Ctl({"play", bench.Path("driver.jsonl")}, "driver.out") != 0)
        Die("the driver failed: see " + bench.Path("driver.out"));
    if (Wait(rec) != 0) Die("record failed: see " + bench.Path("rec.out"));
    if (bench.Ctl({"play", bench.Path("rec.jsonl")}, "replay.out") != 0)
        Die("the recording did not play back: see " + bench.Path("replay.out"));

    std::vector<double> recorded, played;
    for (const Json::Value& v : JsonLines(bench.Path("rec.jsonl")))
        if (v.isMember("gesture")) recorded.push_back(v["at"].asDouble());
    for (const Json::Value& v : JsonLines(bench.Path("replay.out")))
        if (v["type"] == "event") played.push_back(v["time"].asDouble());
    if (recorded.size() != driven.size() || played.size() != driven.size())
        Die("events were lost between driver, recording and playback");
    std::vector<double> recordError, playError;
    for (size_t i = 1; i < driven.size(); ++i) {
        double drivenGap = driven[i] - driven[i - 1], recordedGap = recorded[i] - recorded[i - 1];
        recordError.push_back(std::fabs(recordedGap - drivenGap) * 1000.0);
        playError.push_back(std::fabs(played[i] - played[i - 1] - recordedGap) * 1000.0);
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
        Bench bench;
        Lateness(bench);
        Gaps(bench);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gxemp_bench_scenario: %s\n", e.what());
        return 1;
    }
    return 0;
}
