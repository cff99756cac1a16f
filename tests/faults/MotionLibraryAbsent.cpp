// The plug-in built to open a motion library that is not there (GXEMP_MOTION_LIB_PATH names a
// missing file) or that is no library at all (a text file): the engine starts without motion,
// keeps serving face and speech commands, and delivers every face event.
#include "FaultFixture.h"

namespace faults {
namespace {

TEST_F(FaultTest, EngineStartsWithoutMotionAndServesTheRest) {
    gxsim::StartLogCapture();
    kiv::CEmpEngineBase* engine = NewEngine();
    bool dlopenFailed = false, createFailed = false;
    for (const std::string& line : gxsim::TakeLogLines()) {
        dlopenFailed = dlopenFailed || line.find("dlopen failed:motion lib") != std::string::npos;
        createFailed = createFailed || line.find("CreateMotionHandle failed") != std::string::npos;
    }
    gxsim::StopLogCapture();
    EXPECT_TRUE(dlopenFailed);
    EXPECT_TRUE(createFailed);

    // The motion group is declined as a whole, the rest is served.
    for (const char* cmd : {"SetMotionSubscribeInfo", "GetGestureCameraStatus",
                            "StartMotionRecognition", "GetZoomTriggerCondition"}) {
        EXPECT_FALSE(Run(engine, cmd, "w", kGrabList).has_value()) << cmd;
    }
    ExpectFaceServing(engine);
    EXPECT_EQ(RunInt(engine, "EnableTTSEngine"), 1);
    EXPECT_EQ(RunInt(engine, "IsSupportTTS"), 1);

    // Engines come and go as usual; each one tries the library again.
    for (int i = 0; i < 3; ++i) DestroyEngine(NewEngine());
    EXPECT_EQ(FaceEventsDelivered(10), 10u);
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());
}

}  // namespace
}  // namespace faults
