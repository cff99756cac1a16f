// Library callbacks, through ProcessSignal, to named events with their payloads byte for byte.
#include <algorithm>

#include "EngineTest.h"

namespace gxtest {
namespace {
using gxtest::operator<<;  // a failed row is shown by its log

char kAbc[] = "abc";
char kPath3[] = "/faces/3.pgm";
char kPath12[] = "/faces/12.pgm";
gx_face_detect_data kDetect{7, 10, 20, 30, 40};
gx_face_recog_result kRecognised{3, kPath3, 1, 2, 3, 4};
gx_face_recog_result kTrained{12, kPath12, 0, 0, 0, 0};
gx_face_recog_result kNoPath{5, nullptr, 6, 7, 8, 9};

struct EventRow {
    const char* widget;  // the engine's widget name when the signal arrives
    int handle;
    int signal;
    void* data;
    const char* event;    // "<code> <name>", nullptr: no event
    const char* payload;  // the event's data
    const char* log;      // one of the lines logged
};

// clang-format off
// jsoncpp's styled text: tab indentation, members sorted by name, a closing newline.
const char kDetectJson[] = "{\n\t\"detectResult\" : \n\t[\n\t\t{\n\t\t\t\"h\" : 40,\n\t\t\t\"nDetectID\" : 7,\n\t\t\t\"w\" : 30,\n\t\t\t\"x\" : 10,\n\t\t\t\"y\" : 20\n\t\t}\n\t]\n}\n";
const char kTrainJson[] = "{\n\t\"detectResult\" : 12,\n\t\"imageFilePath\" : \"/faces/12.pgm\"\n}\n";
const char kTrainNoPathJson[] = "{\n\t\"detectResult\" : 5,\n\t\"imageFilePath\" : \"\"\n}\n";
const char kRecogJson[] = "{\n\t\"recognitionResult\" : \n\t[\n\t\t{\n\t\t\t\"h\" : 4,\n\t\t\t\"imageFilePath\" : \"/faces/3.pgm\",\n\t\t\t\"nFaceRecogID\" : 3,\n\t\t\t\"w\" : 3,\n\t\t\t\"x\" : 1,\n\t\t\t\"y\" : 2\n\t\t}\n\t]\n}\n";
const char kRecogNoPathJson[] = "{\n\t\"recognitionResult\" : \n\t[\n\t\t{\n\t\t\t\"h\" : 9,\n\t\t\t\"imageFilePath\" : \"\",\n\t\t\t\"nFaceRecogID\" : 5,\n\t\t\t\"w\" : 8,\n\t\t\t\"x\" : 6,\n\t\t\t\"y\" : 7\n\t\t}\n\t]\n}\n";

const EventRow kEventRows[] = {
    {"w1", kMotion, 1005, kAbc, "6511 EVENT_MOTION_GRAB-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_GRAB"},
    {"w1", kMotion, 1000, kAbc, "6511 EVENT_MOTION_SLAP_LEFT-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_SLAP_LEFT"},
    {"w1", kMotion, 1001, kAbc, "6511 EVENT_MOTION_SLAP_RIGHT-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_SLAP_RIGHT"},
    {"w1", kMotion, 1002, kAbc, "6511 EVENT_MOTION_SLAP_UP-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_SLAP_UP"},
    {"w1", kMotion, 1003, kAbc, "6511 EVENT_MOTION_SLAP_DOWN-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_SLAP_DOWN"},
    {"w1", kMotion, 1004, kAbc, "6511 EVENT_MOTION_CIRCLE-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_CIRCLE"},
    {"w1", kMotion, 1007, kAbc, "6511 EVENT_MOTION_UNGRAB-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_UNGRAB"},
    {"w1", kMotion, 1015, kAbc, "6511 EVENT_MOTION_PRIMARY_HAND_LOST-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_PRIMARY_HAND_LOST"},
    {"w1", kMotion, 1024, kAbc, "6511 EVENT_MOTION_RAW_DATA-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_RAW_DATA"},
    {"w1", kMotion, 1028, kAbc, "6511 EVENT_MOTION_BEGIN_MONITOR-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_BEGIN_MONITOR"},
    {"w1", kMotion, 1029, kAbc, "6511 EVENT_MOTION_END_MONITOR-w1", "abc", "16 ProcessMotionSignal: strSingal is EVENT_MOTION_END_MONITOR"},
    {"", kMotion, 1005, nullptr, "6511 EVENT_MOTION_GRAB-", "", "16 ProcessMotionSignal: pTemp == NULL"},
    {"w1", kMotion, 1006, kAbc, nullptr, nullptr, "16 ProcessMotionSignal: strSingal is EVENT_MOTION_DEFAULT_MAX"},
    {"w1", kMotion, 1030, kAbc, nullptr, nullptr, "16 ProcessMotionSignal: strSingal is EVENT_MOTION_DEFAULT_MAX"},
    {"w1", kMotion, 1034, kAbc, nullptr, nullptr, "16 ProcessMotionSignal: strSingal is EVENT_MOTION_DEFAULT_MAX"},
    {"w1", kMotion, 999, kAbc, nullptr, nullptr, "2 ProcessMotionSignal: Invalid signal 999 \\n"},
    {"w1", kMotion, 1035, kAbc, nullptr, nullptr, "2 ProcessMotionSignal: Invalid signal 1035 \\n"},
    {"w1", kMotion, INT_MIN, kAbc, nullptr, nullptr, "2 ProcessMotionSignal: Invalid signal -2147483648 \\n"},
    {"w1", kMotion, 0, &kDetect, nullptr, nullptr, "2 ProcessMotionSignal: Invalid signal 0 \\n"},
    {"w1", kFace, 0, &kDetect, "6512 EVENT_FR_DETECT_FACE", kDetectJson, "2 ProcessFaceSignal: Receive face event [EVENT_FR_DETECT_FACE]"},
    {"w1", kFace, 1, &kDetect, "6512 EVENT_FR_ON_RECOGNIZING", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 2, &kTrained, "6512 EVENT_FR_TRAIN_RESULT", kTrainJson, "2 ProcessFaceSignal: Receive face event [EVENT_FR_TRAIN_RESULT]"},
    {"w1", kFace, 3, &kRecognised, "6512 EVENT_FR_RECOGNITION_RESULT", kRecogJson, "2 ProcessFaceSignal: Receive face event [EVENT_FR_RECOGNITION_RESULT]"},
    {"w1", kFace, 4, &kDetect, "6512 EVENT_FR_DETECTION_FAIL", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 5, &kDetect, "6512 EVENT_FR_RECOGNITION_FAIL", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 0, nullptr, "6512 EVENT_FR_DETECT_FACE", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 2, nullptr, "6512 EVENT_FR_TRAIN_RESULT", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 3, nullptr, "6512 EVENT_FR_RECOGNITION_RESULT", "", "2 ProcessFaceSignal: Send faceResult []"},
    {"w1", kFace, 2, &kNoPath, "6512 EVENT_FR_TRAIN_RESULT", kTrainNoPathJson, "4 GetFaceResult"},
    {"w1", kFace, 3, &kNoPath, "6512 EVENT_FR_RECOGNITION_RESULT", kRecogNoPathJson, "4 GetFaceResult"},
    {"w1", kFace, 6, &kDetect, nullptr, nullptr, "2 ProcessFaceSignal: Invalid signal 6 \\n"},
    {"w1", kFace, -1, &kDetect, nullptr, nullptr, "2 ProcessFaceSignal: Invalid signal -1 \\n"},
    {"w1", kFace, 1005, kAbc, nullptr, nullptr, "2 ProcessFaceSignal: Invalid signal 1005 \\n"},
};
// clang-format on

class EventTest : public EngineTest {
protected:
    // The events that arrived, "E<n> <code> <name>: <data>" (E<n>: the engine) joined by " | ".
    std::string Events() {
        std::string out;
        for (const Event& e : m_Events.Take()) {
            size_t n = std::find(m_Built.begin(), m_Built.end(), e.engine) - m_Built.begin() + 1;
            out += (out.empty() ? "E" : " | E") + I(n) + " " + I(e.code) + " " + e.name + ": " +
                   e.data;
        }
        return out;
    }
};
class EventTable : public EventTest, public ::testing::WithParamInterface<EventRow> {};

TEST_P(EventTable, Row) {
    const EventRow& row = GetParam();
    Exec(m_Engine, "SubscribeMotionEvent", row.widget);
    TakeLog();
    kiv::CEmpEngineGX::ProcessSignal(row.handle, row.signal, row.data, nullptr);
    EXPECT_EQ(Events(), row.event ? std::string("E1 ") + row.event + ": " + row.payload : "");
    const std::string log = " | " + Log() + " | ";
    EXPECT_NE(log.find(std::string(" | ") + row.log + " | "), std::string::npos) << log;
}
INSTANTIATE_TEST_SUITE_P(Signals, EventTable, ::testing::ValuesIn(kEventRows));

// clang-format off
const char kRefused[] = "2 ProcessSignal | 16 ProcessSignal: received Handle [-1] is error!\\n";
const char kFaceWalk[] = "2 ProcessSignal | 2 ProcessSignal: pThis[E1] | 2 ProcessSignal: received singnal [1] FaceHandle [900]\\n | 2 ProcessFaceSignal: Enter | 2 ProcessFaceSignal: Receive face event [EVENT_FR_ON_RECOGNIZING] | 4 GetFaceResult | 2 ProcessFaceSignal: Send faceResult []";
const char kBothWalk[] = "2 ProcessSignal | 2 ProcessSignal: pThis[E1] | 2 ProcessSignal: received singnal [1004] MotionHandle [700]\\n | 16 ProcessMotionSignal: in ProcessMotionSignal | 16 ProcessMotionSignal: strSingal is EVENT_MOTION_CIRCLE | 2 ProcessSignal: pThis[E2] | 2 ProcessSignal: received singnal [1004] MotionHandle [700]\\n | 16 ProcessMotionSignal: in ProcessMotionSignal | 16 ProcessMotionSignal: strSingal is EVENT_MOTION_CIRCLE";
// clang-format on

using RoutingTest = EventTest;

// The walk over the registry in full: every engine is asked by handle, the motion handle first,
// and a handle of -1 asks nobody.
TEST_F(RoutingTest, EachEngineIsAskedByHandleAndTheMotionHandleFirst) {
    kiv::CEmpEngineGX::ProcessSignal(-1, 1005, kAbc, nullptr);
    EXPECT_EQ(Log(), kRefused);
    kiv::CEmpEngineGX::ProcessSignal(kFace, 1, nullptr, nullptr);
    EXPECT_EQ(Log(), kFaceWalk);
    EXPECT_EQ(Events(), "E1 6512 EVENT_FR_ON_RECOGNIZING: ");
    // The payload builder's own answer: 0 for a record it needs and was not given, else 1.
    std::string payload = "kept";
    for (int signal : {0, 2, 3}) EXPECT_EQ(m_Engine->GetFaceResult(payload, signal, nullptr), 0);
    EXPECT_EQ(m_Engine->GetFaceResult(payload, 4, &kDetect), 1);
    EXPECT_EQ(payload, "kept");
    // A second engine with the same motion handle, and no face handle yet (0).
    gxsim::SetNextMotionHandle(kMotion);
    kiv::CEmpEngineGX* second = NewEngine();
    Exec(m_Engine, "SubscribeMotionEvent", "wa");
    Exec(second, "SubscribeMotionEvent", "wb");
    TakeLog();
    kiv::CEmpEngineGX::ProcessSignal(kMotion, 1004, kAbc, nullptr);
    EXPECT_EQ(Log(), kBothWalk);
    EXPECT_EQ(Events(),
              "E1 6511 EVENT_MOTION_CIRCLE-wa: abc | E2 6511 EVENT_MOTION_CIRCLE-wb: abc");
    kiv::CEmpEngineGX::ProcessSignal(0, 4, nullptr, nullptr);
    EXPECT_EQ(Events(), "E2 6512 EVENT_FR_DETECTION_FAIL: ");
    // An engine whose two handles are equal takes a signal as a motion signal.
    gxsim::SetNextMotionHandle(7000);
    gxsim::SetNextFaceHandle(7000);
    kiv::CEmpEngineGX* same = NewEngine();
    Exec(same, "InitializeFace");
    Exec(same, "SubscribeMotionEvent", "m");
    kiv::CEmpEngineGX::ProcessSignal(7000, 0, &kDetect, nullptr);
    kiv::CEmpEngineGX::ProcessSignal(7000, 1005, kAbc, nullptr);
    EXPECT_EQ(Events(), "E3 6511 EVENT_MOTION_GRAB-m: abc");
}

}  // namespace
}  // namespace gxtest
