// Faults of the motion and face libraries and of the settings store, injected through the
// simulator.
#include <sys/stat.h>

#include <fstream>

#include "FaultFixture.h"

namespace faults {
namespace {
using gxtest::operator<<;  // a failed row is shown by its log

void Hide(const std::set<std::string>& names) {
    gxsim::SetHiddenMotionEntryPoints(names);
}
void Store(const char* content, mode_t mode = 0644) {
    std::ofstream(gxsim::GetSettingsPath(), std::ios::binary) << content;
    chmod(gxsim::GetSettingsPath().c_str(), mode);
}

struct FaultRow {
    const char* log;     // what the fault is (shown when a row fails)
    void (*fault)();     // injected before the engine is built
    const char* cmd;     // a command that meets the fault,
    const char* result;  // and what it answers (none: the motion group is not served)
    bool motion;         // a subscription list still delivers every grab
};

// clang-format off
const FaultRow kFaultRows[] = {
    {"no subscribe entry", [] { Hide({"gx_set_motion_signal_subscribed"}); }, "SetMotionSubscribeInfo", "0", false},
    {"no zoom getter", [] { Hide({"gx_get_zoom_trigger_condition"}); }, "GetZoomTriggerCondition", "-1", true},
    {"no setters", [] { Hide({"gx_set_zoom_trigger_condition", "gx_enable_swipe", "gx_start_motion_recog"}); }, "StartMotionRecognition", "0", true},
    {"no create entry", [] { Hide({"gx_motion_recog_create"}); }, "SetMotionSubscribeInfo", "none", false},
    {"nothing exported", [] { Hide({gxsim::MotionEntryPoints().begin(), gxsim::MotionEntryPoints().end()}); }, "StartMotionRecognition", "none", false},
    {"create refused", [] { gxsim::ForceResult("gx_motion_recog_create", 0); }, "SetMotionSubscribeInfo", "none", false},
    {"face create refused", [] { gxsim::ForceResult("gx_face_recog_create", 0); }, "InitializeFace", "0", true},
    {"corrupt store", [] { Store("[vconf\ndb/menu/accessibility/tts=\x01\xff\n"); }, "EnableTTSEngine", "0", true},
    {"key not an integer", [] { Store("[vconf]\ndb/menu/accessibility/tts=on\n"); }, "IsSupportTTS", "0", true},
    {"read-only store", [] { Store("[vconf]\ndb/menu/accessibility/tts=0\n", 0444); }, "EnableTTSEngine", "1", true},
    {"store directory impossible", [] { Store("a file"), gxsim::SetSettingsPath(gxsim::GetSettingsPath() + "/s.ini"); }, "EnableTTSEngine", "0", true},
};
// clang-format on

class Fault : public FaultTest, public ::testing::WithParamInterface<FaultRow> {};

// A fault costs its own feature and nothing else: the other commands are served, every event
// still arrives, a store that fails is left as it was, and once the fault is gone the voice guide
// works again without a restart and a new engine is whole.
TEST_P(Fault, CostsItsOwnFeatureOnly) {
    const FaultRow& row = GetParam();
    row.fault();
    const std::string store = gxtest::ReadFile(gxsim::GetSettingsPath());
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_EQ(Exec(engine, row.cmd, "w", kGrabList).result, row.result);
    EXPECT_EQ(gxtest::ReadFile(gxsim::GetSettingsPath()), store);
    gxsim::ClearForcedResults();
    if (row.motion) ExpectMotionServing(engine, "w");
    ExpectFaceServing(engine);
    gxsim::SetSettingsPath(m_Dir + "/healthy.ini");
    EXPECT_EQ(Exec(engine, "EnableTTSEngine").result, "1");
    Hide({});
    ExpectMotionServing(NewEngine(), "next");
}
INSTANTIATE_TEST_SUITE_P(Faults, Fault, ::testing::ValuesIn(kFaultRows));

// Without gx_motion_recog_destroy an engine's teardown leaves its motion instance alive in the
// library: its signals must find no engine.
TEST_F(FaultTest, InstanceLeftByTeardownReachesNoEngine) {
    Hide({"gx_motion_recog_destroy"});
    kiv::CEmpEngineGX* engine = NewEngine();
    ASSERT_EQ(Exec(engine, "SetMotionSubscribeInfo", "gone", kGrabList).result, "1");
    Destroy(engine);
    EXPECT_EQ(gxsim::LiveMotionHandles(), std::vector<int>{gxtest::kMotion});
    EXPECT_EQ(Delivered(false, 10, "gone"), 0u);
    Hide({});
    ExpectMotionServing(NewEngine(), "next");
}

}  // namespace
}  // namespace faults
