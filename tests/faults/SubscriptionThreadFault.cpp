// A subscription thread that cannot be created. pthread_create is interposed in this test binary
// only: while armed, the next call from the arming thread fails with EAGAIN.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include "FaultFixture.h"

namespace {
thread_local bool t_FailNextCreate = false;
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (t_FailNextCreate) {
        t_FailNextCreate = false;
        return EAGAIN;
    }
    return real(thread, attr, start, arg);
}

namespace faults {
namespace {

TEST_F(FaultTest, SubscriptionFailsCleanlyWhenItsThreadCannotStart) {
    kiv::CEmpEngineGX* engine = NewEngine();
    ExpectMotionServing(engine, "w1");
    TakeLog();
    t_FailNextCreate = true;
    // Comes back with 0 rather than wait for a thread that never runs.
    EXPECT_EQ(Exec(engine, "SetMotionSubscribeInfo", "w2", kGrabList).result, "0");
    EXPECT_FALSE(t_FailNextCreate) << "the command did not try to start a thread";
    const std::string log = Log();
    EXPECT_EQ(log.substr(log.rfind(" | ") + 3), "16 Execute: create subscribe thread failed");
    // The earlier subscription still delivers, under the name the failed command set, and the
    // hand-off works again, repeatedly.
    EXPECT_EQ(Delivered(false, 20, "w2"), 20u);
    for (const char* widget : {"w3", "w4", "w5"}) ExpectMotionServing(engine, widget);
    ExpectFaceServing(engine);
}

}  // namespace
}  // namespace faults
