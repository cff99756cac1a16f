// Engines built and torn down while recognition-library threads keep calling back.
//
// The framework thread (this test's main thread) creates and destroys engines, replaces their
// widget names and creates and destroys face handles, as the host's loop thread would. Meanwhile
// library threads call CEmpEngineGX::ProcessSignal directly, and one more drives the simulated
// libraries, whose own delivery thread calls back. Every call carries a unique tag (thread,
// sequence) in its payload; each engine's sink checks, as an event arrives, that the engine is
// alive, that the event is its own, that the name fits the signal with a widget name no older than
// the one in force when the call was made, and that the tag was not delivered before. Two anchor
// engines live through the whole run: every event aimed at them must arrive exactly once.
//
// GXEMP_STRESS_SECONDS (default 2), GXEMP_STRESS_THREADS (default 3) and GXEMP_STRESS_SEED
// (default: from the clock, printed) change the run.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
#include "gesture_bridge.h"
#include "gxsim/Sim.h"

namespace {

int Env(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

const std::map<int, std::string> kNames = {
    {1000, "EVENT_MOTION_SLAP_LEFT"},   {1001, "EVENT_MOTION_SLAP_RIGHT"},
    {1002, "EVENT_MOTION_SLAP_UP"},     {1003, "EVENT_MOTION_SLAP_DOWN"},
    {1004, "EVENT_MOTION_CIRCLE"},      {1005, "EVENT_MOTION_GRAB"},
    {1007, "EVENT_MOTION_UNGRAB"},      {1015, "EVENT_MOTION_PRIMARY_HAND_LOST"},
    {1024, "EVENT_MOTION_RAW_DATA"},    {1028, "EVENT_MOTION_BEGIN_MONITOR"},
    {1029, "EVENT_MOTION_END_MONITOR"},
};
// Named signals first, then silent ones in range and ones out of range.
const int kSignals[] = {1000, 1001, 1002, 1003, 1004, 1005, 1007, 1015,
                        1024, 1028, 1029, 1006, 1030, 999,  1035, -1};

std::mutex g_FailLock;
std::vector<std::string> g_Failures;
void Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_FailLock);
    g_Failures.push_back(what);
}

// A motion payload "<thread> <sequence> <signal> <handle or 0> <oldest widget version>".
std::string Tag(int thread, long long seq, int signal, int handle, int minVersion) {
    return std::to_string(thread) + " " + std::to_string(seq) + " " + std::to_string(signal) + " " +
           std::to_string(handle) + " " + std::to_string(minVersion);
}

// An engine as the test knows it; its sink checks every event as it arrives.
struct Engine : kiv::IEmpEventSink {
    int id = 0, motion = 0;
    kiv::CEmpEngineBase* engine = nullptr;
    // The framework thread raises maxVersion before it replaces the widget name e<id>v<version>,
    // and minVersion after.
    std::atomic<int> minVersion{0}, maxVersion{0};
    std::atomic<bool> destroyed{false};
    std::mutex lock;
    std::set<int> faces;  // every face handle it held (a destroyed one still routes)
    std::set<std::pair<long long, long long>> seen;
    uint64_t delivered = 0;

    std::string Widget(int v) const { return "e" + std::to_string(id) + "v" + std::to_string(v); }

    void OnEmpEvent(kiv::CEmpEngineBase* from, int code, const std::string& name,
                    const std::string& data) override {
        const std::string what = Widget(maxVersion) + " got " + name + " [" + data + "]: ";
        if (destroyed || from != engine) Fail(what + "destroyed, or not the sender");
        long long thread = -1, seq = -1, handle = -1, min = 0, signal = 0;
        std::lock_guard<std::mutex> guard(lock);
        if (code == 6511) {
            std::sscanf(data.c_str(), "%lld %lld %lld %lld %lld", &thread, &seq, &signal, &handle,
                        &min);
            auto named = kNames.find(static_cast<int>(signal));
            const std::string prefix =
                (named == kNames.end() ? "?" : named->second) + "-e" + std::to_string(id) + "v";
            long long version = name.rfind(prefix, 0) == 0 ? std::atoll(&name[prefix.size()]) : -1;
            if (version < min || version > maxVersion) Fail(what + "wrong name or widget");
            if (handle != 0 && handle != motion) Fail(what + "not its handle");
        } else if (code != 6512 || name != "EVENT_FR_DETECT_FACE") {
            Fail(what + "unexpected event");
        } else {
            // A detection record: nDetectID the sequence, x the thread, y the face handle or -1.
            std::sscanf(data.c_str(),
                        "{ \"detectResult\" : [ { \"h\" : %*d, \"nDetectID\" : %lld, "
                        "\"w\" : %*d, \"x\" : %lld, \"y\" : %lld",
                        &seq, &thread, &handle);
            if (handle != -1 && faces.count(static_cast<int>(handle)) == 0)
                Fail(what + "not its face");
        }
        if (!seen.insert({thread, seq}).second) Fail(what + "delivered twice");
        ++delivered;
    }
};

// What a library thread may aim at: an engine and its face handle as the framework published them.
struct Target {
    std::shared_ptr<Engine> engine;
    int face;
};

class EngineChurnStress : public ::testing::Test {
protected:
    void SetUp() override {
        gxsim::Reset();
        gxsim::SetLogQuiet(true);
        // The motion library as the test sees it, to reclaim instances teardown leaves behind.
        m_Library = dlopen(GXEMP_TEST_MOTION_LIB, RTLD_NOW);
        ASSERT_NE(m_Library, nullptr) << dlerror();
        m_Destroy = reinterpret_cast<gx_motion_recog_destroy_t>(
            dlsym(m_Library, "gx_motion_recog_destroy"));
    }
    void TearDown() override {
        dlclose(m_Library);
        gxsim::Reset();
    }
    static int Run(Engine& e, const std::string& cmd, const std::string& arg1 = "",
                   const std::string& arg2 = "{}") {
        std::string result;
        e.engine->Execute(result, cmd, arg1, arg2, "", "");
        return kiv::DecodeReturnValue(result).integer;
    }
    // Builds an engine with a handle of its own and subscribes every named signal for it.
    std::shared_ptr<Engine> Create() {
        auto e = std::make_shared<Engine>();
        e->id = static_cast<int>(m_Engines.size()) + 1;
        e->motion = 100000 + e->id;
        gxsim::SetNextMotionHandle(e->motion);
        e->engine = m_App.CreateEmpEngine();
        e->engine->SetEventSink(e.get());
        std::string list = R"({"motionEventList":[)";
        for (const auto& [signal, name] : kNames) list += R"({"itemType":")" + name + "\"},";
        list.back() = ']';
        if (Run(*e, "SetMotionSubscribeInfo", e->Widget(0), list + "}") != 1) Fail("subscription");
        m_Engines.push_back(e);
        return e;
    }
    int CreateFace(Engine& e) {
        gxsim::SetNextFaceHandle(++m_Faces);
        {
            std::lock_guard<std::mutex> guard(e.lock);
            e.faces.insert(m_Faces);  // before the engine can route with it
        }
        if (Run(e, "InitializeFace") != 1 || Run(e, "SubscribeFaceEvent") != 1) Fail("face handle");
        return m_Faces;
    }
    void Rename(Engine& e) {
        Run(e, "SubscribeMotionEvent", e.Widget(++e.maxVersion));
        e.minVersion = e.maxVersion.load();
    }
    // An engine destroyed after another one cannot destroy its motion instance (the entry points
    // are process-wide and the other teardown cleared them): the library keeps it subscribed and
    // its signals find no engine. The test reclaims it so the library's work stays bounded.
    void Destroy(Engine& e) {
        e.engine->Destroy();
        e.destroyed = true;
        for (int live : gxsim::LiveMotionHandles())
            if (live == e.motion) m_Destroy(live);
    }

    kiv::CEmpAppGX m_App;
    void* m_Library = nullptr;
    gx_motion_recog_destroy_t m_Destroy = nullptr;
    std::vector<std::shared_ptr<Engine>> m_Engines;
    int m_Faces = 200000;
};

TEST_F(EngineChurnStress, EveryEventReachesItsLiveEngineOnce) {
    const int seconds = Env("GXEMP_STRESS_SECONDS", 2);
    const int threads = std::max(1, Env("GXEMP_STRESS_THREADS", 3));
    const unsigned seed = Env("GXEMP_STRESS_SEED", static_cast<int>(time(nullptr) & 0xffff));
    std::printf("stress: %d s, %d library threads, seed %u\n", seconds, threads, seed);

    // Anchors first, each subscribed while it is the newest engine, then four churned slots.
    std::vector<std::shared_ptr<const Target>> slots(6);
    std::shared_ptr<Engine> anchors[2];
    for (int a = 0; a < 2; ++a) {
        anchors[a] = Create();
        slots[a] = std::make_shared<const Target>(Target{anchors[a], CreateFace(*anchors[a])});
    }
    std::atomic<uint64_t> expected[2] = {{0}, {0}};
    std::atomic<bool> stop{false};

    std::vector<std::thread> workers;
    for (int t = 0; t <= threads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 rng(seed + 17u * static_cast<unsigned>(t + 1));
            for (long long seq = 1; !stop; ++seq) {
                if (t == threads) {  // through the simulated libraries and their delivery thread
                    const int signal = kSignals[rng() % 11];
                    if (rng() % 2)
                        gxsim::EmitMotionSignal(signal, Tag(t, seq, signal, 0, 0));
                    else
                        gxsim::EmitFaceSignal(
                            0, gxsim::FaceRecord{static_cast<int>(seq), std::nullopt, t, -1, 0, 0});
                    expected[0]++, expected[1]++;       // anchors take every face and named signal
                    if (seq % 64 == 0) gxsim::Drain();  // keeps the delivery queue short
                    continue;
                }
                std::shared_ptr<const Target> target =
                    std::atomic_load(&slots[rng() % slots.size()]);
                Engine* e = target ? target->engine.get() : nullptr;
                const int a = e == anchors[0].get() ? 0 : e == anchors[1].get() ? 1 : -1;
                const int signal = kSignals[rng() % std::size(kSignals)];
                std::string text =
                    Tag(t, seq, signal, e ? e->motion : 0, e ? e->minVersion.load() : 0);
                if (e == nullptr) {  // nobody's handle: the walk must find nothing
                    kiv::CEmpEngineGX::ProcessSignal(static_cast<int>(900 + rng() % 50), signal,
                                                     &text[0], nullptr);
                } else if (target->face != 0 && rng() % 3 == 0) {
                    gx_face_detect_data face{static_cast<int>(seq), t, target->face, 0, 0};
                    kiv::CEmpEngineGX::ProcessSignal(target->face, 0, &face, nullptr);
                    if (a >= 0) expected[a]++;
                } else {
                    kiv::CEmpEngineGX::ProcessSignal(e->motion, signal, &text[0], nullptr);
                    if (a >= 0 && kNames.count(signal) != 0) expected[a]++;
                }
            }
        });
    }

    // The framework thread: churn until the deadline.
    std::mt19937 rng(seed ^ 0x5eedu);
    std::shared_ptr<Engine> churn[4];
    int faces[4] = {0, 0, 0, 0};
    size_t ops = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end; ++ops) {
        const size_t s = rng() % 4;
        std::shared_ptr<Engine>& e = churn[s];
        const unsigned op = rng() % 5;
        if (op == 0 && e) {
            Destroy(*e);
            e.reset();
        } else if (op == 0) {
            e = Create();
            faces[s] = rng() % 2 ? CreateFace(*e) : 0;
        } else if (op == 1) {
            Rename(e ? *e : *anchors[rng() % 2]);
        } else if (op == 2 && e && faces[s] != 0 && rng() % 2) {
            Run(*e, "DestroyFace");  // the engine keeps the value: signals still route to it
        } else if (op == 2 && e) {
            faces[s] = CreateFace(*e);
        }
        std::atomic_store(&slots[2 + s],
                          e ? std::make_shared<const Target>(Target{e, faces[s]}) : nullptr);
    }
    stop = true;
    for (std::thread& w : workers) w.join();
    gxsim::Drain();

    for (int a = 0; a < 2; ++a) EXPECT_EQ(anchors[a]->delivered, expected[a]) << "anchor " << a;
    uint64_t delivered = 0;
    for (auto& e : m_Engines) {
        if (!e->destroyed) Destroy(*e);
        delivered += e->delivered;
    }
    std::printf("stress: %zu framework operations, %zu engines, %llu events\n", ops,
                m_Engines.size(), static_cast<unsigned long long>(delivered));
    EXPECT_EQ(g_Failures.size(), 0u) << (g_Failures.empty() ? "" : g_Failures.front());
    EXPECT_GT(m_Engines.size(), 2u) << "no churn happened";
}

}  // namespace
