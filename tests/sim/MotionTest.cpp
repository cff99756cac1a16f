// The motion library as the plug-in sees it: the real libgesture-bridge.so opened with dlopen.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "SimFixture.h"
#include "gesture_bridge.h"

namespace {

using namespace std::chrono_literals;

class MotionLib : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        lib_ = dlopen(GXSIM_GESTURE_BRIDGE_PATH, RTLD_LAZY);
        ASSERT_NE(lib_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (lib_) dlclose(lib_);
        SimTest::TearDown();
    }

    template <class F>
    F Sym(const char* name) {
        return reinterpret_cast<F>(dlsym(lib_, name));
    }

    int Create() {
        int h = 0;
        EXPECT_EQ(Sym<gx_motion_recog_create_t>("gx_motion_recog_create")(&h), 1);
        return h;
    }

    void* lib_ = nullptr;
};

// Records what the library hands to a callback.
struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    struct Call {
        int handle, signal;
        bool hasData;
        std::string text;
        void* user;
        std::thread::id thread;
    };
    std::vector<Call> calls;

    static void Cb(int handle, int signal, void* data, void* user) {
        auto* self = static_cast<Seen*>(user);
        std::lock_guard<std::mutex> lk(self->mu);
        self->calls.push_back(Call{handle, signal, data != nullptr,
                                   data ? static_cast<const char*>(data) : "", user,
                                   std::this_thread::get_id()});
        self->cv.notify_all();
    }
};

TEST_F(MotionLib, HiddenEntryPointsAreNotFoundOthersWork) {
    const std::set<std::string> hidden = {"gx_enable_swipe", "gx_get_zoom_trigger_condition",
                                          "gx_motion_recog_destroy"};
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints(hidden));
    void* fresh = dlopen(GXSIM_GESTURE_BRIDGE_PATH, RTLD_LAZY);
    ASSERT_NE(fresh, nullptr);
    for (const auto& name : gxsim::MotionEntryPoints()) {
        void* p = dlsym(fresh, name.c_str());
        if (hidden.count(name))
            EXPECT_EQ(p, nullptr) << name;
        else
            EXPECT_NE(p, nullptr) << name;
    }
    int h = Create();
    EXPECT_EQ(Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 3), 1);
    EXPECT_EQ(gxsim::GetMotionState(h)->zoomTrigger, 3);

    // Lookups resolve afresh: with nothing hidden the symbols are back.
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({}));
    EXPECT_NE(dlsym(fresh, "gx_enable_swipe"), nullptr);
    dlclose(fresh);

    EXPECT_FALSE(gxsim::SetHiddenMotionEntryPoints({"gx_enable_swipe", "gx_no_such_entry"}));
    EXPECT_TRUE(gxsim::HiddenMotionEntryPoints().empty());
}

TEST_F(MotionLib, StateReadsBack) {
    int h = Create();
    int h2 = Create();
    EXPECT_EQ(h, 1001);
    EXPECT_EQ(h2, 1002);

    EXPECT_EQ(Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 7), 1);
    EXPECT_EQ(Sym<gx_set_rotate_trigger_condition_t>("gx_set_rotate_trigger_condition")(h, -4), 1);
    EXPECT_EQ(Sym<gx_enable_motion_recognition_t>("gx_enable_motion_recognition")(h, 1), 1);
    EXPECT_EQ(Sym<gx_enable_motion_hint_t>("gx_enable_motion_hint")(h, 9), 1);
    EXPECT_EQ(Sym<gx_enable_swipe_t>("gx_enable_swipe")(h, 1), 1);

    int v = 0;
    EXPECT_EQ(Sym<gx_get_zoom_trigger_condition_t>("gx_get_zoom_trigger_condition")(h, &v), 1);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(Sym<gx_get_rotate_trigger_condition_t>("gx_get_rotate_trigger_condition")(h, &v), 1);
    EXPECT_EQ(v, -4);
    EXPECT_EQ(Sym<gx_is_motion_recognition_enabled_t>("gx_is_motion_recognition_enabled")(h), 1);
    // The other instance keeps its own settings.
    EXPECT_EQ(Sym<gx_get_zoom_trigger_condition_t>("gx_get_zoom_trigger_condition")(h2, &v), 1);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(Sym<gx_is_motion_recognition_enabled_t>("gx_is_motion_recognition_enabled")(h2), 0);

    auto status = Sym<gx_get_motion_recognition_status_t>("gx_get_motion_recognition_status");
    gx_recog_status st = -1;
    EXPECT_EQ(status(h, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(Sym<gx_start_motion_recog_t>("gx_start_motion_recog")(h), 1);
    status(h, &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(Sym<gx_stop_motion_recog_t>("gx_stop_motion_recog")(h), 1);
    status(h, &st);
    EXPECT_EQ(st, 0);

    auto state = gxsim::GetMotionState(h);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->hint, 9);
    EXPECT_EQ(state->swipe, 1);

    gxsim::MotionAnswers answers;
    answers.brightness = 77;
    answers.slapValid = 0;
    gxsim::SetMotionAnswers(answers);
    EXPECT_EQ(Sym<gx_get_motion_brightness_level_t>("gx_get_motion_brightness_level")(h, &v), 1);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(Sym<gx_is_slap_motion_valid_t>("gx_is_slap_motion_valid")(h), 0);
    EXPECT_EQ(Sym<gx_is_two_hand_motion_valid_t>("gx_is_two_hand_motion_valid")(h), 1);

    // An unknown handle fails and leaves out-values alone.
    v = 123;
    EXPECT_EQ(Sym<gx_get_zoom_trigger_condition_t>("gx_get_zoom_trigger_condition")(4242, &v), 0);
    EXPECT_EQ(v, 123);
    EXPECT_EQ(Sym<gx_motion_recog_destroy_t>("gx_motion_recog_destroy")(h), 1);
    EXPECT_EQ(Sym<gx_motion_recog_destroy_t>("gx_motion_recog_destroy")(h), 0);
    EXPECT_EQ(gxsim::LiveMotionHandles(), std::vector<int>{h2});
}

TEST_F(MotionLib, TraceKeepsArgumentsAndResults) {
    int h = Create();
    int v = 0;
    Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 5);
    Sym<gx_get_zoom_trigger_condition_t>("gx_get_zoom_trigger_condition")(h, &v);
    Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed")(h, 1005, nullptr,
                                                                              nullptr);
    auto t = gxsim::Trace();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].function, "gx_motion_recog_create");
    EXPECT_EQ(t[0].detail, "handle=1001");
    EXPECT_EQ(t[1].function, "gx_set_zoom_trigger_condition");
    EXPECT_EQ(t[1].args, (std::vector<std::string>{"1001", "5"}));
    EXPECT_EQ(t[1].result, 1);
    EXPECT_EQ(t[2].args, (std::vector<std::string>{"1001", gxsim::FormatPointer(&v)}));
    EXPECT_EQ(t[2].detail, "value=5");
    // A subscription without a callback is refused.
    EXPECT_EQ(t[3].args, (std::vector<std::string>{"1001", "1005", "null", "null"}));
    EXPECT_EQ(t[3].result, 0);
    gxsim::ClearTrace();
    EXPECT_TRUE(gxsim::Trace().empty());
}

TEST_F(MotionLib, ForcedResultsReplaceTheWork) {
    EXPECT_FALSE(gxsim::ForceResult("gx_not_an_entry", 1));
    ASSERT_TRUE(gxsim::ForceResult("gx_motion_recog_create", 0));
    int h = -5;
    EXPECT_EQ(Sym<gx_motion_recog_create_t>("gx_motion_recog_create")(&h), 0);
    EXPECT_EQ(h, -5);
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());
    EXPECT_EQ(gxsim::Trace().back().result, 0);

    gxsim::ClearForcedResult("gx_motion_recog_create");
    h = Create();
    ASSERT_TRUE(gxsim::ForceResult("gx_set_zoom_trigger_condition", 42));
    EXPECT_EQ(Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 8), 42);
    EXPECT_EQ(gxsim::GetMotionState(h)->zoomTrigger, 0);
    gxsim::ClearForcedResults();
    EXPECT_EQ(Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 8), 1);
    EXPECT_EQ(gxsim::GetMotionState(h)->zoomTrigger, 8);
}

TEST_F(MotionLib, SignalsArriveOnTheLibraryThread) {
    Seen seen;
    int h = Create();
    auto sub = Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed");
    ASSERT_EQ(sub(h, 1005, &Seen::Cb, &seen), 1);
    ASSERT_EQ(sub(h, 1007, &Seen::Cb, &seen), 1);
    EXPECT_EQ(gxsim::EmitMotionSignal(1005, std::string("abc")), 1);
    EXPECT_EQ(gxsim::EmitMotionSignal(1007, std::nullopt), 1);
    EXPECT_EQ(gxsim::EmitMotionSignal(1000, std::string("nobody")), 0);
    gxsim::Drain();

    ASSERT_EQ(seen.calls.size(), 2u);
    EXPECT_EQ(seen.calls[0].handle, h);
    EXPECT_EQ(seen.calls[0].signal, 1005);
    EXPECT_EQ(seen.calls[0].text, "abc");
    EXPECT_EQ(seen.calls[0].user, &seen);
    EXPECT_FALSE(seen.calls[1].hasData);
    EXPECT_NE(seen.calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(seen.calls[0].thread, seen.calls[1].thread);

    EXPECT_EQ(Sym<gx_motion_signal_unsubscribed_t>("gx_motion_signal_unsubscribed")(h, 1005), 1);
    EXPECT_EQ(gxsim::EmitMotionSignal(1005, std::string("late")), 0);

    // Routing: any handle and signal through the registered callback.
    EXPECT_TRUE(gxsim::InvokeMotionCallback(-1, 999, std::string("x")));
    gxsim::Drain();
    ASSERT_EQ(seen.calls.size(), 3u);
    EXPECT_EQ(seen.calls[2].handle, -1);
    EXPECT_EQ(seen.calls[2].signal, 999);
    EXPECT_NE(seen.calls[2].thread, std::this_thread::get_id());
}

TEST_F(MotionLib, InvokeWithoutCallbackFails) {
    EXPECT_FALSE(gxsim::InvokeMotionCallback(1001, 1005, std::nullopt));
}

TEST_F(MotionLib, EqualForcedHandlesAreSeparateInstances) {
    Seen seen;
    auto sub = Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed");
    gxsim::SetNextMotionHandle(7);
    int a = Create();
    sub(a, 1005, &Seen::Cb, &seen);
    gxsim::SetNextMotionHandle(7);
    int b = Create();
    sub(b, 1005, &Seen::Cb, &seen);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 7);
    EXPECT_EQ(gxsim::EmitMotionSignal(1005, std::string("g")), 2);
    gxsim::Drain();
    EXPECT_EQ(seen.calls.size(), 2u);
    EXPECT_EQ(Create(), 8);
}

// A callback that blocks until released, recording whether it has returned.
struct Blocking {
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<int> calls{0};
    std::atomic<bool> done{false};

    static void Cb(int, int, void*, void* user) {
        auto* self = static_cast<Blocking*>(user);
        self->calls++;
        std::unique_lock<std::mutex> lk(self->mu);
        self->entered = true;
        self->cv.notify_all();
        self->cv.wait(lk, [&] { return self->release; });
        lk.unlock();
        std::this_thread::sleep_for(5ms);
        self->done = true;
    }
    void WaitEntered() {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [&] { return entered; });
    }
    void Release() {
        std::lock_guard<std::mutex> lk(mu);
        release = true;
        cv.notify_all();
    }
};

TEST_F(MotionLib, DestroyWaitsForARunningCallbackAndDropsQueuedSignals) {
    Blocking b;
    int h = Create();
    Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed")(h, 1005,
                                                                              &Blocking::Cb, &b);
    gxsim::EmitMotionSignal(1005, std::string("1"));
    gxsim::EmitMotionSignal(1005, std::string("2"));
    b.WaitEntered();

    std::atomic<bool> returned{false};
    bool doneWhenReturned = false;
    std::thread destroyer([&] {
        Sym<gx_motion_recog_destroy_t>("gx_motion_recog_destroy")(h);
        doneWhenReturned = b.done;
        returned = true;
    });
    // Give a destroy that does not wait the chance to return early.
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned);
    b.Release();
    destroyer.join();
    EXPECT_TRUE(doneWhenReturned);
    gxsim::Drain();
    EXPECT_EQ(b.calls, 1);  // the second signal went with the instance
}

TEST_F(MotionLib, CallbacksMayCallBackIntoTheLibrary) {
    static void* lib;
    lib = lib_;
    static std::atomic<int> seenZoom{-1};
    static std::atomic<int> destroyed{-1};
    auto cb = [](int handle, int, void*, void*) {
        int v = 0;
        reinterpret_cast<gx_get_zoom_trigger_condition_t>(
            dlsym(lib, "gx_get_zoom_trigger_condition"))(handle, &v);
        seenZoom = v;
        // Destroying its own instance from the callback must not wait for itself.
        destroyed = reinterpret_cast<gx_motion_recog_destroy_t>(
            dlsym(lib, "gx_motion_recog_destroy"))(handle);
    };
    int h = Create();
    Sym<gx_set_zoom_trigger_condition_t>("gx_set_zoom_trigger_condition")(h, 11);
    Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed")(h, 1004, cb, nullptr);
    gxsim::EmitMotionSignal(1004, std::nullopt);
    gxsim::Drain();
    EXPECT_EQ(seenZoom, 11);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());
}

TEST_F(MotionLib, ResetDropsInstancesAndRestoresDefaults) {
    Seen seen;
    int h = Create();
    Sym<gx_set_motion_signal_subscribed_t>("gx_set_motion_signal_subscribed")(h, 1005, &Seen::Cb,
                                                                              &seen);
    gxsim::ForceResult("gx_start_motion_recog", 9);
    gxsim::SetHiddenMotionEntryPoints({"gx_enable_swipe"});
    gxsim::Reset();
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());
    EXPECT_EQ(gxsim::EmitMotionSignal(1005, std::nullopt), 0);
    EXPECT_FALSE(gxsim::InvokeMotionCallback(h, 1005, std::nullopt));
    EXPECT_NE(dlsym(lib_, "gx_enable_swipe"), nullptr);
    EXPECT_EQ(Create(), 1001);
    EXPECT_EQ(Sym<gx_start_motion_recog_t>("gx_start_motion_recog")(1001), 1);
}

}  // namespace
