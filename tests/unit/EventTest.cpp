// Signal routing: library callbacks, through ProcessSignal, to named events with their payloads.
#include "PluginFixture.h"

namespace gxtest {
namespace {

class EventTest : public PluginTest {
protected:
    // An engine with its motion handle; the library thread delivers what the test emits.
    kiv::CEmpEngineGX* EngineWithWidget(const std::string& widget) {
        kiv::CEmpEngineGX* engine = NewEngine();
        EXPECT_TRUE(Exec(engine, "SubscribeMotionEvent", widget).IsInt(1));
        return engine;
    }
    static int LastMotionHandle() { return gxsim::LiveMotionHandles().back(); }
};

TEST_F(EventTest, SubscribedGrabArrivesWithTheWidgetNameAndTheLibrarysText) {
    kiv::CEmpEngineGX* engine = NewEngine();
    const std::string list = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";
    ASSERT_TRUE(Exec(engine, "SetMotionSubscribeInfo", "w1", list).IsInt(1));
    ASSERT_EQ(gxsim::EmitMotionSignal(1005, std::string("abc")), 1);
    gxsim::Drain();
    ASSERT_TRUE(m_Events.WaitFor(1));
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].engine, engine);
    EXPECT_EQ(events[0].code, 6511);
    EXPECT_EQ(events[0].name, "EVENT_MOTION_GRAB-w1");
    EXPECT_EQ(events[0].data, "abc");
    // Not subscribed: nothing is delivered.
    EXPECT_EQ(gxsim::EmitMotionSignal(1007, std::string("x")), 0);
}

struct MotionSignalCase {
    int signal;
    const char* event;  // null: no event
    const char* message;
};

class MotionSignalTest : public EventTest,
                         public ::testing::WithParamInterface<MotionSignalCase> {};

TEST_P(MotionSignalTest, NamesTheSignal) {
    const MotionSignalCase& c = GetParam();
    EngineWithWidget("wid");
    kiv::CEmpEngineGX::ProcessSignal(LastMotionHandle(), c.signal, const_cast<char*>("data"),
                                     nullptr);
    std::vector<Event> events = m_Events.Events();
    if (c.event == nullptr) {
        EXPECT_TRUE(events.empty());
    } else {
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, std::string(c.event) + "-wid");
        EXPECT_EQ(events[0].data, "data");
    }
    EXPECT_TRUE(Contains(TakeMessages(), c.message)) << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, MotionSignalTest,
    ::testing::Values(
        MotionSignalCase{1000, "EVENT_MOTION_SLAP_LEFT", "strSingal is EVENT_MOTION_SLAP_LEFT"},
        MotionSignalCase{1001, "EVENT_MOTION_SLAP_RIGHT", "strSingal is EVENT_MOTION_SLAP_RIGHT"},
        MotionSignalCase{1002, "EVENT_MOTION_SLAP_UP", "strSingal is EVENT_MOTION_SLAP_UP"},
        MotionSignalCase{1003, "EVENT_MOTION_SLAP_DOWN", "strSingal is EVENT_MOTION_SLAP_DOWN"},
        MotionSignalCase{1004, "EVENT_MOTION_CIRCLE", "strSingal is EVENT_MOTION_CIRCLE"},
        MotionSignalCase{1007, "EVENT_MOTION_UNGRAB", "strSingal is EVENT_MOTION_UNGRAB"},
        MotionSignalCase{1015, "EVENT_MOTION_PRIMARY_HAND_LOST",
                         "strSingal is EVENT_MOTION_PRIMARY_HAND_LOST"},
        MotionSignalCase{1024, "EVENT_MOTION_RAW_DATA", "strSingal is EVENT_MOTION_RAW_DATA"},
        MotionSignalCase{1028, "EVENT_MOTION_BEGIN_MONITOR",
                         "strSingal is EVENT_MOTION_BEGIN_MONITOR"},
        MotionSignalCase{1029, "EVENT_MOTION_END_MONITOR", "strSingal is EVENT_MOTION_END_MONITOR"},
        MotionSignalCase{1006, nullptr, "strSingal is EVENT_MOTION_DEFAULT_MAX"},
        MotionSignalCase{1030, nullptr, "strSingal is EVENT_MOTION_DEFAULT_MAX"},
        MotionSignalCase{1034, nullptr, "strSingal is EVENT_MOTION_DEFAULT_MAX"},
        MotionSignalCase{999, nullptr, "Invalid signal 999 \n"},
        MotionSignalCase{1035, nullptr, "Invalid signal 1035 \n"},
        MotionSignalCase{-2147483647 - 1, nullptr, "Invalid signal -2147483648 \n"}),
    [](const auto& info) { return "Signal" + std::to_string(info.index); });

TEST_F(EventTest, NullMotionDataSendsAnEmptyPayload) {
    EngineWithWidget("");
    kiv::CEmpEngineGX::ProcessSignal(LastMotionHandle(), 1005, nullptr, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "EVENT_MOTION_GRAB-");  // an empty widget name still gets its dash
    EXPECT_EQ(events[0].data, "");
    EXPECT_TRUE(Contains(TakeMessages(), "pTemp == NULL"));
}

TEST_F(EventTest, EnginesWithEqualHandlesBothReceiveWithTheirOwnWidgetNames) {
    gxsim::SetNextMotionHandle(1500);
    kiv::CEmpEngineGX* a = EngineWithWidget("wa");
    gxsim::SetNextMotionHandle(1500);
    kiv::CEmpEngineGX* b = EngineWithWidget("wb");
    kiv::CEmpEngineGX::ProcessSignal(1500, 1004, const_cast<char*>("c"), nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].engine, a);
    EXPECT_EQ(events[0].name, "EVENT_MOTION_CIRCLE-wa");
    EXPECT_EQ(events[1].engine, b);
    EXPECT_EQ(events[1].name, "EVENT_MOTION_CIRCLE-wb");
}

TEST_F(EventTest, HandleMinusOneIsRefusedBeforeAnyEngineIsConsulted) {
    gxsim::SetNextMotionHandle(-1);
    NewEngine();
    TakeLog();
    kiv::CEmpEngineGX::ProcessSignal(-1, 1005, nullptr, nullptr);
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "received Handle [-1] is error!\n"));
    for (const std::string& t : texts) EXPECT_EQ(t.find("pThis["), std::string::npos);
    EXPECT_TRUE(m_Events.Events().empty());
}

TEST_F(EventTest, UnmatchedHandleLogsEachEnginesHandles) {
    NewEngine();
    const int handle = LastMotionHandle();
    TakeLog();
    kiv::CEmpEngineGX::ProcessSignal(handle + 100, 1005, nullptr, nullptr);
    EXPECT_TRUE(Contains(TakeMessages(),
                         "m_MotionHandle = " + std::to_string(handle) + ",   m_FaceHandle=0"));
    EXPECT_TRUE(m_Events.Events().empty());
}

// An engine without a face handle holds 0 there, so handle 0 reaches its face path.
TEST_F(EventTest, FaceHandleZeroCatchesAnUnmatchedHandleZero) {
    NewEngine();
    kiv::CEmpEngineGX::ProcessSignal(0, 1005, nullptr, nullptr);
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "received singnal [1005] FaceHandle [0]\n"));
    EXPECT_TRUE(Contains(texts, "Invalid signal 1005 \n"));
    kiv::CEmpEngineGX::ProcessSignal(0, 4, nullptr, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, 6512);
    EXPECT_EQ(events[0].name, "EVENT_FR_DETECTION_FAIL");
}

// An engine whose motion and face handles are equal treats the signal as a motion signal.
TEST_F(EventTest, MotionHandleIsComparedFirst) {
    gxsim::SetNextMotionHandle(7000);
    gxsim::SetNextFaceHandle(7000);
    kiv::CEmpEngineGX* engine = EngineWithWidget("m");
    ASSERT_TRUE(Exec(engine, "InitializeFace").IsInt(1));
    kiv::CEmpEngineGX::ProcessSignal(7000, 1005, nullptr, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(7000, 0, nullptr, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "EVENT_MOTION_GRAB-m");
}

// ---- Face events -----------------------------------------------------------------------------

// jsoncpp's styled rendering: tab indentation, members sorted by name, a closing newline.
const char kDetectionPayload[] =
    "{\n"
    "\t\"detectResult\" : \n"
    "\t[\n"
    "\t\t{\n"
    "\t\t\t\"h\" : 40,\n"
    "\t\t\t\"nDetectID\" : 7,\n"
    "\t\t\t\"w\" : 30,\n"
    "\t\t\t\"x\" : 10,\n"
    "\t\t\t\"y\" : 20\n"
    "\t\t}\n"
    "\t]\n"
    "}\n";

const char kTrainingPayload[] =
    "{\n"
    "\t\"detectResult\" : 12,\n"
    "\t\"imageFilePath\" : \"/faces/12.pgm\"\n"
    "}\n";

const char kRecognitionPayload[] =
    "{\n"
    "\t\"recognitionResult\" : \n"
    "\t[\n"
    "\t\t{\n"
    "\t\t\t\"h\" : 4,\n"
    "\t\t\t\"imageFilePath\" : \"/faces/3.pgm\",\n"
    "\t\t\t\"nFaceRecogID\" : 3,\n"
    "\t\t\t\"w\" : 3,\n"
    "\t\t\t\"x\" : 1,\n"
    "\t\t\t\"y\" : 2\n"
    "\t\t}\n"
    "\t]\n"
    "}\n";

class FaceEventTest : public EventTest {
protected:
    void SetUp() override {
        EventTest::SetUp();
        m_Engine = NewEngine();
        ASSERT_TRUE(Exec(m_Engine, "InitializeFace").IsInt(1));
        m_Face = gxsim::LiveFaceHandles().back();
    }
    kiv::CEmpEngineGX* m_Engine = nullptr;
    int m_Face = 0;
};

TEST_F(FaceEventTest, PayloadsAreJsoncppsStyledText) {
    gx_face_detect_data face{7, 10, 20, 30, 40};
    char trainedPath[] = "/faces/12.pgm";
    gx_face_recog_result trained{12, trainedPath, 0, 0, 0, 0};
    char recognisedPath[] = "/faces/3.pgm";
    gx_face_recog_result recognised{3, recognisedPath, 1, 2, 3, 4};
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 0, &face, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 2, &trained, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 3, &recognised, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].code, 6512);
    EXPECT_EQ(events[0].name, "EVENT_FR_DETECT_FACE");
    EXPECT_EQ(events[0].data, kDetectionPayload);
    EXPECT_EQ(events[1].name, "EVENT_FR_TRAIN_RESULT");
    EXPECT_EQ(events[1].data, kTrainingPayload);
    EXPECT_EQ(events[2].name, "EVENT_FR_RECOGNITION_RESULT");
    EXPECT_EQ(events[2].data, kRecognitionPayload);
}

TEST_F(FaceEventTest, SignalsWithoutRecordsSendEmptyPayloads) {
    gx_face_detect_data ignored{1, 2, 3, 4, 5};
    const std::pair<int, const char*> cases[] = {{1, "EVENT_FR_ON_RECOGNIZING"},
                                                 {4, "EVENT_FR_DETECTION_FAIL"},
                                                 {5, "EVENT_FR_RECOGNITION_FAIL"}};
    for (const auto& c : cases)
        kiv::CEmpEngineGX::ProcessSignal(m_Face, c.first, &ignored, nullptr);
    for (int signal : {0, 2, 3}) kiv::CEmpEngineGX::ProcessSignal(m_Face, signal, nullptr, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 6u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(events[i].name, cases[i].second);
    EXPECT_EQ(events[3].name, "EVENT_FR_DETECT_FACE");
    EXPECT_EQ(events[4].name, "EVENT_FR_TRAIN_RESULT");
    EXPECT_EQ(events[5].name, "EVENT_FR_RECOGNITION_RESULT");
    for (const Event& e : events) EXPECT_EQ(e.data, "") << e.name;
}

TEST_F(FaceEventTest, NullPathsBecomeEmptyStrings) {
    gx_face_recog_result record{5, nullptr, 1, 1, 1, 1};
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 2, &record, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 3, &record, nullptr);
    std::vector<Event> events = m_Events.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].data.find("\"imageFilePath\" : \"\""), std::string::npos);
    EXPECT_NE(events[1].data.find("\"imageFilePath\" : \"\""), std::string::npos);
}

TEST_F(FaceEventTest, InvalidFaceSignalsSendNothing) {
    kiv::CEmpEngineGX::ProcessSignal(m_Face, 6, nullptr, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(m_Face, -1, nullptr, nullptr);
    EXPECT_TRUE(m_Events.Events().empty());
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "Invalid signal 6 \n"));
    EXPECT_TRUE(Contains(texts, "Invalid signal -1 \n"));
}

TEST_F(FaceEventTest, DetectedFaceReachesASubscribedEngineThroughTheLibrary) {
    ASSERT_TRUE(Exec(m_Engine, "SubscribeFaceEvent", "app").IsInt(1));
    gxsim::SetFacesInView({{1, 10, 20, 40, 40}});
    ASSERT_TRUE(Exec(m_Engine, "StartFaceDetection").IsInt(1));
    gxsim::Drain();
    ASSERT_TRUE(m_Events.WaitFor(1));
    std::vector<Event> events = m_Events.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].name, "EVENT_FR_DETECT_FACE");
    EXPECT_NE(events[0].data.find("\"x\" : 10"), std::string::npos) << events[0].data;
    EXPECT_NE(events[0].data.find("\"detectResult\""), std::string::npos);
}

}  // namespace
}  // namespace gxtest
