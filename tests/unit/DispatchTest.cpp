// Command dispatch: matching, the gates, the decimal arguments and every motion command.
#include "PluginFixture.h"

namespace gxtest {
namespace {

class DispatchTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        m_Engine = NewEngine();
        ASSERT_EQ(gxsim::LiveMotionHandles().size(), 1u);
        m_Handle = std::to_string(gxsim::LiveMotionHandles()[0]);
        gxsim::ClearTrace();
        TakeLog();
    }
    kiv::CEmpEngineGX* m_Engine = nullptr;
    std::string m_Handle;
};

// A motion command, the entry point it reaches, the arguments after the handle, and whether the
// result is the entry point's return or the out-value it wrote.
struct MotionCase {
    const char* command;
    const char* arg1;
    const char* entry;
    std::vector<std::string> args;  // after the handle; "*" matches anything
    const char* trace;              // the command line after "[Execute] "
};

class MotionCommandTest : public DispatchTest, public ::testing::WithParamInterface<MotionCase> {};

TEST_P(MotionCommandTest, ReachesItsEntryPointWithTheEngineHandle) {
    const MotionCase& c = GetParam();
    const int forced = 4321;
    ASSERT_TRUE(gxsim::ForceResult(c.entry, forced));
    Outcome out = Exec(m_Engine, c.command, c.arg1, "ignored", "arg3", "arg4");
    EXPECT_TRUE(out.served);
    auto calls = Calls(c.entry);
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].args.size(), c.args.size() + 1);
    EXPECT_EQ(calls[0].args[0], m_Handle);
    for (size_t i = 0; i < c.args.size(); ++i) {
        if (c.args[i] != "*") {
            EXPECT_EQ(calls[0].args[i + 1], c.args[i]) << "argument " << i + 1;
        }
    }
    EXPECT_TRUE(out.IsInt(forced)) << out.value.integer;
    std::vector<LogLine> log = TakeLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].text, std::string("strCmd = ") + c.command);
    EXPECT_EQ(log[1].text, std::string("[Execute] ") + c.trace);
    EXPECT_EQ(log[1].function, "Execute");
    EXPECT_EQ(log[1].priority, 16);
    EXPECT_EQ(log[1].colour, "\033[31m");
    EXPECT_TRUE(log[1].reset);
}

const MotionCase kMotionCases[] = {
    {"SubscirbeMotionSignal",
     "1005",
     "gx_set_motion_signal_subscribed",
     {"1005", "*", "null"},
     "SubscirbeMotionSignal"},
    {"UnSubscirbeMotionSignal",
     "1007",
     "gx_motion_signal_unsubscribed",
     {"1007"},
     "UnSubscirbeMotionSignal"},
    {"StartMotionRecognition", "", "gx_start_motion_recog", {}, "StartMotionRecognition"},
    {"StopMotionRecognition", "", "gx_stop_motion_recog", {}, "StopMotionRecognition"},
    {"EnableGestureRecognition",
     "",
     "gx_enable_motion_recognition",
     {"1"},
     "EnableGestureRecognition"},
    {"DisableGestureRecognition",
     "",
     "gx_enable_motion_recognition",
     {"0"},
     "DisableGestureRecognition"},
    {"IsMotionEngineValid", "", "gx_is_motion_engine_valid", {}, "----- IsMotionEngineValid "},
    {"IsMotionRecognitionEnabled",
     "",
     "gx_is_motion_recognition_enabled",
     {},
     "IsMotionRecognitionEnabled"},
    {"IsTwoHandMotionValid", "", "gx_is_two_hand_motion_valid", {}, "IsTwoHandMotionValid"},
    {"IsThumbupMotionValid", "", "gx_is_thumbup_motion_valid", {}, "IsThumbupMotionValid"},
    {"IsSlapMotionValid", "", "gx_is_slap_motion_valid", {}, "IsSlapMotionValid"},
    {"EnableMotionHint", "3", "gx_enable_motion_hint", {"3"}, "EnableMotionHint"},
    {"SetZoomTriggerCondition",
     "-12",
     "gx_set_zoom_trigger_condition",
     {"-12"},
     "SetZoomTriggerCondition"},
    {"SetRotateTriggerCondition",
     "45",
     "gx_set_rotate_trigger_condition",
     {"45"},
     "SetRotateTriggerCondition"},
    {"EnableMotionSwipeRecognition", "", "gx_enable_swipe", {"1"}, "EnableMotionSwipeRecognition"},
    {"DisableMotionSwipeRecognition",
     "",
     "gx_enable_swipe",
     {"0"},
     "DisableMotionSwipeRecognition"},
};

INSTANTIATE_TEST_SUITE_P(Commands, MotionCommandTest, ::testing::ValuesIn(kMotionCases),
                         [](const auto& info) {
                             return std::string(info.param.command) + std::to_string(info.index);
                         });

TEST_F(DispatchTest, SubscirbeMotionSignalPassesTheEnginesCallbackAndNullUserData) {
    Exec(m_Engine, "SubscirbeMotionSignal", "1005");
    auto calls = Calls("gx_set_motion_signal_subscribed");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[2],
              gxsim::FormatPointer(reinterpret_cast<void*>(&kiv::CEmpEngineGX::ProcessSignal)));
    EXPECT_EQ(calls[0].args[3], gxsim::FormatPointer(nullptr));
}

// Query commands report the value the library wrote, not the entry point's return.
TEST_F(DispatchTest, QueriesReportTheWrittenValue) {
    EXPECT_TRUE(Exec(m_Engine, "SetZoomTriggerCondition", "17").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "GetZoomTriggerCondition").IsInt(17));
    EXPECT_TRUE(Exec(m_Engine, "SetRotateTriggerCondition", "-5").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "GetRotateTriggerCondition").IsInt(-5));
    EXPECT_TRUE(Exec(m_Engine, "GetMotionRecognitionStatus").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "StartMotionRecognition").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "GetMotionRecognitionStatus").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "StopMotionRecognition").IsInt(1));
    EXPECT_TRUE(Exec(m_Engine, "GetMotionRecognitionStatus").IsInt(0));
    gxsim::MotionAnswers answers = gxsim::GetMotionAnswers();
    answers.brightness = 83;
    gxsim::SetMotionAnswers(answers);
    EXPECT_TRUE(Exec(m_Engine, "GetMotionBrightnessLevel").IsInt(83));
    // A forced failing query writes nothing: the preset is reported.
    gxsim::ForceResult("gx_get_zoom_trigger_condition", 0);
    gxsim::ForceResult("gx_get_motion_recognition_status", 0);
    EXPECT_TRUE(Exec(m_Engine, "GetZoomTriggerCondition").IsInt(-1));
    EXPECT_TRUE(Exec(m_Engine, "GetMotionRecognitionStatus").IsInt(0));
}

TEST_F(DispatchTest, WidgetCommandsReplaceTheNameBeforeCallingTheManager) {
    Outcome out = Exec(m_Engine, "SubscribeMotionEvent", "w1");
    EXPECT_TRUE(out.IsInt(1));
    std::vector<LogLine> log = TakeLog();
    std::vector<std::string> order;
    for (const LogLine& line : log) {
        if (line.text == "m_MotionWidgetName = w1\n") order.push_back("name");
        if (line.function == "SubscribeMotionEvent") order.push_back("manager");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"name", "manager"}));
    EXPECT_TRUE(Exec(m_Engine, "UnsubscribeMotionEvent", "").IsInt(1));
    EXPECT_TRUE(Contains(TakeMessages(), "m_MotionWidgetName = \n"));
}

TEST_F(DispatchTest, RecogEMPUsingStatusStoresZeroAndIsNotServed) {
    Outcome out = Exec(m_Engine, "RecogEMPUsingStatus");
    EXPECT_FALSE(out.served);
    EXPECT_TRUE(out.IsInt(0));
    std::vector<LogLine> log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].text, "didn't come RecogEMPUsingStatus ....... \n");
    EXPECT_EQ(log[1].priority, 2);
}

TEST_F(DispatchTest, NamesMatchExactly) {
    for (const char* name :
         {"startMotionRecognition", "StartMotionRecognition ", " StartMotionRecognition",
          "StartMotion", "", "STARTMOTIONRECOGNITION"}) {
        std::string result = "untouched";
        EXPECT_FALSE(m_Engine->Execute(result, name, "", "", "", "")) << name;
        EXPECT_EQ(result, "untouched") << name;
    }
    // Nothing but the command line itself is logged for an unknown command.
    TakeLog();
    Exec(m_Engine, "NoSuchCommand");
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"strCmd = NoSuchCommand"}));
    EXPECT_TRUE(gxsim::Trace().empty());
}

struct DecimalCase {
    const char* text;
    const char* passed;
};

class DecimalTest : public DispatchTest, public ::testing::WithParamInterface<DecimalCase> {};

TEST_P(DecimalTest, ReadsLikeStrtolClampedTo32Bits) {
    Exec(m_Engine, "SubscirbeMotionSignal", GetParam().text);
    auto calls = Calls("gx_set_motion_signal_subscribed");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[1], GetParam().passed);
}

INSTANTIATE_TEST_SUITE_P(Texts, DecimalTest,
                         ::testing::Values(DecimalCase{"1005", "1005"}, DecimalCase{"abc", "0"},
                                           DecimalCase{" 12abc", "12"}, DecimalCase{"\t\n+7", "7"},
                                           DecimalCase{"-1000", "-1000"},
                                           DecimalCase{"2147483648", "2147483647"},
                                           DecimalCase{"99999999999999999999", "2147483647"},
                                           DecimalCase{"-2147483649", "-2147483648"},
                                           DecimalCase{"", "0"}, DecimalCase{"- 5", "0"},
                                           DecimalCase{"0x1F", "0"}));

TEST_F(DispatchTest, UnusedArgumentsNeverChangeTheOutcome) {
    Exec(m_Engine, "SetZoomTriggerCondition", "21", "x", "y", "z");
    Exec(m_Engine, "SetZoomTriggerCondition", "21", "", "", "");
    auto calls = Calls("gx_set_zoom_trigger_condition");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, calls[1].args);
}

// ---- Gates
// ---------------------------------------------------------------------------------------

const char* const kMotionNames[] = {
    "GetGestureCameraStatus",
    "SubscirbeMotionSignal",
    "UnSubscirbeMotionSignal",
    "StartMotionRecognition",
    "StopMotionRecognition",
    "EnableGestureRecognition",
    "DisableGestureRecognition",
    "SubscribeMotionEvent",
    "UnsubscribeMotionEvent",
    "GetMotionRecognitionStatus",
    "GetMotionBrightnessLevel",
    "IsMotionEngineValid",
    "IsMotionRecognitionEnabled",
    "IsTwoHandMotionValid",
    "IsThumbupMotionValid",
    "IsSlapMotionValid",
    "EnableMotionHint",
    "SetZoomTriggerCondition",
    "GetZoomTriggerCondition",
    "SetMotionSubscribeInfo",
    "IsSupportMotionRecognition",
    "SetRotateTriggerCondition",
    "GetRotateTriggerCondition",
    "EnableMotionSwipeRecognition",
    "DisableMotionSwipeRecognition",
};

using GateTest = PluginTest;

TEST_F(GateTest, WithMotionOffEveryMotionNameIsUnrecognisedAndSpeechIsServed) {
    gxsim::SetFactoryItem(831, 0);
    kiv::CEmpEngineGX* engine = NewEngine();
    TakeLog();
    for (const char* name : kMotionNames) {
        std::string result = "kept";
        EXPECT_FALSE(engine->Execute(result, name, "1", "{}", "", "")) << name;
        EXPECT_EQ(result, "kept") << name;
    }
    for (const std::string& text : TakeMessages()) {
        EXPECT_EQ(text.rfind("strCmd = ", 0), 0u) << "no command line expected: " << text;
    }
    EXPECT_TRUE(Exec(engine, "EnableTTSEngine").IsInt(1));
    EXPECT_TRUE(Exec(engine, "GetUserLevel").IsText("Beginner"));
    EXPECT_FALSE(Exec(engine, "StartFaceDetection").served);
}

TEST_F(GateTest, StatusCommandsOfTheMotionGroup) {
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_TRUE(Exec(engine, "IsSupportMotionRecognition").IsInt(0));
    gxsim::SetCameraState(0);
    EXPECT_TRUE(Exec(engine, "GetGestureCameraStatus").IsInt(0));
    gxsim::SetCameraState(2);
    EXPECT_TRUE(Exec(engine, "GetGestureCameraStatus").IsInt(1));
    gxsim::SetCameraState(9);
    EXPECT_TRUE(Exec(engine, "GetGestureCameraStatus").IsInt(2));
}

}  // namespace
}  // namespace gxtest
