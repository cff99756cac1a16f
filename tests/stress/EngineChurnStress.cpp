// Engines built and torn down while recognition-library threads keep calling back.
//
// One framework thread (this test's main thread) creates and destroys engines, replaces their
// widget names, and creates and destroys face handles, exactly as the host's loop thread would.
// Meanwhile several library threads call CEmpEngineGX::ProcessSignal directly, and one more drives
// the simulated libraries (EmitMotionSignal / EmitFaceSignal / InvokeMotionCallback), whose own
// delivery thread calls back.
//
// Every call carries a unique tag in its payload, so each event an engine receives can be traced
// to the call that caused it. Each engine's sink checks, as the event arrives:
//   - the engine has not been destroyed yet;
//   - the event belongs to it (the handle in the tag is one of its handles);
//   - the name fits the signal, and its widget-name suffix is one of this engine's names, no
//     older than the name in force when the call was made;
//   - the tag was not delivered before.
// Two "anchor" engines live through the whole run and are never the target of churn: every
// event aimed at them must arrive exactly once.
//
// Run time: GXEMP_STRESS_SECONDS (default 2), library threads: GXEMP_STRESS_THREADS (default 3),
// seed: GXEMP_STRESS_SEED (default: from the clock, printed).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineBase.h"
#include "EmpEngineGX.h"
#include "face_recognition.h"
#include "gesture_bridge.h"
#include "gxsim/Sim.h"

namespace {

using Clock = std::chrono::steady_clock;

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    return std::atoi(v);
}

// The named motion signals and their event names; every other number in range is silent.
const std::map<int, std::string> kMotionNames = {
    {1000, "EVENT_MOTION_SLAP_LEFT"},   {1001, "EVENT_MOTION_SLAP_RIGHT"},
    {1002, "EVENT_MOTION_SLAP_UP"},     {1003, "EVENT_MOTION_SLAP_DOWN"},
    {1004, "EVENT_MOTION_CIRCLE"},      {1005, "EVENT_MOTION_GRAB"},
    {1007, "EVENT_MOTION_UNGRAB"},      {1015, "EVENT_MOTION_PRIMARY_HAND_LOST"},
    {1024, "EVENT_MOTION_RAW_DATA"},    {1028, "EVENT_MOTION_BEGIN_MONITOR"},
    {1029, "EVENT_MOTION_END_MONITOR"},
};
// Signals the library threads send: named ones, silent ones in range, and ones out of range.
const int kSentSignals[] = {1000, 1001, 1002, 1003, 1004, 1005, 1007, 1015,
                            1024, 1028, 1029, 1006, 1030, 999,  1035, -1};

const char kSubscribeAll[] =
    R"({"motionEventList":[{"itemType":"EVENT_MOTION_SLAP_LEFT"},{"itemType":"EVENT_MOTION_SLAP_RIGHT"},)"
    R"({"itemType":"EVENT_MOTION_SLAP_UP"},{"itemType":"EVENT_MOTION_SLAP_DOWN"},)"
    R"({"itemType":"EVENT_MOTION_CIRCLE"},{"itemType":"EVENT_MOTION_GRAB"},)"
    R"({"itemType":"EVENT_MOTION_UNGRAB"},{"itemType":"EVENT_MOTION_PRIMARY_HAND_LOST"},)"
    R"({"itemType":"EVENT_MOTION_RAW_DATA"},{"itemType":"EVENT_MOTION_BEGIN_MONITOR"},)"
    R"({"itemType":"EVENT_MOTION_END_MONITOR"}]})";

// Kinds of call, written into every tag.
enum Kind { kDirectMotion = 0, kDirectFace = 1, kEmitMotion = 2, kEmitFace = 3, kInvoke = 4 };

class Failures {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Count;
        if (m_Samples.size() < 20) m_Samples.push_back(what);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Count;
    }
    std::string Samples() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::string out;
        for (const auto& s : m_Samples) out += "  " + s + "\n";
        return out;
    }

private:
    std::mutex m_Mutex;
    size_t m_Count = 0;
    std::vector<std::string> m_Samples;
};

// What the test knows about one engine, and the sink that checks its events.
class EngineRecord : public kiv::IEmpEventSink {
public:
    EngineRecord(int id, int motionHandle, Failures& failures)
        : m_Id(id), m_MotionHandle(motionHandle), m_Failures(failures) {}

    int Id() const { return m_Id; }
    int MotionHandle() const { return m_MotionHandle; }
    kiv::CEmpEngineBase* engine = nullptr;

    // Widget names are "e<id>v<version>". The framework thread raises maxVersion before it
    // replaces the name and minVersion after, so a name seen is never outside [min, max].
    std::atomic<int> minVersion{0};
    std::atomic<int> maxVersion{0};
    std::atomic<bool> destroyed{false};

    std::string WidgetName(int version) const {
        return "e" + std::to_string(m_Id) + "v" + std::to_string(version);
    }

    // Face handles this engine has held; routing still uses the last one after its destruction.
    void AddFaceHandle(int handle) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_FaceHandles.insert(handle);
    }

    uint64_t Delivered(Kind kind) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Delivered[kind];
    }
    uint64_t DeliveredTotal() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        uint64_t n = 0;
        for (const auto& [kind, count] : m_Delivered) n += count;
        return n;
    }

    void OnEmpEvent(kiv::CEmpEngineBase* from, int code, const std::string& name,
                    const std::string& data) override {
        if (destroyed.load()) Fail("event " + name + " after the engine was destroyed");
        if (from != engine) Fail("event " + name + " from another engine object");
        if (code == 6511) {
            OnMotion(name, data);
        } else if (code == 6512) {
            OnFace(name, data);
        } else {
            Fail("unexpected event code " + std::to_string(code));
        }
    }

private:
    void Fail(const std::string& what) {
        m_Failures.Add("engine e" + std::to_string(m_Id) + ": " + what);
    }

    // Motion tags: "<kind> <thread> <seq> <signal> <handle> <minVersion>".
    void OnMotion(const std::string& name, const std::string& data) {
        int kind = -1, thread = -1, signal = -1, handle = 0, minVer = 0;
        long long seq = -1;
        std::istringstream in(data);
        if (!(in >> kind >> thread >> seq >> signal >> handle >> minVer)) {
            Fail("motion payload not a tag: '" + data + "'");
            return;
        }
        auto named = kMotionNames.find(signal);
        if (named == kMotionNames.end()) {
            Fail("event " + name + " for silent signal " + std::to_string(signal));
            return;
        }
        const std::string prefix = named->second + "-e" + std::to_string(m_Id) + "v";
        if (name.compare(0, prefix.size(), prefix) != 0) {
            Fail("event " + name + " does not fit signal " + std::to_string(signal));
            return;
        }
        int version = std::atoi(name.c_str() + prefix.size());
        int maxVer = maxVersion.load();
        if (version < minVer || version > maxVer) {
            Fail("event " + name + " carries widget version " + std::to_string(version) +
                 " outside [" + std::to_string(minVer) + ", " + std::to_string(maxVer) + "]");
        }
        if ((kind == kDirectMotion || kind == kInvoke) && handle != m_MotionHandle) {
            Fail("motion event for handle " + std::to_string(handle));
        }
        Record(static_cast<Kind>(kind), thread, seq);
    }

    // Face tags travel in a detection record: nDetectID seq, x thread, y handle, w kind.
    void OnFace(const std::string& name, const std::string& data) {
        if (name != "EVENT_FR_DETECT_FACE") {
            Fail("unexpected face event " + name);
            return;
        }
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::istringstream in(data);
        if (!Json::parseFromStream(builder, in, &root, &errors) ||
            !root["detectResult"].isArray() || root["detectResult"].size() != 1) {
            Fail("face payload not a detection record: '" + data + "'");
            return;
        }
        const Json::Value& item = root["detectResult"][0];
        int kind = item["w"].asInt();
        int handle = item["y"].asInt();
        if (kind == kDirectFace) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_FaceHandles.count(handle) == 0) {
                m_Failures.Add("engine e" + std::to_string(m_Id) + ": face event for handle " +
                               std::to_string(handle) + " it never held");
            }
        }
        Record(static_cast<Kind>(kind), item["x"].asInt(), item["nDetectID"].asInt64());
    }

    void Record(Kind kind, int thread, long long seq) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Seen.insert(std::make_tuple(static_cast<int>(kind), thread, seq)).second) {
            m_Failures.Add("engine e" + std::to_string(m_Id) + ": tag " + std::to_string(kind) +
                           "/" + std::to_string(thread) + "/" + std::to_string(seq) +
                           " delivered twice");
        }
        ++m_Delivered[kind];
    }

    const int m_Id;
    const int m_MotionHandle;
    Failures& m_Failures;
    std::mutex m_Mutex;
    std::set<int> m_FaceHandles;
    std::set<std::tuple<int, int, long long>> m_Seen;
    std::map<int, uint64_t> m_Delivered;
};

// What a library thread may aim at: an engine's handles as the framework thread published them.
struct Target {
    std::shared_ptr<EngineRecord> record;
    int faceHandle = 0;  // 0: none yet
};

class EngineChurnStress : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gxemp-stress-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        gxsim::Reset();
        gxsim::SetLogQuiet(true);
        gxsim::SetSettingsPath(m_Dir + "/settings.ini");
        gxsim::SetFaceImageDirectory(m_Dir + "/faces");
        // The motion library as the test sees it, to reclaim instances that teardown leaves
        // behind (see ReclaimMotionInstance).
        m_MotionLib = dlopen(GXEMP_TEST_MOTION_LIB, RTLD_NOW);
        ASSERT_NE(m_MotionLib, nullptr) << dlerror();
        m_MotionDestroy = reinterpret_cast<gx_motion_recog_destroy_t>(
            dlsym(m_MotionLib, "gx_motion_recog_destroy"));
        ASSERT_NE(m_MotionDestroy, nullptr);
    }

    void TearDown() override {
        if (m_MotionLib != nullptr) dlclose(m_MotionLib);
        gxsim::Reset();
        std::string cmd = "rm -rf '" + m_Dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", m_Dir.c_str());
    }

    static kiv::EmpReturnValue Run(kiv::CEmpEngineBase* engine, const std::string& cmd,
                                   const std::string& arg1 = "", const std::string& arg2 = "") {
        std::string result;
        engine->Execute(result, cmd, arg1, arg2, "", "");
        return kiv::DecodeReturnValue(result);
    }

    // Builds an engine with known handles, installs its sink and subscribes every named motion
    // signal under its first widget name.
    std::shared_ptr<EngineRecord> Create(kiv::CEmpAppGX& app) {
        int id = m_NextId++;
        int motionHandle = m_NextMotionHandle++;
        gxsim::SetNextMotionHandle(motionHandle);
        auto record = std::make_shared<EngineRecord>(id, motionHandle, m_Failures);
        record->engine = app.CreateEmpEngine();
        record->engine->SetEventSink(record.get());
        kiv::EmpReturnValue r =
            Run(record->engine, "SetMotionSubscribeInfo", record->WidgetName(0), kSubscribeAll);
        if (r.kind != kiv::EmpReturnValue::INTEGER || r.integer != 1) {
            m_Failures.Add("SetMotionSubscribeInfo on a new engine did not return 1");
        }
        m_Records.push_back(record);
        ++m_Created;
        return record;
    }

    // Creates a face handle for the engine and subscribes its six face signals.
    int CreateFace(EngineRecord& record) {
        int handle = m_NextFaceHandle++;
        gxsim::SetNextFaceHandle(handle);
        record.AddFaceHandle(handle);  // before the engine can route with it
        kiv::EmpReturnValue r = Run(record.engine, "InitializeFace");
        if (r.kind != kiv::EmpReturnValue::INTEGER || r.integer != 1) {
            m_Failures.Add("InitializeFace failed on e" + std::to_string(record.Id()));
        }
        Run(record.engine, "SubscribeFaceEvent", "stress");
        ++m_FaceCreated;
        return handle;
    }

    void Rename(EngineRecord& record) {
        int version = record.maxVersion.load() + 1;
        record.maxVersion.store(version);
        Run(record.engine, "SubscribeMotionEvent", record.WidgetName(version));
        record.minVersion.store(version);
        ++m_Renames;
    }

    void Destroy(EngineRecord& record) {
        record.engine->Destroy();
        record.destroyed.store(true);
        ReclaimMotionInstance(record.MotionHandle());
        ++m_Destroyed;
    }

    // The loader's entry points are process-wide and an engine's teardown clears them for every
    // engine, so an engine destroyed after another one cannot destroy its motion instance: the
    // instance stays subscribed in the library and keeps receiving signals. That is how the
    // plug-in behaves; signals for it find no engine. The test destroys such instances itself
    // after counting them, so the library's delivery work stays bounded over long runs.
    void ReclaimMotionInstance(int handle) {
        for (int live : gxsim::LiveMotionHandles()) {
            if (live == handle) {
                ++m_LeftBehind;
                m_MotionDestroy(handle);
                return;
            }
        }
    }

    std::string m_Dir;
    void* m_MotionLib = nullptr;
    gx_motion_recog_destroy_t m_MotionDestroy = nullptr;
    Failures m_Failures;
    std::vector<std::shared_ptr<EngineRecord>> m_Records;
    int m_NextId = 1;
    int m_NextMotionHandle = 1001;
    int m_NextFaceHandle = 5001;
    uint64_t m_Created = 0, m_Destroyed = 0, m_Renames = 0, m_FaceCreated = 0, m_FaceDestroyed = 0,
             m_LeftBehind = 0;
};

TEST_F(EngineChurnStress, EveryEventReachesItsLiveEngineOnce) {
    const int seconds = EnvInt("GXEMP_STRESS_SECONDS", 2);
    const int threads = std::max(1, EnvInt("GXEMP_STRESS_THREADS", 3));
    const unsigned seed = static_cast<unsigned>(
        EnvInt("GXEMP_STRESS_SEED", static_cast<int>(Clock::now().time_since_epoch().count())));
    std::printf("stress: %d s, %d library threads, seed %u\n", seconds, threads, seed);

    kiv::CEmpAppGX app;
    constexpr int kAnchors = 2;
    constexpr int kSlots = 6;  // targets for library threads: anchors and churned engines

    // Anchors first, each subscribed while it is the newest engine.
    std::vector<std::shared_ptr<EngineRecord>> anchors;
    std::vector<int> anchorFace;
    for (int i = 0; i < kAnchors; ++i) {
        anchors.push_back(Create(app));
        anchorFace.push_back(CreateFace(*anchors.back()));
    }
    ASSERT_EQ(m_Failures.Count(), 0u) << m_Failures.Samples();

    std::vector<std::shared_ptr<const Target>> slots(kSlots);
    for (int i = 0; i < kAnchors; ++i) {
        std::atomic_store(&slots[i],
                          std::make_shared<const Target>(Target{anchors[i], anchorFace[i]}));
    }

    std::atomic<bool> stop{false};
    // Per library thread: calls aimed at each anchor (by kind), and calls made in total.
    struct ThreadCounts {
        std::map<std::pair<int, int>, uint64_t> expected;  // (anchor index, kind) -> calls
        uint64_t calls = 0;
    };
    std::vector<ThreadCounts> counts(threads + 1);

    auto anchorIndex = [&](const EngineRecord* r) {
        for (int i = 0; i < kAnchors; ++i)
            if (anchors[i].get() == r) return i;
        return -1;
    };

    // Direct callers: the library's callback threads as ProcessSignal sees them.
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 rng(seed + 17u * static_cast<unsigned>(t + 1));
            ThreadCounts& mine = counts[t];
            long long seq = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                std::shared_ptr<const Target> target = std::atomic_load(&slots[rng() % kSlots]);
                ++mine.calls;
                if (!target) {
                    // Nobody's handle: the walk must find nothing.
                    char text[] = "stray";
                    kiv::CEmpEngineGX::ProcessSignal(static_cast<int>(900 + rng() % 50), 1005, text,
                                                     nullptr);
                    continue;
                }
                EngineRecord& r = *target->record;
                int anchor = anchorIndex(&r);
                if (target->faceHandle != 0 && rng() % 3 == 0) {
                    gx_face_detect_data face{static_cast<int>(++seq), t, target->faceHandle,
                                             kDirectFace, 0};
                    kiv::CEmpEngineGX::ProcessSignal(target->faceHandle, GX_FACE_SIGNAL_DETECT_FACE,
                                                     &face, nullptr);
                    if (anchor >= 0) ++mine.expected[{anchor, kDirectFace}];
                    continue;
                }
                int signal = kSentSignals[rng() % (sizeof kSentSignals / sizeof kSentSignals[0])];
                std::string tag = std::to_string(kDirectMotion) + " " + std::to_string(t) + " " +
                                  std::to_string(++seq) + " " + std::to_string(signal) + " " +
                                  std::to_string(r.MotionHandle()) + " " +
                                  std::to_string(r.minVersion.load());
                kiv::CEmpEngineGX::ProcessSignal(r.MotionHandle(), signal, &tag[0], nullptr);
                if (anchor >= 0 && kMotionNames.count(signal) != 0) {
                    ++mine.expected[{anchor, kDirectMotion}];
                }
            }
        });
    }

    // The simulated libraries' own delivery thread, fed through the control API.
    workers.emplace_back([&] {
        const int t = threads;
        std::mt19937 rng(seed);
        ThreadCounts& mine = counts[t];
        long long seq = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            ++mine.calls;
            switch (rng() % 3) {
                case 0: {
                    // Every live instance subscribed to the signal gets it: anchors always are.
                    int signal = kSentSignals[rng() % 11];
                    std::string tag = std::to_string(kEmitMotion) + " " + std::to_string(t) + " " +
                                      std::to_string(++seq) + " " + std::to_string(signal) + " 0 0";
                    gxsim::EmitMotionSignal(signal, tag);
                    for (int a = 0; a < kAnchors; ++a) ++mine.expected[{a, kEmitMotion}];
                    break;
                }
                case 1: {
                    gxsim::FaceRecord record;
                    record.id = static_cast<int>(++seq);
                    record.x = t;
                    record.y = -1;
                    record.w = kEmitFace;
                    gxsim::EmitFaceSignal(GX_FACE_SIGNAL_DETECT_FACE, record);
                    for (int a = 0; a < kAnchors; ++a) ++mine.expected[{a, kEmitFace}];
                    break;
                }
                default: {
                    int a = static_cast<int>(rng() % kAnchors);
                    EngineRecord& r = *anchors[a];
                    std::string tag = std::to_string(kInvoke) + " " + std::to_string(t) + " " +
                                      std::to_string(++seq) + " 1005 " +
                                      std::to_string(r.MotionHandle()) + " " +
                                      std::to_string(r.minVersion.load());
                    if (gxsim::InvokeMotionCallback(r.MotionHandle(), 1005, tag)) {
                        ++mine.expected[{a, kInvoke}];
                    }
                    break;
                }
            }
            // Keep the queue of the library's single delivery thread short.
            if (seq % 64 == 0) gxsim::Drain();
        }
    });

    // The framework thread: churn until the deadline.
    std::mt19937 rng(seed ^ 0x5eedu);
    std::vector<std::shared_ptr<EngineRecord>> churn(kSlots - kAnchors);
    std::vector<int> churnFace(kSlots - kAnchors, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline && m_Failures.Count() == 0) {
        size_t s = rng() % churn.size();
        auto& r = churn[s];
        switch (rng() % 6) {
            case 0:
            case 1:
                if (r) {
                    Destroy(*r);
                    r.reset();
                    churnFace[s] = 0;
                } else {
                    r = Create(app);
                    if (rng() % 2 == 0) churnFace[s] = CreateFace(*r);
                }
                std::atomic_store(&slots[kAnchors + s],
                                  r ? std::make_shared<const Target>(Target{r, churnFace[s]})
                                    : std::shared_ptr<const Target>());
                break;
            case 2:
                if (r) Rename(*r);
                break;
            case 3:
                Rename(*anchors[rng() % kAnchors]);
                break;
            case 4:
                if (r && churnFace[s] != 0 && rng() % 2 == 0) {
                    // The field keeps the destroyed handle's value: signals still route to it.
                    Run(r->engine, "DestroyFace");
                    ++m_FaceDestroyed;
                } else if (r) {
                    churnFace[s] = CreateFace(*r);
                    std::atomic_store(&slots[kAnchors + s],
                                      std::make_shared<const Target>(Target{r, churnFace[s]}));
                }
                break;
            default:
                // A subscription with no engine to work on: the newest engine was destroyed.
                if (!r) {
                    auto temp = Create(app);
                    Destroy(*temp);
                    kiv::EmpReturnValue v =
                        Run(anchors[0]->engine, "SetMotionSubscribeInfo",
                            anchors[0]->WidgetName(anchors[0]->maxVersion.load()), kSubscribeAll);
                    if (v.kind != kiv::EmpReturnValue::INTEGER || v.integer != 0) {
                        m_Failures.Add("subscription with no current engine did not return 0");
                    }
                }
                break;
        }
    }

    stop.store(true);
    for (auto& w : workers) w.join();
    gxsim::Drain();

    for (auto& r : churn)
        if (r) Destroy(*r);

    // Anchors: every call aimed at them arrived exactly once.
    for (int a = 0; a < kAnchors; ++a) {
        for (Kind kind : {kDirectMotion, kDirectFace, kEmitMotion, kEmitFace, kInvoke}) {
            uint64_t expected = 0;
            for (auto& c : counts) expected += c.expected[{a, kind}];
            EXPECT_EQ(anchors[a]->Delivered(kind), expected)
                << "anchor " << a << ", call kind " << kind;
        }
    }
    uint64_t calls = 0, delivered = 0;
    for (auto& c : counts) calls += c.calls;
    for (auto& r : m_Records) delivered += r->DeliveredTotal();
    for (auto& a : anchors) Destroy(*a);

    std::printf(
        "stress: %llu library calls, %llu events delivered; engines created %llu, destroyed %llu; "
        "widget renames %llu; face handles created %llu, destroyed %llu; motion instances left "
        "behind by teardown %llu\n",
        static_cast<unsigned long long>(calls), static_cast<unsigned long long>(delivered),
        static_cast<unsigned long long>(m_Created), static_cast<unsigned long long>(m_Destroyed),
        static_cast<unsigned long long>(m_Renames), static_cast<unsigned long long>(m_FaceCreated),
        static_cast<unsigned long long>(m_FaceDestroyed),
        static_cast<unsigned long long>(m_LeftBehind));
    RecordProperty("library_calls", std::to_string(calls));
    RecordProperty("events_delivered", std::to_string(delivered));
    RecordProperty("engines_created", std::to_string(m_Created));
    EXPECT_EQ(m_Failures.Count(), 0u) << m_Failures.Samples();
    EXPECT_GT(m_Created, static_cast<uint64_t>(kAnchors)) << "no churn happened";
    EXPECT_GT(delivered, 0u);
}

}  // namespace
