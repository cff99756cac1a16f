// Faults of the recognition libraries, the camera service and the settings store, injected
// through the simulator. Each test shows what the failing part costs and that everything else
// keeps being served, with no event lost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <ostream>
#include <set>

#include "FaultFixture.h"
#include "vconf.h"

namespace faults {
namespace {

using ::testing::TestWithParam;
using ::testing::Values;

// ---- Motion library lacking entry points -------------------------------------------------------

struct HiddenCase {
    const char* label;
    std::set<std::string> hidden;
    bool motionServed;     // the motion group is still served
    bool motionDelivered;  // a subscription list still delivers grabs
    const char* failingCommand;
    const char* failingArg;
    int failingResult;
};

void PrintTo(const HiddenCase& c, std::ostream* os) {
    *os << c.label;
}

class PartialMotionLibrary : public FaultTest, public ::testing::WithParamInterface<HiddenCase> {};

TEST_P(PartialMotionLibrary, MissingEntryPointsFailAloneAndFacesStillArrive) {
    const HiddenCase& c = GetParam();
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints(c.hidden));
    gxsim::StartLogCapture();
    kiv::CEmpEngineBase* engine = NewEngine();

    size_t missingLines = 0;
    for (const std::string& line : gxsim::TakeLogLines()) {
        for (const std::string& name : c.hidden)
            if (line.find(name + " get symbol failed") != std::string::npos) ++missingLines;
    }
    gxsim::StopLogCapture();
    EXPECT_EQ(missingLines, c.hidden.size()) << "one line per missing entry point";

    if (c.failingCommand != nullptr) {
        EXPECT_EQ(RunInt(engine, c.failingCommand, c.failingArg, kGrabList), c.failingResult);
    }
    // The rest of the motion library keeps working.
    if (c.motionServed) {
        EXPECT_EQ(RunInt(engine, "SetZoomTriggerCondition", "7"),
                  c.hidden.count("gx_set_zoom_trigger_condition") ? 0 : 1);
        if (c.motionDelivered) ExpectMotionServing(engine, "w");
    } else {
        EXPECT_FALSE(Run(engine, "StartMotionRecognition").has_value());
    }
    ExpectFaceServing(engine);
    EXPECT_EQ(RunInt(engine, "EnableTTSEngine"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PartialMotionLibrary,
    Values(HiddenCase{"no_subscribe",
                      {"gx_set_motion_signal_subscribed"},
                      true,
                      false,
                      "SetMotionSubscribeInfo",
                      "w",
                      0},
           HiddenCase{"no_zoom_getter",
                      {"gx_get_zoom_trigger_condition"},
                      true,
                      true,
                      "GetZoomTriggerCondition",
                      "",
                      -1},
           HiddenCase{"no_setters",
                      {"gx_set_zoom_trigger_condition", "gx_enable_swipe", "gx_start_motion_recog"},
                      true,
                      true,
                      "StartMotionRecognition",
                      "",
                      0},
           HiddenCase{"no_create", {"gx_motion_recog_create"}, false, false, nullptr, nullptr, 0},
           HiddenCase{"nothing_at_all",
                      std::set<std::string>(gxsim::MotionEntryPoints().begin(),
                                            gxsim::MotionEntryPoints().end()),
                      false, false, nullptr, nullptr, 0}),
    [](const ::testing::TestParamInfo<HiddenCase>& info) { return info.param.label; });

// SetMotionSubscribeInfo sends its list through the subscription thread; with the entry point
// missing the list is refused, but the failure must not stick to later engines.
TEST_F(FaultTest, MissingEntryPointIsFoundAgainByTheNextEngine) {
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({"gx_set_motion_signal_subscribed"}));
    kiv::CEmpEngineBase* first = NewEngine();
    EXPECT_EQ(RunInt(first, "SetMotionSubscribeInfo", "w1", kGrabList), 0);
    DestroyEngine(first);

    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({}));
    kiv::CEmpEngineBase* second = NewEngine();
    ExpectMotionServing(second, "w2");
}

// Without gx_motion_recog_destroy an engine's teardown leaves its motion instance alive in the
// library; signals for it must find no engine.
TEST_F(FaultTest, InstanceLeftByTeardownReachesNoEngine) {
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({"gx_motion_recog_destroy"}));
    kiv::CEmpEngineBase* engine = NewEngine();
    ASSERT_EQ(RunInt(engine, "SetMotionSubscribeInfo", "gone", kGrabList), 1);
    auto before = gxsim::LiveMotionHandles();
    ASSERT_EQ(before.size(), 1u);
    DestroyEngine(engine);
    EXPECT_EQ(gxsim::LiveMotionHandles(), before) << "the instance could not be destroyed";

    EXPECT_EQ(GrabEventsDelivered(10, "gone"), 0u);
    EXPECT_TRUE(m_Events.Take().empty());
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({}));
    kiv::CEmpEngineBase* next = NewEngine();
    ExpectMotionServing(next, "next");
}

// ---- Failing library calls ---------------------------------------------------------------------

TEST_F(FaultTest, MotionHandleCreationFailingKeepsFaceAndSpeech) {
    ASSERT_TRUE(gxsim::ForceResult("gx_motion_recog_create", 0));
    kiv::CEmpEngineBase* engine = NewEngine();
    EXPECT_FALSE(Run(engine, "SetMotionSubscribeInfo", "w", kGrabList).has_value());
    EXPECT_FALSE(Run(engine, "GetGestureCameraStatus").has_value());
    ExpectFaceServing(engine);
    EXPECT_EQ(RunInt(engine, "EnableTTSEngine"), 1);

    // A later engine whose creation works is whole again.
    gxsim::ClearForcedResult("gx_motion_recog_create");
    kiv::CEmpEngineBase* next = NewEngine();
    ExpectMotionServing(next, "next");
}

TEST_F(FaultTest, FaceLibraryRefusingHandlesLeavesMotionWhole) {
    kiv::CEmpEngineBase* engine = NewEngine();
    ASSERT_TRUE(gxsim::ForceResult("gx_face_recog_create", 0));
    EXPECT_EQ(RunInt(engine, "InitializeFace"), 0);
    EXPECT_TRUE(gxsim::LiveFaceHandles().empty());
    ExpectMotionServing(engine, "w");

    gxsim::ClearForcedResult("gx_face_recog_create");
    ExpectFaceServing(engine);
}

TEST_F(FaultTest, FaceSubscriptionRefusedDeliversNothingUntilItWorks) {
    kiv::CEmpEngineBase* engine = NewEngine();
    ASSERT_EQ(RunInt(engine, "InitializeFace"), 1);
    ASSERT_TRUE(gxsim::ForceResult("gx_set_face_signal_subscribed", 0));
    RunInt(engine, "SubscribeFaceEvent", "app");
    EXPECT_EQ(FaceEventsDelivered(5), 0u);

    gxsim::ClearForcedResult("gx_set_face_signal_subscribed");
    EXPECT_EQ(RunInt(engine, "SubscribeFaceEvent", "app"), 1);
    EXPECT_EQ(FaceEventsDelivered(5), 5u);
}

// The library fails after it allocated the result: the command reports the failure and frees
// what it was handed (the sanitizer build's leak check holds it to that).
struct AllocatedFailure {
    const char* entry;
    const char* command;
    int forced;
    kiv::EmpReturnValue::Kind kind;
    int integer;
};

void PrintTo(const AllocatedFailure& c, std::ostream* os) {
    *os << c.entry << " forced to " << c.forced;
}

class FaceResultAfterAllocation : public FaultTest,
                                  public ::testing::WithParamInterface<AllocatedFailure> {};

TEST_P(FaceResultAfterAllocation, ResultIsReportedAndMemoryReleased) {
    const AllocatedFailure& c = GetParam();
    gxsim::SetFacesInView({{1, 10, 20, 40, 40}, {2, 100, 20, 40, 40}});
    kiv::CEmpEngineBase* engine = NewEngine();
    ASSERT_EQ(RunInt(engine, "InitializeFace"), 1);
    ASSERT_TRUE(gxsim::ForceResult(c.entry, c.forced));
    for (int i = 0; i < 50; ++i) {
        auto r = Run(engine, c.command);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->kind, c.kind);
        if (c.kind == kiv::EmpReturnValue::INTEGER) {
            ASSERT_EQ(r->integer, c.integer);
        }
    }
    gxsim::ClearForcedResults();
    ExpectFaceServing(engine);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaceResultAfterAllocation,
    Values(AllocatedFailure{"gx_get_face_detection_result", "GetFaceDetectionResult", 0,
                            kiv::EmpReturnValue::INTEGER, 0},
           AllocatedFailure{"gx_get_face_recognition_result", "GetFaceRecognitionResult", 0,
                            kiv::EmpReturnValue::INTEGER, 0},
           AllocatedFailure{"gx_get_face_training_result", "GetFaceTrainingResult", 0,
                            kiv::EmpReturnValue::INTEGER, 0},
           AllocatedFailure{"gx_get_face_detection_result", "GetFaceDetectionResult", 1,
                            kiv::EmpReturnValue::TEXT, 0},
           AllocatedFailure{"gx_get_face_recognition_result", "GetFaceRecognitionResult", 1,
                            kiv::EmpReturnValue::TEXT, 0},
           AllocatedFailure{"gx_get_face_training_result", "GetFaceTrainingResult", 1,
                            kiv::EmpReturnValue::TEXT, 0}));

TEST_F(FaultTest, CameraQueryFailingReportsNoCameraAndRecovers) {
    kiv::CEmpEngineBase* engine = NewEngine();
    gxsim::SetCameraQueryResult(-5);
    EXPECT_EQ(RunInt(engine, "GetGestureCameraStatus"), 0);
    ExpectMotionServing(engine, "w");
    gxsim::SetCameraQueryResult(0);
    gxsim::SetCameraState(9);  // an error state: the status is left as it was
    EXPECT_EQ(RunInt(engine, "GetGestureCameraStatus"), 2);
    gxsim::SetCameraState(2);
    EXPECT_EQ(RunInt(engine, "GetGestureCameraStatus"), 1);
}

// ---- Subscription with no engine to work on -----------------------------------------------------

// The subscription thread works on the newest engine. When that engine is gone, the command
// must come back (result 0) instead of waiting forever, and the engines still alive keep
// getting their events.
TEST_F(FaultTest, NewestEngineDestroyedBeforeSubscriptionReturnsZero) {
    kiv::CEmpEngineBase* older = NewEngine();
    ASSERT_EQ(RunInt(older, "SetMotionSubscribeInfo", "old", kGrabList), 1);
    kiv::CEmpEngineBase* newest = NewEngine();
    DestroyEngine(newest);

    EXPECT_EQ(RunInt(older, "SetMotionSubscribeInfo", "old2", kGrabList), 0);
    EXPECT_EQ(GrabEventsDelivered(10, "old2"), 10u) << "the first subscription still holds";
    EXPECT_EQ(RunInt(older, "SubscirbeMotionSignal", "1007"), 0)
        << "the teardown cleared the process-wide entry points";
    kiv::CEmpEngineBase* again = NewEngine();
    ExpectMotionServing(again, "again");
    EXPECT_EQ(GrabEventsDelivered(10, "old2"), 10u);
}

// ---- Settings store ----------------------------------------------------------------------------

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct StoreCase {
    const char* label;
    const char* content;  // nullptr: no file
    mode_t mode;
    bool parentIsFile;  // the store's directory cannot exist
    int enableResult;   // EnableTTSEngine
    int supportAfter;   // IsSupportTTS after the enable
    bool unchanged;     // the file is byte for byte what it was
};

void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.label;
}

class SettingsStoreFault : public FaultTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(SettingsStoreFault, VoiceGuideFailsAloneAndStoreSurvives) {
    const StoreCase& c = GetParam();
    std::string path = m_Dir + "/store/settings.ini";
    if (c.parentIsFile) {
        std::ofstream(m_Dir + "/store") << "a file where a directory should be";
    } else {
        ASSERT_EQ(mkdir((m_Dir + "/store").c_str(), 0700), 0);
    }
    if (c.content != nullptr) {
        std::ofstream(path, std::ios::binary) << c.content;
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    }
    gxsim::SetSettingsPath(path);
    kiv::CEmpEngineBase* engine = NewEngine();

    EXPECT_EQ(RunInt(engine, "EnableTTSEngine"), c.enableResult);
    EXPECT_EQ(RunInt(engine, "IsSupportTTS"), c.supportAfter);
    if (c.unchanged) {
        EXPECT_EQ(ReadFile(path), c.content != nullptr ? c.content : "");
    }
    ExpectMotionServing(engine, "w");
    ExpectFaceServing(engine);

    // A healthy store serves the voice guide again without a restart.
    gxsim::SetSettingsPath(m_Dir + "/healthy.ini");
    EXPECT_EQ(RunInt(engine, "EnableTTSEngine"), 1);
    EXPECT_EQ(RunInt(engine, "IsSupportTTS"), 1);
}

const char kGoodStore[] = "[vconf]\ndb/menu/accessibility/tts=0\ndb/menu/sound/volume=20\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, SettingsStoreFault,
    Values(StoreCase{"missing", nullptr, 0, false, 1, 1, false},
           StoreCase{"corrupt", "[vconf\ndb/menu/accessibility/tts=\x01\xff\n", 0644, false, 0, 0,
                     true},
           StoreCase{"key_not_integer", "[vconf]\ndb/menu/accessibility/tts=on\n", 0644, false, 0,
                     0, true},
           StoreCase{"read_only", kGoodStore, 0444, false, 1, 0, true},
           StoreCase{"directory_impossible", nullptr, 0, true, 0, 0, false}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return info.param.label; });

}  // namespace
}  // namespace faults
