// "SetMotionSubscribeInfo": the list, the subscription thread, its loop and its end.
#include <dlfcn.h>
#include <glib.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <set>
#include <thread>

#include "EngineTest.h"

namespace {

// g_main_loop_new and g_main_loop_run are interposed in this binary. The loops that subscription
// threads create are kept (with a reference, so that a loop its engine replaced stays reachable),
// with whether their run has returned; while g_Hold is set, a subscription thread is held back
// before its loop runs, so that a teardown can come first.
std::mutex g_Lock;
std::condition_variable g_Released;
bool g_Hold = false;
std::vector<GMainLoop*> g_Loops;
std::set<GMainLoop*> g_Ended;

bool OnSubscriptionThread() {
    return gettid() != getpid();
}

void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Hold = hold;
    g_Released.notify_all();
}

// Polls a condition on the loops (under their lock) for at most 5 s.
template <class Condition>
bool Await(Condition condition) {
    for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        std::lock_guard<std::mutex> lock(g_Lock);
        if (condition()) return true;
    }
    return false;
}

}  // namespace

extern "C" GMainLoop* g_main_loop_new(GMainContext* context, gboolean running) {
    static auto real = reinterpret_cast<GMainLoop* (*)(GMainContext*, gboolean)>(
        dlsym(RTLD_NEXT, "g_main_loop_new"));
    GMainLoop* loop = real(context, running);
    std::lock_guard<std::mutex> lock(g_Lock);
    if (OnSubscriptionThread()) g_Loops.push_back(g_main_loop_ref(loop));
    return loop;
}

extern "C" void g_main_loop_run(GMainLoop* loop) {
    static auto real = reinterpret_cast<void (*)(GMainLoop*)>(dlsym(RTLD_NEXT, "g_main_loop_run"));
    if (!OnSubscriptionThread()) return real(loop);
    {
        std::unique_lock<std::mutex> lock(g_Lock);
        g_Released.wait(lock, [] { return !g_Hold; });
    }
    real(loop);
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Ended.insert(loop);
}

namespace gxtest {
namespace {

const char kGrab[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

class SubscriptionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::lock_guard<std::mutex> lock(g_Lock);
        m_First = g_Loops.size();
    }
    // A loop that a later subscription replaced runs on after its engine's teardown: the test ends
    // it, once it runs (a quit before that would be lost), so that no thread of this test owns
    // GLib's default context in the next one.
    void TearDown() override {
        EngineTest::TearDown();
        std::vector<GMainLoop*> loops;
        {
            std::lock_guard<std::mutex> lock(g_Lock);
            loops = g_Loops;
        }
        for (GMainLoop* loop : loops) {
            Await([&] { return g_Ended.count(loop) || g_main_loop_is_running(loop); });
            g_main_loop_quit(loop);
        }
        EXPECT_TRUE(Await([] { return g_Ended.size() == g_Loops.size(); }));
    }
    // The i-th loop created in this test.
    GMainLoop* Loop(size_t i) {
        std::lock_guard<std::mutex> lock(g_Lock);
        return m_First + i < g_Loops.size() ? g_Loops[m_First + i] : nullptr;
    }
    size_t m_First = 0;
};

#define WIDGET "SetMotionSubscribeInfo | 16 Execute: m_MotionWidgetName = w\\n"
#define THREAD                                        \
    "16 Execute: to create thread | 2 SubScribe: in " \
    "CEmpEngineGX::SubScribe | 2 SubScribe: create m_MotionLoop successfully"
#define SIGNAL(n) " | 16 Execute: the motion signal is " #n "\\n"
#define SUBSCRIBED(n) "gx_set_motion_signal_subscribed(M," #n ",CB,null)"
#define SENT " | 2 SubScribe:   send sem"

const std::string kDeep(100000, '[');

// clang-format off
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
    TakeLog();
    Destroy(m_Engine);
    GMainLoop* newest = Loop(1);
    EXPECT_TRUE(Await([&] { return g_Ended.count(newest) == 1; }));
    EXPECT_TRUE(g_main_loop_is_running(Loop(0)));
    EXPECT_EQ(Render(TakeLog(), {"m_DestroyMotionMainLoopThread", "SubScribe"}),
              "2 m_DestroyMotionMainLoopThread: exit the m_MotionLoop | 2 SubScribe: run the "
              "m_MotionLoop");
}

// Runs `command` from an idle callback of a host loop on GLib's default context, as a host whose
// command thread runs that context does, and iterates that context until `done` (5 s at most).
void RunHosted(const std::function<void()>& command, const std::function<bool()>& done) {
    struct Host {
        GMainLoop* loop;
        const std::function<void()>& command;
        const std::function<bool()>& done;
        int ticks;
    } host{g_main_loop_new(nullptr, FALSE), command, done, 0};
    g_idle_add(
        [](gpointer h) -> gboolean {
            static_cast<Host*>(h)->command();
            return G_SOURCE_REMOVE;
        },
        &host);
    g_timeout_add(
        5,
        [](gpointer p) -> gboolean {
            auto* h = static_cast<Host*>(p);
            if (!h->done() && ++h->ticks < 1000) return G_SOURCE_CONTINUE;
            g_main_loop_quit(h->loop);
            return G_SOURCE_REMOVE;
        },
        &host);
    g_main_loop_run(host.loop);
    g_main_loop_unref(host.loop);
}

// The subscription thread answers without GLib's default context, and a teardown that comes
// before the thread runs its loop still ends it: alone, and under a host that owns the context.
TEST_F(SubscriptionTest, AQuitBeforeTheLoopRunsIsNotLost) {
    for (bool hosted : {false, true}) {
        kiv::CEmpEngineGX* engine = NewEngine();
        std::string answer;
        auto command = [&] {
            Hold(true);
            answer = Exec(engine, "SetMotionSubscribeInfo", "w", kGrab).result;
            Destroy(engine);
            Hold(false);
        };
        auto ended = [] {
            std::lock_guard<std::mutex> lock(g_Lock);
            return g_Ended.size() == g_Loops.size();
        };
        if (hosted) {
            RunHosted(command, ended);
        } else {
            command();
        }
        EXPECT_EQ(answer, I(1)) << "hosted " << hosted;
        EXPECT_TRUE(Await([] { return g_Ended.size() == g_Loops.size(); })) << "hosted " << hosted;
    }
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
    EXPECT_TRUE(Await([&] { return g_Ended.count(loop) == 1; }));
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
