// The plug-in built to open a motion library that is not there (GXEMP_MOTION_LIB_PATH names a
// missing file) or that is no library at all (a text file): the engine starts without motion,
// keeps serving face and speech commands, and delivers every face event.
#include "FaultFixture.h"

namespace faults {
namespace {

TEST_F(FaultTest, EngineStartsWithoutMotionAndServesTheRest) {
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_EQ(Render(TakeLog(), {"Initial", "LoadMotionLib", "CreateMotionHandle"}),
              "2 Initial | 16 LoadMotionLib: Loading motion lib | 16 LoadMotionLib: dlopen "
              "failed:motion lib | 2 CreateMotionHandle | 16 CreateMotionHandle: "
              "CEmpProviderPlugin::gx_motion_recog_create = NULL | 16 Initial: CreateMotionHandle "
              "failed");
    for (const char* cmd :
         {"SetMotionSubscribeInfo", "GetGestureCameraStatus", "GetZoomTriggerCondition"})
        EXPECT_FALSE(Exec(engine, cmd, "w", kGrabList).served) << cmd;
    ExpectFaceServing(engine);
    EXPECT_EQ(Exec(engine, "EnableTTSEngine").result, "1");
    // Each engine tries the library again, and its teardown finds nothing to unload.
    Destroy(NewEngine());
    EXPECT_EQ(Render(TakeLog(), {"LoadMotionLib", "UnLoadMotionLib"}),
              "16 LoadMotionLib: Loading motion lib | 16 LoadMotionLib: dlopen failed:motion lib | "
              "2 UnLoadMotionLib: motion lib already unloaded");
    EXPECT_EQ(Delivered(true, 10), 10u);
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());
}

}  // namespace
}  // namespace faults
