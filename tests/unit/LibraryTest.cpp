// The motion-library loader against the real simulated library, and the manager's operations.
#include <set>

#include "PluginFixture.h"

namespace gxtest {
namespace {

// Which of the loader's 20 pointers are bound, by entry-point name.
std::set<std::string> BoundPointers() {
    using P = kiv::CEmpProviderPlugin;
    const std::pair<const char*, bool> pointers[] = {
        {"gx_motion_recog_create", P::gx_motion_recog_create != nullptr},
        {"gx_motion_recog_destroy", P::gx_motion_recog_destroy != nullptr},
        {"gx_set_motion_signal_subscribed", P::gx_set_motion_signal_subscribed != nullptr},
        {"gx_motion_signal_unsubscribed", P::gx_motion_signal_unsubscribed != nullptr},
        {"gx_start_motion_recog", P::gx_start_motion_recog != nullptr},
        {"gx_stop_motion_recog", P::gx_stop_motion_recog != nullptr},
        {"gx_enable_motion_recognition", P::gx_enable_motion_recognition != nullptr},
        {"gx_is_motion_recognition_enabled", P::gx_is_motion_recognition_enabled != nullptr},
        {"gx_get_motion_recognition_status", P::gx_get_motion_recognition_status != nullptr},
        {"gx_get_motion_brightness_level", P::gx_get_motion_brightness_level != nullptr},
        {"gx_is_two_hand_motion_valid", P::gx_is_two_hand_motion_valid != nullptr},
        {"gx_is_slap_motion_valid", P::gx_is_slap_motion_valid != nullptr},
        {"gx_is_thumbup_motion_valid", P::gx_is_thumbup_motion_valid != nullptr},
        {"gx_enable_motion_hint", P::gx_enable_motion_hint != nullptr},
        {"gx_set_zoom_trigger_condition", P::gx_set_zoom_trigger_condition != nullptr},
        {"gx_get_zoom_trigger_condition", P::gx_get_zoom_trigger_condition != nullptr},
        {"gx_set_rotate_trigger_condition", P::gx_set_rotate_trigger_condition != nullptr},
        {"gx_get_rotate_trigger_condition", P::gx_get_rotate_trigger_condition != nullptr},
        {"gx_is_motion_engine_valid", P::gx_is_motion_engine_valid != nullptr},
        {"gx_enable_swipe", P::gx_enable_swipe != nullptr},
    };
    std::set<std::string> bound;
    for (const auto& p : pointers) {
        if (p.second) bound.insert(p.first);
    }
    return bound;
}

using LoaderTest = PluginTest;

TEST_F(LoaderTest, BindsAllTwentyEntryPointsAndUnloadClearsThem) {
    kiv::CEmpProviderPlugin loader;
    loader.LoadMotionLib();
    std::set<std::string> all(gxsim::MotionEntryPoints().begin(), gxsim::MotionEntryPoints().end());
    ASSERT_EQ(all.size(), 20u);
    EXPECT_EQ(BoundPointers(), all);
    loader.UnLoadMotionLib();
    EXPECT_TRUE(BoundPointers().empty());
    EXPECT_TRUE(Contains(TakeMessages(), "Loading motion lib"));
    loader.UnLoadMotionLib();
    EXPECT_TRUE(Contains(TakeMessages(), "motion lib already unloaded"));
}

TEST_F(LoaderTest, LoadingTwiceOpensOnce) {
    kiv::CEmpProviderPlugin loader;
    loader.LoadMotionLib();
    TakeMessages();
    gxsim::SetHiddenMotionEntryPoints({"gx_enable_swipe"});
    loader.LoadMotionLib();  // a second open would rebind and miss the hidden entry
    std::vector<std::string> texts = TakeMessages();
    EXPECT_EQ(texts, (std::vector<std::string>{"Loading motion lib", "motion lib already loaded"}));
    EXPECT_NE(kiv::CEmpProviderPlugin::gx_enable_swipe, nullptr);
    loader.UnLoadMotionLib();
}

TEST_F(LoaderTest, PartialLibraryReportsEachMissingEntryAndTheRestWork) {
    gxsim::SetHiddenMotionEntryPoints({"gx_get_zoom_trigger_condition", "gx_enable_swipe"});
    kiv::CEmpEngineGX* engine = NewEngine();
    std::vector<std::string> texts = TakeMessages();
    int missing = 0;
    for (const std::string& t : texts) {
        if (t.find(" get symbol failed") != std::string::npos) ++missing;
    }
    EXPECT_EQ(missing, 2);
    EXPECT_TRUE(Contains(texts, "gx_get_zoom_trigger_condition get symbol failed"));
    EXPECT_TRUE(Contains(texts, "gx_enable_swipe get symbol failed"));

    // A query whose entry point is missing reports its preset.
    EXPECT_TRUE(Exec(engine, "GetZoomTriggerCondition").IsInt(-1));
    EXPECT_TRUE(
        Contains(TakeMessages(), "CEmpProviderPlugin::gx_get_zoom_trigger_condition = NULL"));
    EXPECT_TRUE(Exec(engine, "EnableMotionSwipeRecognition").IsInt(0));
    // The rest of the library works.
    EXPECT_TRUE(Exec(engine, "SetZoomTriggerCondition", "7").IsInt(1));
    EXPECT_TRUE(Exec(engine, "SetRotateTriggerCondition", "9").IsInt(1));
    EXPECT_TRUE(Exec(engine, "GetRotateTriggerCondition").IsInt(9));
}

// Each report is its own logging statement: 20 lines, in the library's order, 20 line numbers.
TEST_F(LoaderTest, EachMissingEntryIsReportedFromItsOwnLine) {
    const std::vector<std::string>& names = gxsim::MotionEntryPoints();
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({names.begin(), names.end()}));
    kiv::CEmpProviderPlugin loader;
    loader.LoadMotionLib();
    std::vector<std::string> expected, texts;
    for (const std::string& name : names) expected.push_back(name + " get symbol failed");
    std::set<int> lines;
    for (const LogLine& line : TakeLog()) {
        if (line.text.find(" get symbol failed") == std::string::npos) continue;
        texts.push_back(line.text);
        lines.insert(line.line);
        EXPECT_EQ(line.priority, 16) << line.text;
        EXPECT_EQ(line.colour, "\033[31m") << line.text;
    }
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(lines.size(), names.size());
    loader.UnLoadMotionLib();
}

TEST_F(LoaderTest, MissingBrightnessEntryReportsZero) {
    gxsim::SetHiddenMotionEntryPoints({"gx_get_motion_brightness_level"});
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_TRUE(Exec(engine, "GetMotionBrightnessLevel").IsInt(0));
}

TEST_F(LoaderTest, UnloadByOneEngineClearsThePointersForEveryEngine) {
    kiv::CEmpEngineGX* a = NewEngine();
    kiv::CEmpEngineGX* b = NewEngine();
    EXPECT_TRUE(Exec(a, "StartMotionRecognition").IsInt(1));
    Destroy(b);
    EXPECT_TRUE(BoundPointers().empty());
    EXPECT_TRUE(Exec(a, "StartMotionRecognition").IsInt(0));
    EXPECT_TRUE(Contains(TakeMessages(), "CEmpProviderPlugin::gx_start_motion_recog = NULL"));
}

// ---- Manager -----------------------------------------------------------------------------------

using ManagerTest = PluginTest;

TEST_F(ManagerTest, EveryMotionOperationFailsCleanlyWithoutTheLibrary) {
    kiv::CEmpManager manager;
    int out = 77;
    gx_recog_status status = 77;
    struct Case {
        const char* pointer;
        int result;
    };
    const Case cases[] = {
        {"gx_motion_recog_create", manager.CreateMotionHandle(&out)},
        {"gx_motion_recog_destroy", manager.DestroyMotionHandle(1)},
        {"gx_set_motion_signal_subscribed",
         manager.SubscirbeMotionSignal(1, 1005, kiv::CEmpEngineGX::ProcessSignal, nullptr)},
        {"gx_motion_signal_unsubscribed", manager.UnSubscirbeMotionSignal(1, 1005)},
        {"gx_start_motion_recog", manager.StartMotionRecognition(1)},
        {"gx_stop_motion_recog", manager.StopMotionRecognition(1)},
        {"gx_enable_motion_recognition", manager.EnableGestureRecognition(1)},
        {"gx_enable_motion_recognition", manager.DisableGestureRecognition(1)},
        {"gx_is_motion_recognition_enabled", manager.IsMotionRecognitionEnabled(1)},
        {"gx_get_motion_recognition_status", manager.GetMotionRecognitionStatus(1, &status)},
        {"gx_get_motion_brightness_level", manager.GetMotionBrightnessLevel(1, &out)},
        {"gx_is_two_hand_motion_valid", manager.IsTwoHandMotionValid(1)},
        {"gx_is_thumbup_motion_valid", manager.IsThumbupMotionValid(1)},
        {"gx_is_slap_motion_valid", manager.IsSlapMotionValid(1)},
        {"gx_enable_motion_hint", manager.EnableMotionHint(1, 1)},
        {"gx_set_zoom_trigger_condition", manager.SetZoomTriggerCondition(1, 1)},
        {"gx_get_zoom_trigger_condition", manager.GetZoomTriggerCondition(1, &out)},
        {"gx_set_rotate_trigger_condition", manager.SetRotateTriggerCondition(1, 1)},
        {"gx_get_rotate_trigger_condition", manager.GetRotateTriggerCondition(1, &out)},
        {"gx_is_motion_engine_valid", manager.IsMotionEngineValid(1)},
        {"gx_enable_swipe", manager.EnableMotionSwipeRecognition(1)},
        {"gx_enable_swipe", manager.DisableMotionSwipeRecognition(1)},
    };
    std::vector<std::string> texts = TakeMessages();
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, 0) << c.pointer;
        EXPECT_TRUE(Contains(texts, std::string("CEmpProviderPlugin::") + c.pointer + " = NULL"))
            << c.pointer;
    }
    EXPECT_EQ(out, 77);  // out-values are not touched
    EXPECT_EQ(status, 77);
    EXPECT_TRUE(gxsim::Trace().empty());
    // The operations that need no library still answer.
    EXPECT_EQ(manager.SubscribeMotionEvent(1), 1);
    EXPECT_EQ(manager.UnsubscribeMotionEvent(1), 1);
    EXPECT_EQ(manager.IsSupportMotionRecognition(1), 0);
}

TEST_F(ManagerTest, EnableAndDisablePairsReachOneEntryPointWithOneAndZero) {
    kiv::CEmpEngineGX* engine = NewEngine();
    gxsim::ClearTrace();
    Exec(engine, "EnableGestureRecognition");
    Exec(engine, "DisableGestureRecognition");
    Exec(engine, "EnableMotionSwipeRecognition");
    Exec(engine, "DisableMotionSwipeRecognition");
    auto gesture = Calls("gx_enable_motion_recognition");
    auto swipe = Calls("gx_enable_swipe");
    ASSERT_EQ(gesture.size(), 2u);
    ASSERT_EQ(swipe.size(), 2u);
    EXPECT_EQ(gesture[0].args[1], "1");
    EXPECT_EQ(gesture[1].args[1], "0");
    EXPECT_EQ(swipe[0].args[1], "1");
    EXPECT_EQ(swipe[1].args[1], "0");
}

struct CameraCase {
    const char* label;
    int state;
    int queryResult;
    int status;  // what the command reports (preset 2)
    int result;  // the manager operation's own result
    const char* message;
};

class CameraTest : public PluginTest, public ::testing::WithParamInterface<CameraCase> {};

TEST_P(CameraTest, MapsTheCameraStateToTheStatus) {
    const CameraCase& c = GetParam();
    gxsim::SetCameraState(c.state);
    gxsim::SetCameraQueryResult(c.queryResult);
    kiv::CEmpManager manager;
    gx_camera_status status = 2;
    EXPECT_EQ(manager.GetGestureCameraStatus(&status), c.result);
    EXPECT_EQ(status, c.status);
    std::vector<LogLine> log = TakeLog();
    bool found = false;
    for (const LogLine& line : log) {
        if (line.text == c.message) {
            found = true;
            EXPECT_EQ(line.function, "GetCameraStatus");
        }
    }
    EXPECT_TRUE(found) << c.message;

    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_TRUE(Exec(engine, "GetGestureCameraStatus").IsInt(c.status));
    EXPECT_TRUE(Contains(TakeMessages(), "current camera status = " + std::to_string(c.status)));
}

const CameraCase kCameraCases[] = {
    {"Disconnected", 0, 0, 0, 0, "camera disconnected"},
    {"ConnectedOne", 1, 0, 1, 1, "camera connected"},
    {"ConnectedTwo", 2, 0, 1, 1, "camera connected"},
    {"ConnectedThree", 3, 0, 1, 1, "camera connected"},
    {"StateFour", 4, 0, 2, 0, "camera state error:4"},
    {"StateNegative", -1, 0, 2, 0, "camera state error:-1"},
    // A failed query writes nothing: the state stays 0 and reads as disconnected.
    {"QueryFails", 1, -1, 0, 0, "tv camera control get state failed"},
};

INSTANTIATE_TEST_SUITE_P(States, CameraTest, ::testing::ValuesIn(kCameraCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace gxtest
