// A subscription thread that cannot be created. pthread_create is interposed in this test binary
// only: while armed, the next call from the arming thread fails with EAGAIN.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include "FaultFixture.h"

namespace {

thread_local int t_FailNextCreate = 0;

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    static CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    if (t_FailNextCreate > 0) {
        --t_FailNextCreate;
        return EAGAIN;
    }
    return real(thread, attr, start, arg);
}

namespace faults {
namespace {

TEST_F(FaultTest, SubscriptionFailsCleanlyWhenItsThreadCannotStart) {
    kiv::CEmpEngineBase* engine = NewEngine();
    ASSERT_EQ(RunInt(engine, "SetMotionSubscribeInfo", "w1", kGrabList), 1);

    gxsim::StartLogCapture();
    t_FailNextCreate = 1;
    // Must come back with 0 rather than wait for a thread that never runs.
    EXPECT_EQ(RunInt(engine, "SetMotionSubscribeInfo", "w2", kGrabList), 0);
    EXPECT_EQ(t_FailNextCreate, 0) << "the command did not try to start a thread";
    bool logged = false;
    for (const std::string& line : gxsim::TakeLogLines())
        logged = logged || line.find("create subscribe thread failed") != std::string::npos;
    gxsim::StopLogCapture();
    EXPECT_TRUE(logged);

    // The earlier subscription still delivers, under the name the failed command set.
    EXPECT_EQ(GrabEventsDelivered(20, "w2"), 20u);
    // The hand-off is usable again: the next subscription works, repeatedly.
    for (int i = 0; i < 3; ++i) ExpectMotionServing(engine, "w" + std::to_string(3 + i));
    ExpectFaceServing(engine);
}

}  // namespace
}  // namespace faults
