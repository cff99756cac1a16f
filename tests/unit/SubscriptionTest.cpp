// "SetMotionSubscribeInfo": the list, the subscription thread, its loop and its end.
#include <dlfcn.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <set>
#include <thread>

#include "EngineTest.h"

namespace {

// GLib's loop functions are interposed in this binary. The loops that subscription threads create
// are kept here (with a reference of the test's own, so that a loop its engine replaced stays
// reachable), with the references the plug-in holds on each and whether its run has returned.
// A subscription thread can be held back at a gate: before it creates its loop (so before it
// subscribes and hands over), or before its loop runs (so that a teardown can come first).
struct Loop {
    GMainLoop* loop;
    int held;  // references of the plug-in's
    bool ended;
};
enum Gate { kOpen, kBeforeSubscribing, kBeforeRun };
struct State {
    std::mutex lock;
    std::condition_variable released;
    Gate gate = kOpen;
    bool held = false;  // a thread waits at the gate
    std::vector<Loop> loops;
};
// Never destroyed: a subscription thread may still use it while the process exits, and the loops
// it keeps stay reachable for the leak check that runs after the static destructors.
State& S = *new State;

bool OnSubscriptionThread() {
    return gettid() != getpid();
}

Loop* Find(GMainLoop* loop) {
    for (Loop& l : S.loops)
        if (l.loop == loop) return &l;
    return nullptr;
}

template <class Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Hold(Gate gate) {
    std::lock_guard<std::mutex> lock(S.lock);
    S.gate = gate;
    S.released.notify_all();
}

void Pass(Gate gate) {
    std::unique_lock<std::mutex> lock(S.lock);
    S.held = S.gate == gate;
    S.released.wait(lock, [&] { return S.gate != gate; });
    S.held = false;
}

// Polls a condition on the loops (under their lock), for 5 s at most.
template <class Condition>
bool Await(Condition condition, int ms = 5000) {
    for (int i = 0; i < ms; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        std::lock_guard<std::mutex> lock(S.lock);
        if (condition()) return true;
    }
    return false;
}

}  // namespace

extern "C" GMainLoop* g_main_loop_new(GMainContext* context, gboolean running) {
    static auto real = Real<GMainLoop* (*)(GMainContext*, gboolean)>("g_main_loop_new");
    static auto ref = Real<GMainLoop* (*)(GMainLoop*)>("g_main_loop_ref");
    if (OnSubscriptionThread()) Pass(kBeforeSubscribing);
    GMainLoop* loop = real(context, running);
    std::lock_guard<std::mutex> lock(S.lock);
    if (OnSubscriptionThread()) S.loops.push_back({ref(loop), 1, false});
    return loop;
}

extern "C" GMainLoop* g_main_loop_ref(GMainLoop* loop) {
    static auto real = Real<GMainLoop* (*)(GMainLoop*)>("g_main_loop_ref");
    std::lock_guard<std::mutex> lock(S.lock);
    if (Loop* l = Find(loop)) ++l->held;
    return real(loop);
}

extern "C" void g_main_loop_unref(GMainLoop* loop) {
    static auto real = Real<void (*)(GMainLoop*)>("g_main_loop_unref");
    std::lock_guard<std::mutex> lock(S.lock);
    if (Loop* l = Find(loop)) --l->held;
    real(loop);
}

extern "C" void g_main_loop_run(GMainLoop* loop) {
    static auto real = Real<void (*)(GMainLoop*)>("g_main_loop_run");
    if (!OnSubscriptionThread()) return real(loop);
    Pass(kBeforeRun);
    real(loop);
    std::lock_guard<std::mutex> lock(S.lock);
    Find(loop)->ended = true;
}

namespace gxtest {
namespace {

const char kGrab[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

class SubscriptionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::lock_guard<std::mutex> lock(S.lock);
        m_First = S.loops.size();
    }
    // Every thread ends, and the plug-in drops every reference it took, except the one an engine
    // keeps on a loop that a later subscription replaced. Such a loop runs on after its engine's
    // teardown: the test quits it, once it runs (a quit before that would be lost), so that no
    // thread of this test owns GLib's default context in the next one.
    void TearDown() override {
        EngineTest::TearDown();
        for (size_t i = m_First; Loop(i - m_First) != nullptr; ++i) {
            GMainLoop* loop = Loop(i - m_First);
            Await([&] { return Find(loop)->ended || g_main_loop_is_running(loop); });
            if (m_Replaced.count(loop)) g_main_loop_quit(loop);
            const int held = m_Replaced.count(loop);
            EXPECT_TRUE(Await([&] { return Find(loop)->ended && Find(loop)->held == held; }))
                << "loop " << i - m_First << " of this test";
        }
    }
    // The i-th loop created in this test.
    GMainLoop* Loop(size_t i) {
        std::lock_guard<std::mutex> lock(S.lock);
        return m_First + i < S.loops.size() ? S.loops[m_First + i].loop : nullptr;
    }
    size_t m_First = 0;
    std::set<GMainLoop*> m_Replaced;  // loops whose engine replaced them
};

const std::string kDeep(100000, '[');  // deeper than any parser's stack

// clang-format off
#define WIDGET "SetMotionSubscribeInfo | 16 Execute: m_MotionWidgetName = w\\n"
#define THREAD "16 Execute: to create thread | 2 SubScribe: in CEmpEngineGX::SubScribe | 2 SubScribe: create m_MotionLoop successfully"
#define SIGNAL(n) " | 16 Execute: the motion signal is " #n "\\n"
#define SUBSCRIBED(n) "gx_set_motion_signal_subscribed(M," #n ",CB,null)"
#define SENT " | 2 SubScribe:   send sem"
const Row kSubscriptionRows[] = {
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"},{"itemType":"EVENT_MOTION_UNGRAB"}]})", nullptr, kNo, SUBSCRIBED(1005) "=1; " SUBSCRIBED(1007) "=1", I(1), WIDGET " | 16 Execute: begin parse" SIGNAL(1005) SIGNAL(1007) " | " THREAD " | 2 SubscirbeMotionSignal | 2 SubscirbeMotionSignal" SENT},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":[{"itemType":"EVENT_MOTION_START_ENGINE"},{"itemType":"EVENT_MOTION_SLAP_LEFT"}]})", nullptr, kNo, SUBSCRIBED(1000) "=1; " SUBSCRIBED(1000) "=1", I(1), WIDGET " | 16 Execute: begin parse" SIGNAL(1000) SIGNAL(1000) " | " THREAD " | 2 SubscirbeMotionSignal | 2 SubscirbeMotionSignal" SENT},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"},{"itemType":"NO_GESTURE"},{"itemType":"EVENT_MOTION_UNGRAB"}]})", nullptr, kNo, SUBSCRIBED(1005) "=1; " SUBSCRIBED(1035) "=0", I(0), WIDGET " | 16 Execute: begin parse" SIGNAL(1005) SIGNAL(1035) SIGNAL(1007) " | " THREAD " | 2 SubscirbeMotionSignal | 2 SubscirbeMotionSignal | 2 KIV: [KIV][SubScribe(#)] SubscirbeMotionSignal failed! the motion signal is 1035" SENT},
    {"SetMotionSubscribeInfo", "w", R"({"x":[1],"motionEventList":[{"itemType":"EVENT_MOTION_GRAB","y":{}},{}]})", nullptr, kNo, SUBSCRIBED(1005) "=1; " SUBSCRIBED(1035) "=0", I(0), WIDGET " | 16 Execute: begin parse" SIGNAL(1005) SIGNAL(1035) " | " THREAD " | 2 SubscirbeMotionSignal | 2 SubscirbeMotionSignal | 2 KIV: [KIV][SubScribe(#)] SubscirbeMotionSignal failed! the motion signal is 1035" SENT},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":[]})", nullptr, kNo, "", I(1), WIDGET " | 16 Execute: begin parse | " THREAD SENT},
    {"SetMotionSubscribeInfo", "w", R"({"other":1})", nullptr, kNo, "", I(1), WIDGET " | 16 Execute: begin parse | " THREAD SENT},
    {"SetMotionSubscribeInfo", "w", "not json", nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", "", nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", "[1,2]", nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", kDeep.c_str(), nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":{"itemType":"EVENT_MOTION_GRAB"}})", nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":["EVENT_MOTION_GRAB"]})", nullptr, kNo, "", kNone, WIDGET},
    {"SetMotionSubscribeInfo", "w", R"({"motionEventList":[{"itemType":1005}]})", nullptr, kNo, "", kNone, WIDGET},
};

const std::pair<const char*, int> kNames[] = {
    {"EVENT_MOTION_START_ENGINE", 1000}, {"EVENT_MOTION_BEGIN_MONITOR", 1028}, {"EVENT_MOTION_END_MONITOR", 1029},
    {"EVENT_MOTION_SLAP_LEFT", 1000}, {"EVENT_MOTION_SLAP_RIGHT", 1001}, {"EVENT_MOTION_SLAP_DOWN", 1003},
    {"EVENT_MOTION_SLAP_UP", 1002}, {"EVENT_MOTION_CIRCLE", 1004}, {"EVENT_MOTION_GRAB", 1005},
    {"EVENT_MOTION_UNGRAB", 1007}, {"EVENT_MOTION_PRIMARY_HAND_LOST", 1015}, {"EVENT_MOTION_RAW_DATA", 1024},
    {"EVENT_MOTION_DEFAULT_MAX", 1035}, {"event_motion_grab", 1035}, {" EVENT_MOTION_GRAB", 1035},
    {"EVENT_MOTION_GRAB ", 1035}, {"", 1035},
};
// clang-format on

class SubscriptionTable : public SubscriptionTest, public ::testing::WithParamInterface<Row> {};

TEST_P(SubscriptionTable, Row) {
    Check(m_Engine, GetParam());
}
INSTANTIATE_TEST_SUITE_P(Lists, SubscriptionTable, ::testing::ValuesIn(kSubscriptionRows));

TEST_F(SubscriptionTest, NamesBecomeSignalNumbers) {
    for (const auto& [name, signal] : kNames)
        EXPECT_EQ(m_Engine->ConvertToMotionEvent(name), signal) << name;
}

// Each command starts a thread with a loop of its own; the engine keeps the newest one, which is
// the one its teardown quits.
TEST_F(SubscriptionTest, TeardownQuitsTheNewestLoop) {
    EXPECT_EQ(Exec(m_Engine, "SetMotionSubscribeInfo", "a", kGrab).result, I(1));
    EXPECT_EQ(Exec(m_Engine, "SetMotionSubscribeInfo", "b", kGrab).result, I(1));
    gxsim::EmitMotionSignal(1005, std::string("t"));
    gxsim::Drain();
    std::vector<Event> events = m_Events.Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "EVENT_MOTION_GRAB-b");
    GMainLoop* newest = Loop(1);
    // Both threads run their loops before the teardown (the older one may start last).
    for (GMainLoop* loop : {Loop(0), newest})
        ASSERT_TRUE(Await([&] { return g_main_loop_is_running(loop); }));
    TakeLog();
    Destroy(m_Engine);
    EXPECT_TRUE(Await([&] { return Find(newest)->ended; }));
    EXPECT_TRUE(g_main_loop_is_running(Loop(0)));
    m_Replaced.insert(Loop(0));
    EXPECT_EQ(Render(TakeLog(), {"m_DestroyMotionMainLoopThread", "SubScribe"}),
              "2 m_DestroyMotionMainLoopThread: exit the m_MotionLoop | 2 SubScribe: run the "
              "m_MotionLoop");
}

// The subscription thread answers without GLib's default context, and a teardown that comes
// before the thread runs its loop still ends it: alone, and under a host whose command thread owns
// that context and iterates it.
TEST_F(SubscriptionTest, AQuitBeforeTheLoopRunsIsNotLost) {
    for (bool hosted : {false, true}) {
        kiv::CEmpEngineGX* engine = NewEngine();
        if (hosted) g_main_context_acquire(nullptr);
        Hold(kBeforeRun);
        EXPECT_EQ(Exec(engine, "SetMotionSubscribeInfo", "w", kGrab).result, I(1));
        Destroy(engine);
        Hold(kOpen);
        GMainLoop* loop = Loop(hosted);
        for (int i = 0; hosted && i < 5000 && !Await([&] { return Find(loop)->ended; }, 1); ++i)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_TRUE(Await([&] { return Find(loop)->ended; })) << "hosted " << hosted;
        if (hosted) g_main_context_release(nullptr);
    }
}

// A signal that interrupts the command's wait for its thread (a host's SIGHUP, say) does not end
// the wait early: the command answers what the thread found.
TEST_F(SubscriptionTest, ASignalDuringTheHandOffDoesNotEndTheWait) {
    struct sigaction action {
    }, old{};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &old);
    Hold(kBeforeSubscribing);
    std::thread interrupter([command = pthread_self()] {
        Await([] { return S.held; });
        for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            pthread_kill(command, SIGUSR1);
        Hold(kOpen);
    });
    const char kRefused[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"},{}]})";
    EXPECT_EQ(Exec(m_Engine, "SetMotionSubscribeInfo", "w", kRefused).result, I(0));
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
}

// The thread works on the engine built last, whichever engine ran the command, and answers 0 when
// that engine is gone.
TEST_F(SubscriptionTest, TheThreadWorksOnTheEngineBuiltLast) {
    kiv::CEmpEngineGX* newer = NewEngine();
    Calls();
    EXPECT_EQ(Exec(m_Engine, "SetMotionSubscribeInfo", "w", kGrab).result, I(1));
    EXPECT_EQ(Calls(), "gx_set_motion_signal_subscribed(701,1005,CB,null)=1");
    Destroy(newer);
    GMainLoop* loop = Loop(0);
    EXPECT_TRUE(Await([&] { return Find(loop)->ended; }));
    Calls();
    TakeLog();
    EXPECT_EQ(Exec(m_Engine, "SetMotionSubscribeInfo", "w", kGrab).result, I(0));
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(Render(TakeLog(), {"SubScribe"}),
              "2 SubScribe: in CEmpEngineGX::SubScribe | 16 SubScribe: no engine to subscribe "
              "motion signals for");
}

}  // namespace
}  // namespace gxtest
