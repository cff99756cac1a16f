// "SetMotionSubscribeInfo": the list, the subscription thread, its loop, and bad input.
#include <dlfcn.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "PluginFixture.h"

namespace {

// g_main_loop_run is interposed in this binary: it records the loop about to run and, while a
// test keeps the gate closed, holds the caller back, so that a teardown can be made to come before
// a subscription thread runs its loop. It also keeps the loops in g_main_loop_run (with a
// reference) and counts the threads other than the main one that ran a loop until they end, so
// that each test can end those the plug-in leaves running.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    GMainLoop* last = nullptr;
    std::vector<GMainLoop*> running;  // each with a reference of ours
    int threads = 0;  // threads other than the main one that ran a loop, until they exit
    std::vector<GMainLoop*> kept;  // replaced loops, kept reachable (see TearDown)
};

// Never destroyed: a subscription thread may still use it while the process exits.
Gate& G() {
    static Gate* gate = new Gate;
    return *gate;
}

struct LoopThread {
    LoopThread() { ++G().threads; }
    ~LoopThread() {  // at the thread's exit, after whatever it logged
        std::lock_guard<std::mutex> lock(G().lock);
        --G().threads;
        G().changed.notify_all();
    }
};

void SetGateClosed(bool closed) {
    std::lock_guard<std::mutex> lock(G().lock);
    G().closed = closed;
    G().changed.notify_all();
}

GMainLoop* TakeLastLoop() {
    std::lock_guard<std::mutex> lock(G().lock);
    GMainLoop* loop = G().last;
    G().last = nullptr;
    return loop;
}

// Waits until the next loop given to g_main_loop_run after TakeLastLoop() runs (false after 5 s).
bool WaitForLoopRunning() {
    GMainLoop* loop = nullptr;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (loop == nullptr) loop = TakeLastLoop();
        if (loop != nullptr && g_main_loop_is_running(loop)) return true;
    }
    return false;
}

}  // namespace

extern "C" void g_main_loop_run(GMainLoop* loop) {
    static auto real = reinterpret_cast<void (*)(GMainLoop*)>(dlsym(RTLD_NEXT, "g_main_loop_run"));
    {
        std::unique_lock<std::mutex> lock(G().lock);
        G().last = loop;
        G().running.push_back(g_main_loop_ref(loop));
        if (gettid() != getpid()) {
            thread_local LoopThread thread;
        }
        G().changed.wait(lock, [] { return !G().closed; });
    }
    real(loop);
    std::lock_guard<std::mutex> lock(G().lock);
    G().running.erase(std::find(G().running.begin(), G().running.end(), loop));
    G().changed.notify_all();
    g_main_loop_unref(loop);
}

namespace gxtest {
namespace {

std::string List(std::initializer_list<const char*> names) {
    std::string text = R"({"motionEventList":[)";
    bool first = true;
    for (const char* name : names) {
        if (!first) text += ",";
        first = false;
        text += std::string(R"({"itemType":")") + name + "\"}";
    }
    return text + "]}";
}

class SubscriptionTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        m_Engine = NewEngine();
        m_Handle = std::to_string(gxsim::LiveMotionHandles()[0]);
        gxsim::ClearTrace();
        TakeLog();
    }
    // A loop that a later subscription replaced runs for the rest of the process; quit it (once
    // running, so that the quit is not lost; a loop already quit just leaves) so that no
    // subscription thread of this test owns GLib's default context in the next one. Its engine
    // dropped the pointer but not the reference, so the loop stays allocated: keep it reachable
    // here rather than have it read as a leak.
    void TearDown() override {
        PluginTest::TearDown();
        std::unique_lock<std::mutex> lock(G().lock);
        std::vector<GMainLoop*> left;
        for (GMainLoop* loop : G().running) left.push_back(g_main_loop_ref(loop));
        for (GMainLoop* loop : left) {
            while (!g_main_loop_is_running(loop) &&
                   std::find(G().running.begin(), G().running.end(), loop) != G().running.end()) {
                G().changed.wait_for(lock, kPoll);
            }
            if (!g_main_loop_is_running(loop)) {
                g_main_loop_unref(loop);
                continue;
            }
            g_main_loop_quit(loop);
            G().kept.push_back(loop);
        }
        EXPECT_TRUE(G().changed.wait_for(lock, std::chrono::seconds(5),
                                         [] { return G().running.empty() && G().threads == 0; }));
    }
    static constexpr std::chrono::milliseconds kPoll{1};
    std::vector<std::string> SubscribedSignals() {
        std::vector<std::string> signals;
        for (const auto& call : Calls("gx_set_motion_signal_subscribed")) {
            EXPECT_EQ(call.args[0], m_Handle);
            signals.push_back(call.args[1]);
        }
        return signals;
    }
    // Waits for a log line of the plug-in with this text; the lines read are consumed.
    bool WaitForMessage(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Contains(TakeMessages(), text)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    kiv::CEmpEngineGX* m_Engine = nullptr;
    std::string m_Handle;
};

TEST_F(SubscriptionTest, SubscribesTheListInOrder) {
    Outcome out = Exec(m_Engine, "SetMotionSubscribeInfo", "w1",
                       List({"EVENT_MOTION_GRAB", "EVENT_MOTION_UNGRAB"}));
    EXPECT_TRUE(out.served);
    EXPECT_TRUE(out.IsInt(1));
    EXPECT_EQ(SubscribedSignals(), (std::vector<std::string>{"1005", "1007"}));
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "[Execute] SetMotionSubscribeInfo"));
    EXPECT_TRUE(Contains(texts, "m_MotionWidgetName = w1\n"));
    EXPECT_TRUE(Contains(texts, "the motion signal is 1005\n"));
    EXPECT_TRUE(Contains(texts, "  send sem"));
}

TEST_F(SubscriptionTest, NameTableIsExact) {
    Exec(m_Engine, "SetMotionSubscribeInfo", "w",
         List({"EVENT_MOTION_START_ENGINE", "EVENT_MOTION_SLAP_LEFT", "EVENT_MOTION_SLAP_UP",
               "EVENT_MOTION_SLAP_DOWN", "EVENT_MOTION_BEGIN_MONITOR", "EVENT_MOTION_END_MONITOR",
               "EVENT_MOTION_PRIMARY_HAND_LOST", "EVENT_MOTION_RAW_DATA", "EVENT_MOTION_CIRCLE",
               "EVENT_MOTION_SLAP_RIGHT"}));
    EXPECT_EQ(SubscribedSignals(),
              (std::vector<std::string>{"1000", "1000", "1002", "1003", "1028", "1029", "1015",
                                        "1024", "1004", "1001"}));
    // Unknown names, other cases, blanks and a missing itemType all become 1035.
    EXPECT_EQ(kiv::CEmpEngineGX::m_pCtx->ConvertToMotionEvent("event_motion_grab"), 1035);
    EXPECT_EQ(m_Engine->ConvertToMotionEvent(" EVENT_MOTION_GRAB"), 1035);
    EXPECT_EQ(m_Engine->ConvertToMotionEvent("EVENT_MOTION_GRAB "), 1035);
    EXPECT_EQ(m_Engine->ConvertToMotionEvent(""), 1035);
    EXPECT_EQ(m_Engine->ConvertToMotionEvent("EVENT_MOTION_DEFAULT_MAX"), 1035);
}

TEST_F(SubscriptionTest, RefusedItemStopsTheListAndIsLoggedThroughTheFrameworkLogger) {
    // The library refuses what it has no signal for (1035).
    Outcome out = Exec(m_Engine, "SetMotionSubscribeInfo", "w",
                       List({"EVENT_MOTION_GRAB", "NOT_A_GESTURE", "EVENT_MOTION_UNGRAB"}));
    EXPECT_TRUE(out.IsInt(0));
    EXPECT_EQ(SubscribedSignals(), (std::vector<std::string>{"1005", "1035"}));
    bool logged = false;
    for (const std::string& raw : gxsim::TakeLogLines()) {
        if (raw.find("[KIV][SubScribe(") != std::string::npos &&
            raw.find(")] SubscirbeMotionSignal failed! the motion signal is 1035") !=
                std::string::npos) {
            logged = true;
        }
    }
    EXPECT_TRUE(logged);
    // The first item stays subscribed.
    ASSERT_EQ(gxsim::EmitMotionSignal(1005, std::string("t")), 1);
    gxsim::Drain();
    EXPECT_TRUE(m_Events.WaitFor(1));
}

TEST_F(SubscriptionTest, EmptyListSucceedsWithoutSubscribing) {
    EXPECT_TRUE(
        Exec(m_Engine, "SetMotionSubscribeInfo", "w", R"({"motionEventList":[]})").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "w", R"({"other":1})").IsInt(1));
    EXPECT_TRUE(SubscribedSignals().empty());
}

TEST_F(SubscriptionTest, TextThatDoesNotParseStoresNothingButReplacesTheWidgetName) {
    for (const char* text :
         {"not json", "", "{\"motionEventList\":[", "[1,2]", "\"text\"", "7", "null"}) {
        TakeLog();
        const std::string widget = std::string("w-") + std::to_string(std::strlen(text));
        Outcome out = Exec(m_Engine, "SetMotionSubscribeInfo", widget, text);
        EXPECT_TRUE(out.served) << text;
        EXPECT_TRUE(out.Untouched()) << text;
        std::vector<std::string> texts = TakeMessages();
        EXPECT_TRUE(Contains(texts, "m_MotionWidgetName = " + widget + "\n")) << text;
        EXPECT_FALSE(Contains(texts, "to create thread")) << text;
    }
    EXPECT_TRUE(SubscribedSignals().empty());
    // The replaced name is the one events carry.
    Exec(m_Engine, "SubscirbeMotionSignal", "1001");
    kiv::CEmpEngineGX::ProcessSignal(std::stoi(m_Handle), 1001, nullptr, nullptr);
    ASSERT_EQ(m_Events.Events().size(), 1u);
    EXPECT_EQ(m_Events.Events()[0].name, "EVENT_MOTION_SLAP_RIGHT-w-4");
}

TEST_F(SubscriptionTest, ShapesOtherThanAListOfNamedObjectsAreRefused) {
    const char* const texts[] = {
        R"({"motionEventList":{"itemType":"EVENT_MOTION_GRAB"}})",
        R"({"motionEventList":"EVENT_MOTION_GRAB"})",
        R"({"motionEventList":["EVENT_MOTION_GRAB"]})",
        R"({"motionEventList":[{"itemType":1005}]})",
        R"({"motionEventList":[{"itemType":["EVENT_MOTION_GRAB"]}]})",
        R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}, 5]})",
    };
    for (const char* text : texts) {
        EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "w", text).Untouched()) << text;
    }
    EXPECT_TRUE(SubscribedSignals().empty());
    // Members the list does not need are ignored; a missing itemType is the empty name.
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "w",
                     R"({"x":[1],"motionEventList":[{"itemType":"EVENT_MOTION_GRAB","y":{}},{}]})")
                    .IsInt(0));
    EXPECT_EQ(SubscribedSignals(), (std::vector<std::string>{"1005", "1035"}));
}

TEST_F(SubscriptionTest, HostileTextsNeverCrash) {
    const std::string deep(100000, '[');
    const std::string deepObject = [] {
        std::string s;
        for (int i = 0; i < 100000; ++i) s += "{\"a\":";
        return s;
    }();
    const std::string big(1 << 20, 'x');
    const std::string bigList = "{\"motionEventList\":[{\"itemType\":\"" + big + "\"}]}";
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "w", deep).Untouched());
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "w", deepObject).Untouched());
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", big, bigList).IsInt(0));
    EXPECT_TRUE(
        Exec(m_Engine, "SetMotionSubscribeInfo", "w",
             std::string(R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})") + "\r")
            .IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "OverWriteFace", deep, "1").Untouched());
    EXPECT_TRUE(Exec(m_Engine, "SubscirbeMotionSignal", big).served);
}

TEST_F(SubscriptionTest, EachCommandStartsAThreadAndTeardownQuitsTheNewestLoop) {
    const std::string list = List({"EVENT_MOTION_GRAB"});
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "a", list).IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "SetMotionSubscribeInfo", "b", list).IsInt(1));
    std::vector<std::string> texts = TakeMessages();
    int threads = 0;
    for (const std::string& t : texts) threads += t == "in CEmpEngineGX::SubScribe";
    EXPECT_EQ(threads, 2);
    Destroy(m_Engine);
    // Only the newest loop is quit: exactly one thread leaves its loop.
    EXPECT_TRUE(WaitForMessage("run the m_MotionLoop"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Contains(TakeMessages(), "run the m_MotionLoop"));
}

// Runs `command` from an idle callback of a host loop on GLib's default context, as a host whose
// command thread runs that context would, and goes on iterating it until `done` (at most 5 s).
void RunHosted(const std::function<void()>& command, const std::function<bool()>& done) {
    struct Host {
        GMainLoop* loop;
        const std::function<void()>& command;
        const std::function<bool()>& done;
        std::chrono::steady_clock::time_point deadline;
    } host{g_main_loop_new(nullptr, FALSE), command, done, {}};
    static const GSourceFunc poll = [](gpointer p) -> gboolean {
        auto* h = static_cast<Host*>(p);
        if (!h->done() && std::chrono::steady_clock::now() < h->deadline) return G_SOURCE_CONTINUE;
        g_main_loop_quit(h->loop);
        return G_SOURCE_REMOVE;
    };
    g_idle_add(
        [](gpointer p) -> gboolean {
            auto* h = static_cast<Host*>(p);
            h->command();
            h->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            g_timeout_add(5, poll, h);
            return G_SOURCE_REMOVE;
        },
        &host);
    g_main_loop_run(host.loop);
    g_main_loop_unref(host.loop);
}

// The command thread owns GLib's default context and waits in the command: the subscription thread
// must answer without that context. Teardown quits the running loop without the host iterating.
TEST_F(SubscriptionTest, HostOnTheDefaultContextGetsItsAnswerAndTeardownEndsTheThread) {
    bool answered = false, running = false, ended = false;
    RunHosted(
        [&] {
            TakeLastLoop();
            answered =
                Exec(m_Engine, "SetMotionSubscribeInfo", "w", List({"EVENT_MOTION_GRAB"})).IsInt(1);
            running = WaitForLoopRunning();
            Destroy(m_Engine);
            ended = WaitForMessage("run the m_MotionLoop");
        },
        [] { return true; });
    EXPECT_TRUE(answered);
    EXPECT_TRUE(running);
    EXPECT_TRUE(ended);
}

// Teardown right after the command, while the thread is held before its loop: the quit must not be
// lost, whether the thread itself or a host iterates the default context. The host meets the quit
// (the loop not yet running) before the thread is let go.
TEST_F(SubscriptionTest, QuitBeforeTheLoopRunsStillEndsTheThread) {
    for (bool hosted : {false, true}) {
        kiv::CEmpEngineGX* engine = NewEngine();
        TakeLog();
        bool answered = false, ended = false;
        auto command = [&] {
            SetGateClosed(true);
            answered =
                Exec(engine, "SetMotionSubscribeInfo", "w", List({"EVENT_MOTION_GRAB"})).IsInt(1);
            Destroy(engine);
        };
        if (hosted) {
            RunHosted(command, [&] {
                SetGateClosed(false);
                return ended = ended || Contains(TakeMessages(), "run the m_MotionLoop");
            });
        } else {
            command();
            SetGateClosed(false);
            ended = WaitForMessage("run the m_MotionLoop");
        }
        EXPECT_TRUE(answered) << "hosted " << hosted;
        EXPECT_TRUE(ended) << "hosted " << hosted;
    }
}

TEST_F(SubscriptionTest, TeardownWithoutSubscriptionStopsNoLoop) {
    Destroy(m_Engine);
    EXPECT_FALSE(Contains(TakeMessages(), "exit the m_MotionLoop"));
}

// The thread works on the engine constructed last, whichever engine ran the command.
TEST_F(SubscriptionTest, ThreadSubscribesForTheMostRecentEngine) {
    kiv::CEmpEngineGX* newer = NewEngine();
    const std::string newerHandle = std::to_string(gxsim::LiveMotionHandles().back());
    gxsim::ClearTrace();
    EXPECT_TRUE(
        Exec(m_Engine, "SetMotionSubscribeInfo", "w", List({"EVENT_MOTION_GRAB"})).IsInt(1));
    auto calls = Calls("gx_set_motion_signal_subscribed");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[0], newerHandle);
    Destroy(newer);
    // With the most recent engine gone, a subscription finds no engine and fails cleanly.
    EXPECT_TRUE(
        Exec(m_Engine, "SetMotionSubscribeInfo", "w", List({"EVENT_MOTION_GRAB"})).IsInt(0));
}

}  // namespace
}  // namespace gxtest
