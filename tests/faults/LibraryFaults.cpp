// Faults of the motion and face libraries and of the settings store, injected through the
// simulator: each costs what it must and nothing else, every event still arrives, and the engines
// built after the fault is gone are whole again.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "FaultFixture.h"

namespace faults {
namespace {

void Hide(std::set<std::string> names) {
    gxsim::SetHiddenMotionEntryPoints(names);
}

struct LibraryRow {
    const char* log;     // what the fault is (shown when a row fails)
    void (*fault)();     // injected before the engine is built
    const char* cmd;     // a command that meets the fault,
    const char* result;  // and what it answers (none: the motion group is not served)
    bool motion;         // a subscription list still delivers every grab
};

// clang-format off
const LibraryRow kLibraryRows[] = {
    {"no subscribe entry", [] { Hide({"gx_set_motion_signal_subscribed"}); }, "SetMotionSubscribeInfo", "0", false},
    {"no zoom getter", [] { Hide({"gx_get_zoom_trigger_condition"}); }, "GetZoomTriggerCondition", "-1", true},
    {"no setters", [] { Hide({"gx_set_zoom_trigger_condition", "gx_enable_swipe", "gx_start_motion_recog"}); }, "StartMotionRecognition", "0", true},
    {"no create entry", [] { Hide({"gx_motion_recog_create"}); }, "SetMotionSubscribeInfo", "none", false},
    {"nothing exported", [] { Hide({gxsim::MotionEntryPoints().begin(), gxsim::MotionEntryPoints().end()}); }, "StartMotionRecognition", "none", false},
    {"create refused", [] { gxsim::ForceResult("gx_motion_recog_create", 0); }, "SetMotionSubscribeInfo", "none", false},
    {"face create refused", [] { gxsim::ForceResult("gx_face_recog_create", 0); }, "InitializeFace", "0", true},
};
// clang-format on

class LibraryFault : public FaultTest, public ::testing::WithParamInterface<LibraryRow> {};

TEST_P(LibraryFault, CostsItsOwnFeatureOnly) {
    const LibraryRow& row = GetParam();
    row.fault();
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_EQ(Exec(engine, row.cmd, "w", kGrabList).result, row.result);
    gxsim::ClearForcedResults();
    if (row.motion) ExpectMotionServing(engine, "w");
    ExpectFaceServing(engine);
    EXPECT_EQ(Exec(engine, "EnableTTSEngine").result, "1");
    // The fault does not stick to engines built once it is gone.
    Hide({});
    ExpectMotionServing(NewEngine(), "next");
}
INSTANTIATE_TEST_SUITE_P(Faults, LibraryFault, ::testing::ValuesIn(kLibraryRows));

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

struct StoreRow {
    const char* log;
    const char* content;  // nullptr: no file
    mode_t mode;
    bool parentIsFile;    // the store's directory cannot be made
    const char* enabled;  // what EnableTTSEngine answers
    const char* support;  // what IsSupportTTS answers then
};

// clang-format off
const StoreRow kStoreRows[] = {
    {"missing", nullptr, 0, false, "1", "1"},
    {"corrupt", "[vconf\ndb/menu/accessibility/tts=\x01\xff\n", 0644, false, "0", "0"},
    {"key not an integer", "[vconf]\ndb/menu/accessibility/tts=on\n", 0644, false, "0", "0"},
    {"read-only", "[vconf]\ndb/menu/accessibility/tts=0\ndb/menu/sound/volume=20\n", 0444, false, "1", "0"},
    {"directory impossible", nullptr, 0, true, "0", "0"},
};
// clang-format on

class StoreFault : public FaultTest, public ::testing::WithParamInterface<StoreRow> {};

// A store that cannot be read or written fails the voice guide alone and is left as it was.
TEST_P(StoreFault, VoiceGuideFailsAloneAndTheStoreSurvives) {
    const StoreRow& row = GetParam();
    const std::string dir = m_Dir + "/store", path = dir + "/settings.ini";
    if (row.parentIsFile) {
        std::ofstream(dir) << "a file where a directory should be";
    } else {
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    }
    if (row.content != nullptr) {
        std::ofstream(path, std::ios::binary) << row.content;
        ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
    }
    gxsim::SetSettingsPath(path);
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_EQ(Exec(engine, "EnableTTSEngine").result, row.enabled);
    EXPECT_EQ(Exec(engine, "IsSupportTTS").result, row.support);
    if (row.content != nullptr) {
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), row.content);
    }
    ExpectMotionServing(engine, "w");
    ExpectFaceServing(engine);
    // A healthy store serves the voice guide again without a restart.
    gxsim::SetSettingsPath(m_Dir + "/healthy.ini");
    EXPECT_EQ(Exec(engine, "EnableTTSEngine").result, "1");
    EXPECT_EQ(Exec(engine, "IsSupportTTS").result, "1");
}
INSTANTIATE_TEST_SUITE_P(Faults, StoreFault, ::testing::ValuesIn(kStoreRows));

}  // namespace
}  // namespace faults
