// In-process benchmarks of the plug-in on the simulated platform: what a command, a library
// callback and a face payload cost on the calling thread, each set against a baseline measured in
// the same run (printed as ratios after the benchmark table).
//
// The log sink is the simulated logging service in one of its two real configurations: a log
// file (buffered; /dev/null here, so that a run of millions of lines leaves no file behind) and
// standard error (one write(2) per line; fd 2 points at /dev/null while those benchmarks run).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
#include "EmpLog.h"
#include "EmpProviderPlugin.h"
#include "face_recognition.h"
#include "TempDir.h"
#include "gxsim/Sim.h"

namespace {

enum Sink { kFileSink = 0, kStderrSink = 1 };

const char* SinkName(int sink) {
    return sink == kFileSink ? "file" : "stderr";
}

// Counts events; the plug-in calls it on whatever thread runs the callback.
class CountingSink : public kiv::IEmpEventSink {
public:
    void OnEmpEvent(kiv::CEmpEngineBase*, int, const std::string& name,
                    const std::string& data) override {
        bytes.fetch_add(name.size() + data.size(), std::memory_order_relaxed);
        count.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<uint64_t> count{0};
    std::atomic<uint64_t> bytes{0};
};

// The simulated platform in its default state, private files in a temporary directory, and the
// log sink chosen by the benchmark.
class Platform {
public:
    Platform() {
        ResetSimulator();
        m_SavedStderr = dup(STDERR_FILENO);
    }

    // Back to the default state with no live library instances. Engines share the motion
    // library's entry points, and the first one destroyed unloads them for all: the others'
    // motion handles then stay behind in the library, so a benchmark that builds several engines
    // starts from a clean library.
    void ResetSimulator() {
        gxsim::Reset();
        gxsim::SetSettingsPath(m_Dir / "settings.ini");
        gxsim::SetFaceImageDirectory(m_Dir / "faces");
    }
    ~Platform() {
        UseSink(kFileSink);
        gxsim::OpenLog("", nullptr);
        gxsim::Drain();
        gxsim::Reset();
        gxsim::SetSettingsPath("");
        if (m_SavedStderr >= 0) close(m_SavedStderr);
    }

    void UseSink(int sink) {
        if (sink == kFileSink) {
            gxsim::OpenLog("/dev/null", nullptr);
            dup2(m_SavedStderr, STDERR_FILENO);
        } else {
            gxsim::OpenLog("", nullptr);
            int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }

private:
    gxtest::TempDir m_Dir{"gxemp-bench"};
    int m_SavedStderr = -1;
};

Platform& P() {
    static Platform* p = new Platform;
    return *p;
}

kiv::CEmpAppGX& App() {
    P();
    static kiv::CEmpAppGX* app = new kiv::CEmpAppGX;
    return *app;
}

// ---- A command against its two mandatory log lines ---------------------------------------------

// The two lines every served command writes before it does anything else: the command name and
// its command line, with the plug-in's own format, tag, priority and colour.
void BM_TwoLogLines(benchmark::State& state) {
    P().UseSink(static_cast<int>(state.range(0)));
    const std::string cmd = "GetMotionBrightnessLevel";
    for (auto _ : state) {
        EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "Execute", "strCmd = %s", cmd.c_str());
        EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "Execute", "[%s] %s", "Execute", cmd.c_str());
    }
    gxsim::FlushLog();
    state.SetLabel(SinkName(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_TwoLogLines)->Arg(kFileSink)->Arg(kStderrSink);

// A command that calls into the simulated motion library and returns an integer.
void BM_Execute(benchmark::State& state) {
    P().UseSink(static_cast<int>(state.range(0)));
    std::unique_ptr<kiv::CEmpEngineBase> engine(App().CreateEmpEngine());
    CountingSink sink;
    engine->SetEventSink(&sink);
    std::string result;
    const std::string cmd = "GetMotionBrightnessLevel", none;
    for (auto _ : state) {
        result.clear();
        bool served = engine->Execute(result, cmd, none, none, none, none);
        benchmark::DoNotOptimize(served);
        benchmark::DoNotOptimize(result.data());
    }
    if (kiv::DecodeReturnValue(result).kind != kiv::EmpReturnValue::INTEGER)
        state.SkipWithError("the command did not return an integer");
    engine.reset();
    gxsim::ClearTrace();
    gxsim::FlushLog();
    state.SetLabel(SinkName(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_Execute)->Arg(kFileSink)->Arg(kStderrSink);

// What the simulated library call itself costs (its call trace included), through the entry
// point the plug-in bound: the part of Execute that is not the plug-in's.
void BM_LibraryCall(benchmark::State& state) {
    P().UseSink(kFileSink);
    std::unique_ptr<kiv::CEmpEngineBase> engine(App().CreateEmpEngine());
    std::vector<int> handles = gxsim::LiveMotionHandles();
    auto fn = kiv::CEmpProviderPlugin::gx_get_motion_brightness_level;
    if (handles.empty() || fn == nullptr) {
        state.SkipWithError("no motion library bound");
        return;
    }
    int level = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(handles.back(), &level));
    }
    engine.reset();
    gxsim::ClearTrace();
}
BENCHMARK(BM_LibraryCall);

// ---- Library callbacks -------------------------------------------------------------------------

// One motion signal handed to the library callback with N engines registered. The callback walks
// every engine; the one whose motion handle matches turns the signal into an event.
void BM_ProcessSignal(benchmark::State& state) {
    P().UseSink(kFileSink);
    const int n = static_cast<int>(state.range(0));
    P().ResetSimulator();
    CountingSink sink;
    std::vector<std::unique_ptr<kiv::CEmpEngineBase>> engines;
    for (int i = 0; i < n; ++i) {
        engines.emplace_back(App().CreateEmpEngine());
        engines.back()->SetEventSink(&sink);
    }
    std::vector<int> handles = gxsim::LiveMotionHandles();
    if (handles.size() != static_cast<size_t>(n)) {
        state.SkipWithError("not every engine has a motion handle");
        return;
    }
    // The engine built first is found last: the walk is the same length either way, and the
    // other engines each log the mismatch.
    const int handle = handles.front();
    char payload[] = "{\"x\":120,\"y\":80}";
    for (auto _ : state) {
        kiv::CEmpEngineGX::ProcessSignal(handle, 1005 /* grab */, payload, nullptr);
    }
    if (sink.count.load() != static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("not every signal became an event");
    engines.clear();
    gxsim::FlushLog();
    state.counters["engines"] = n;
}
BENCHMARK(BM_ProcessSignal)->Arg(1)->Arg(8)->Arg(64);

// ---- Face payloads -----------------------------------------------------------------------------

// Rendering the JSON payload of a face event (detection, training, recognition record).
void BM_FacePayload(benchmark::State& state) {
    P().UseSink(kFileSink);
    const int signal = static_cast<int>(state.range(0));
    std::unique_ptr<kiv::CEmpEngineBase> base(App().CreateEmpEngine());
    auto* engine = static_cast<kiv::CEmpEngineGX*>(base.get());
    gx_face_detect_data face{7, 320, 180, 96, 96};
    char path[] = "/var/lib/faces/face-0007.jpg";
    gx_face_recog_result record{};
    record.id = 7;
    record.x = 320;
    record.y = 180;
    record.w = 96;
    record.h = 96;
    record.imageFilePath = path;
    void* data = signal == GX_FACE_SIGNAL_DETECT_FACE ? static_cast<void*>(&face)
                                                      : static_cast<void*>(&record);
    std::string payload;
    for (auto _ : state) {
        payload.clear();
        engine->GetFaceResult(payload, signal, data);
        benchmark::DoNotOptimize(payload.data());
    }
    if (payload.empty()) state.SkipWithError("no payload rendered");
    state.SetLabel(signal == GX_FACE_SIGNAL_DETECT_FACE    ? "detection"
                   : signal == GX_FACE_SIGNAL_TRAIN_RESULT ? "training"
                                                           : "recognition");
    state.counters["bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_FacePayload)
    ->Arg(GX_FACE_SIGNAL_DETECT_FACE)
    ->Arg(GX_FACE_SIGNAL_TRAIN_RESULT)
    ->Arg(GX_FACE_SIGNAL_RECOGNITION_RESULT);

// Baseline for the callback: one log line of the plug-in's format.
void BM_OneLogLine(benchmark::State& state) {
    P().UseSink(kFileSink);
    for (auto _ : state) {
        EMP_LOG_FN(EMP_PRIO_TRACE, EMP_COLOR_YELLOW, "ProcessSignal", "pThis[%p]",
                   static_cast<void*>(&state));
    }
    gxsim::FlushLog();
}
BENCHMARK(BM_OneLogLine);

// ---- Ratios ------------------------------------------------------------------------------------

// Prints the usual table and keeps each benchmark's time per iteration (the median when
// repetitions are asked for) so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        // Of the aggregates of repeated runs only the median is shown (and used).
        std::vector<Run> shown;
        for (const Run& run : runs)
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name == "median")
                shown.push_back(run);
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name != "median") continue;
                m_Median[name] = run.GetAdjustedRealTime();
            } else {
                m_Single[name] = run.GetAdjustedRealTime();
            }
        }
    }

    double Ns(const std::string& name) const {
        auto it = m_Median.find(name);
        if (it != m_Median.end()) return it->second;
        it = m_Single.find(name);
        return it != m_Single.end() ? it->second : -1.0;
    }

    void PrintRatios() const {
        struct Row {
            const char* what;
            std::string num, den;
            const char* target;
            double limit;  // ratio at most this (0: no target)
        };
        const std::string file = "/0", err = "/1";
        const Row rows[] = {
            {"Execute / its two log lines (file sink)", "BM_Execute" + file,
             "BM_TwoLogLines" + file, "<= 1.30", 1.30},
            {"Execute / its two log lines (stderr sink)", "BM_Execute" + err,
             "BM_TwoLogLines" + err, "", 0},
            {"simulated library call / one log line", "BM_LibraryCall", "BM_OneLogLine", "", 0},
            {"two log lines: stderr / file sink", "BM_TwoLogLines" + err, "BM_TwoLogLines" + file,
             "", 0},
            {"ProcessSignal, 1 engine / one log line", "BM_ProcessSignal/1", "BM_OneLogLine", "",
             0},
            {"ProcessSignal, 8 / 1 engines", "BM_ProcessSignal/8", "BM_ProcessSignal/1", "", 0},
            {"ProcessSignal, 64 / 8 engines", "BM_ProcessSignal/64", "BM_ProcessSignal/8", "", 0},
            {"face payload (recognition) / one log line", "BM_FacePayload/3", "BM_OneLogLine", "",
             0},
        };
        std::printf("\n%-46s %12s %12s %8s %8s\n", "ratio", "ns", "baseline ns", "ratio", "target");
        for (const Row& row : rows) {
            double a = Ns(row.num), b = Ns(row.den);
            if (a < 0 || b <= 0) continue;
            double ratio = a / b;
            std::string verdict = row.target;
            if (row.limit > 0) verdict += ratio <= row.limit ? " met" : " MISSED";
            std::printf("%-46s %12.1f %12.1f %8.2f %s\n", row.what, a, b, ratio, verdict.c_str());
        }
        // What the plug-in adds on its own: Execute without the simulated library's share.
        double exec = Ns("BM_Execute" + file), lib = Ns("BM_LibraryCall"),
               two = Ns("BM_TwoLogLines" + file);
        if (exec > 0 && lib > 0 && two > 0)
            std::printf("%-46s %12.1f %12.1f %8.2f\n", "(Execute - library call) / two log lines",
                        exec - lib, two, (exec - lib) / two);
        std::fflush(stdout);
    }

private:
    std::map<std::string, double> m_Median, m_Single;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
