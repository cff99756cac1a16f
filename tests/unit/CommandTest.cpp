// Every command, one row each (more where its outcome depends on the TV): the library calls with
// their arguments and handle, the result, Execute's return and the command's log.
#include <fstream>
#include <regex>

#include "EngineTest.h"
#include "vconf.h"

namespace gxtest {
namespace {

const char kTts[] = "db/menu/accessibility/tts";
const auto Corrupt = [] { std::ofstream(gxsim::GetSettingsPath()) << "[vconf\nnot a key file\n"; };

const char kGrab[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

// clang-format off
// jsoncpp's styled text: tab indentation, members sorted by name, a closing newline.
const char kRecognised[] = "{\n\t\"recognitionResult\" : \n\t[\n\t\t{\n\t\t\t\"h\" : 40,\n\t\t\t\"imageFilePath\" : \"$DIR/faces/face-1.pgm\",\n\t\t\t\"nFaceRecogID\" : 1,\n\t\t\t\"w\" : 30,\n\t\t\t\"x\" : 10,\n\t\t\t\"y\" : 20\n\t\t},\n\t\t{\n\t\t\t\"h\" : 80,\n\t\t\t\"imageFilePath\" : \"$DIR/faces/face-2.pgm\",\n\t\t\t\"nFaceRecogID\" : 2,\n\t\t\t\"w\" : 70,\n\t\t\t\"x\" : 50,\n\t\t\t\"y\" : 60\n\t\t}\n\t]\n}\n";
const char kDetected[] = "{\n\t\"recognitionResult\" : \n\t[\n\t\t{\n\t\t\t\"h\" : 40,\n\t\t\t\"nFaceRecogID\" : 1,\n\t\t\t\"w\" : 30,\n\t\t\t\"x\" : 10,\n\t\t\t\"y\" : 20\n\t\t},\n\t\t{\n\t\t\t\"h\" : 80,\n\t\t\t\"nFaceRecogID\" : 2,\n\t\t\t\"w\" : 70,\n\t\t\t\"x\" : 50,\n\t\t\t\"y\" : 60\n\t\t}\n\t]\n}\n";
const char kTrained[] = "{\n\t\"detectResult\" : 2,\n\t\"h\" : 80,\n\t\"imageFilePath\" : \"$DIR/faces/face-2.pgm\",\n\t\"w\" : 70,\n\t\"x\" : 50,\n\t\"y\" : 60\n}\n";
const char kNoRecord[] = "{\n\t\"recognitionResult\" : null\n}\n";

const Row kMotionRows[] = {
    // command, arg1, arg2, setup, forced result -> library calls, result, log, result without the library
    {"GetGestureCameraStatus", "", "", nullptr, kNo, "tvcamera_control_check_camera_state(&)=0 state=1", I(1), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 4 GetCameraStatus: camera connected | 16 Execute: current camera status = 1"},
    {"GetGestureCameraStatus", "", "", [] { gxsim::SetCameraState(0); }, kNo, "tvcamera_control_check_camera_state(&)=0 state=0", I(0), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 4 GetCameraStatus: camera disconnected | 16 Execute: current camera status = 0"},
    {"GetGestureCameraStatus", "", "", [] { gxsim::SetCameraState(3); }, kNo, "tvcamera_control_check_camera_state(&)=0 state=3", I(1), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 4 GetCameraStatus: camera connected | 16 Execute: current camera status = 1"},
    {"GetGestureCameraStatus", "", "", [] { gxsim::SetCameraState(4); }, kNo, "tvcamera_control_check_camera_state(&)=0 state=4", I(2), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 16 GetCameraStatus: camera state error:4 | 16 Execute: current camera status = 2"},
    {"GetGestureCameraStatus", "", "", [] { gxsim::SetCameraState(-1); }, kNo, "tvcamera_control_check_camera_state(&)=0 state=-1", I(2), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 16 GetCameraStatus: camera state error:-1 | 16 Execute: current camera status = 2"},
    {"GetGestureCameraStatus", "", "", [] { gxsim::SetCameraQueryResult(-5); }, kNo, "tvcamera_control_check_camera_state(&)=-5", I(0), "----- GetGestureCameraStatus  | 2 GetGestureCameraStatus | 16 GetCameraStatus: tv camera control get state failed | 4 GetCameraStatus: camera disconnected | 16 Execute: current camera status = 0"},
    {"SubscirbeMotionSignal", "1005", "", nullptr, 7, "gx_set_motion_signal_subscribed(M,1005,CB,null)=7", I(7), "SubscirbeMotionSignal | 2 SubscirbeMotionSignal", I(0)},
    {"SubscirbeMotionSignal", " 12abc", "", nullptr, 7, "gx_set_motion_signal_subscribed(M,12,CB,null)=7", I(7), "SubscirbeMotionSignal | 2 SubscirbeMotionSignal", I(0)},
    {"SubscirbeMotionSignal", "abc", "", nullptr, 7, "gx_set_motion_signal_subscribed(M,0,CB,null)=7", I(7), "SubscirbeMotionSignal | 2 SubscirbeMotionSignal", I(0)},
    {"SubscirbeMotionSignal", "2147483648", "", nullptr, 7, "gx_set_motion_signal_subscribed(M,2147483647,CB,null)=7", I(7), "SubscirbeMotionSignal | 2 SubscirbeMotionSignal", I(0)},
    {"SubscirbeMotionSignal", "-2147483649", "", nullptr, 7, "gx_set_motion_signal_subscribed(M,-2147483648,CB,null)=7", I(7), "SubscirbeMotionSignal | 2 SubscirbeMotionSignal", I(0)},
    {"UnSubscirbeMotionSignal", "1007", "", nullptr, 7, "gx_motion_signal_unsubscribed(M,1007)=7", I(7), "UnSubscirbeMotionSignal | 2 UnSubscirbeMotionSignal", I(0)},
    {"StartMotionRecognition", "", "", nullptr, 7, "gx_start_motion_recog(M)=7", I(7), "StartMotionRecognition | 2 StartMotionRecognition", I(0)},
    {"StopMotionRecognition", "", "", nullptr, 7, "gx_stop_motion_recog(M)=7", I(7), "StopMotionRecognition | 2 StopMotionRecognition", I(0)},
    {"EnableGestureRecognition", "", "", nullptr, 7, "gx_enable_motion_recognition(M,1)=7", I(7), "EnableGestureRecognition | 2 EnableGestureRecognition", I(0)},
    {"DisableGestureRecognition", "", "", nullptr, 7, "gx_enable_motion_recognition(M,0)=7", I(7), "DisableGestureRecognition | 2 DisableGestureRecognition", I(0)},
    {"SubscribeMotionEvent", "w1", "", nullptr, kNo, "", I(1), "SubscribeMotionEvent | 16 Execute: m_MotionWidgetName = w1\\n | 2 SubscribeMotionEvent", I(1)},
    {"UnsubscribeMotionEvent", "", "", nullptr, kNo, "", I(1), "UnsubscribeMotionEvent | 16 Execute: m_MotionWidgetName = \\n | 2 UnsubscribeMotionEvent", I(1)},
    {"GetMotionRecognitionStatus", "", "", nullptr, kNo, "gx_get_motion_recognition_status(M,&)=1 value=1", I(1), "GetMotionRecognitionStatus | 2 GetMotionRecognitionStatus", I(0)},
    {"GetMotionRecognitionStatus", "", "", nullptr, 0, "gx_get_motion_recognition_status(M,&)=0", I(0), "GetMotionRecognitionStatus | 2 GetMotionRecognitionStatus", I(0)},
    {"GetMotionBrightnessLevel", "", "", nullptr, kNo, "gx_get_motion_brightness_level(M,&)=1 value=50", I(50), "GetMotionBrightnessLevel | 2 GetMotionBrightnessLevel", I(0)},
    {"GetMotionBrightnessLevel", "", "", nullptr, 0, "gx_get_motion_brightness_level(M,&)=0", I(0), "GetMotionBrightnessLevel | 2 GetMotionBrightnessLevel", I(0)},
    {"IsMotionEngineValid", "", "", nullptr, 7, "gx_is_motion_engine_valid(M)=7", I(7), "----- IsMotionEngineValid  | 2 IsMotionEngineValid", I(0)},
    {"IsMotionRecognitionEnabled", "", "", nullptr, 7, "gx_is_motion_recognition_enabled(M)=7", I(7), "IsMotionRecognitionEnabled | 2 IsMotionRecognitionEnabled", I(0)},
    {"IsTwoHandMotionValid", "", "", nullptr, 7, "gx_is_two_hand_motion_valid(M)=7", I(7), "IsTwoHandMotionValid | 2 IsTwoHandMotionValid", I(0)},
    {"IsThumbupMotionValid", "", "", nullptr, 7, "gx_is_thumbup_motion_valid(M)=7", I(7), "IsThumbupMotionValid | 2 IsThumbupMotionValid", I(0)},
    {"IsSlapMotionValid", "", "", nullptr, 7, "gx_is_slap_motion_valid(M)=7", I(7), "IsSlapMotionValid | 2 IsSlapMotionValid", I(0)},
    {"EnableMotionHint", "3", "", nullptr, 7, "gx_enable_motion_hint(M,3)=7", I(7), "EnableMotionHint | 2 EnableMotionHint", I(0)},
    {"SetZoomTriggerCondition", "-12", "", nullptr, 7, "gx_set_zoom_trigger_condition(M,-12)=7", I(7), "SetZoomTriggerCondition | 2 SetZoomTriggerCondition", I(0)},
    {"GetZoomTriggerCondition", "", "", nullptr, kNo, "gx_get_zoom_trigger_condition(M,&)=1 value=17", I(17), "GetZoomTriggerCondition | 2 GetZoomTriggerCondition", I(-1)},
    {"GetZoomTriggerCondition", "", "", nullptr, 0, "gx_get_zoom_trigger_condition(M,&)=0", I(-1), "GetZoomTriggerCondition | 2 GetZoomTriggerCondition", I(-1)},
    {"SetMotionSubscribeInfo", "w1", kGrab, nullptr, kNo, "gx_set_motion_signal_subscribed(M,1005,CB,null)=1", I(1), "SetMotionSubscribeInfo | 16 Execute: m_MotionWidgetName = w1\\n | 16 Execute: begin parse | 16 Execute: the motion signal is 1005\\n | 16 Execute: to create thread | 2 SubScribe: in CEmpEngineGX::SubScribe | 2 SubScribe: create m_MotionLoop successfully | 2 SubscirbeMotionSignal | 2 SubScribe:   send sem"},
    {"IsSupportMotionRecognition", "", "", nullptr, kNo, "", I(0), "----- IsSupportMotionRecognition  | 2 IsSupportMotionRecognition", I(0)},
    {"SetRotateTriggerCondition", "45", "", nullptr, 7, "gx_set_rotate_trigger_condition(M,45)=7", I(7), "SetRotateTriggerCondition | 2 SetRotateTriggerCondition", I(0)},
    {"GetRotateTriggerCondition", "", "", nullptr, kNo, "gx_get_rotate_trigger_condition(M,&)=1 value=-5", I(-5), "GetRotateTriggerCondition | 2 GetRotateTriggerCondition", I(-1)},
    {"GetRotateTriggerCondition", "", "", nullptr, 0, "gx_get_rotate_trigger_condition(M,&)=0", I(-1), "GetRotateTriggerCondition | 2 GetRotateTriggerCondition", I(-1)},
    {"EnableMotionSwipeRecognition", "", "", nullptr, 7, "gx_enable_swipe(M,1)=7", I(7), "EnableMotionSwipeRecognition | 2 EnableMotionSwipeRecognition", I(0)},
    {"DisableMotionSwipeRecognition", "", "", nullptr, 7, "gx_enable_swipe(M,0)=7", I(7), "DisableMotionSwipeRecognition | 2 DisableMotionSwipeRecognition", I(0)},
};

const Row kFaceRows[] = {
    {"SubscribeFaceEvent", "app", "", nullptr, kNo, "gx_set_face_signal_subscribed(F,0,CB,null)=1; gx_set_face_signal_subscribed(F,1,CB,null)=1; gx_set_face_signal_subscribed(F,2,CB,null)=1; gx_set_face_signal_subscribed(F,3,CB,null)=1; gx_set_face_signal_subscribed(F,4,CB,null)=1; gx_set_face_signal_subscribed(F,5,CB,null)=1", I(1), "----- SubscribeFaceEvent "},
    {"SubscribeFaceEvent", "", "", nullptr, 0, "gx_set_face_signal_subscribed(F,0,CB,null)=0", I(1), "----- SubscribeFaceEvent "},
    {"UnsubscribeFaceEvent", "app", "", nullptr, 0, "gx_face_signal_unsubscribed(F,0)=0; gx_face_signal_unsubscribed(F,1)=0; gx_face_signal_unsubscribed(F,2)=0; gx_face_signal_unsubscribed(F,3)=0; gx_face_signal_unsubscribed(F,4)=0; gx_face_signal_unsubscribed(F,5)=0", I(1), "----- UnsubscribeFaceEvent "},
    {"InitializeFace", "", "", nullptr, kNo, "gx_face_recog_create(&)=1 handle=901", I(1), "----- InitializeFace  | 2 CreateFaceHandle"},
    {"InitFaceRecognition", "", "", nullptr, 0, "gx_face_recog_create(&)=0", I(0), "----- InitFaceRecognition  | 2 CreateFaceHandle"},
    {"EnableFaceRecognition", "", "", nullptr, 7, "gx_enable_face_recognition(F,1)=7", I(7), "----- EnableFaceRecognition  | 2 EnableFaceRecognition"},
    {"DisableFaceRecognition", "", "", nullptr, 7, "gx_enable_face_recognition(F,0)=7; gx_face_recog_destroy(F)=1", I(1), "----- DisableFaceRecognition  | 2 EnableFaceRecognition | 2 DestroyFaceHandle"},
    {"StartFaceDetection", "", "", nullptr, 7, "gx_start_face_detection(F)=7", I(7), "----- StartFaceDetection  | 2 StartFaceDetection"},
    {"StopFaceDetection", "", "", nullptr, 7, "gx_stop_face_detection(F)=7", I(7), "----- StopFaceDetection  | 2 StopFaceDetection"},
    {"StartFaceTraining", "7", "", nullptr, kNo, "gx_start_face_training(F,&)=1 face={7,0,0,0,0}", I(1), "----- StartFaceTraining  | 2 StartFaceTraining"},
    {"StartFaceTraining", "", "", nullptr, kNo, "gx_start_face_training(F,&)=1 face={0,0,0,0,0}", I(1), "----- StartFaceTraining  | 2 StartFaceTraining"},
    {"StopFaceTraining", "", "", nullptr, 7, "gx_stop_face_training(F)=7", I(7), "----- StopFaceTraining  | 2 StopFaceTraining"},
    {"StartFaceRecognition", "3", "", nullptr, kNo, "gx_start_face_recognition(F,&)=1 face={3,0,0,0,0} matched=0", I(1), "----- StartFaceRecognition  | 2 StartFaceRecognition"},
    {"StopFaceRecognition", "", "", nullptr, 7, "gx_stop_face_recognition(F)=7", I(7), "----- StopFaceRecognition  | 2 StopFaceRecognition"},
    {"StartFaceRecognitionAll", "-2", "", nullptr, kNo, "gx_start_face_recognition(F,&)=1 face={-2,0,0,0,0} matched=2", I(1), "----- StartFaceRecognition  | 2 StartFaceRecognition"},
    {"OverWriteFace", R"({"nDetectID":4,"x":1,"y":2,"w":3,"h":5})", "2", nullptr, kNo, "gx_over_write_face(F,&,2)=1 face={4,1,2,3,5}", I(1), "----- OverWriteFace  | 2 OverWriteFace"},
    {"OverWriteFace", R"({"x":11,"y":12})", "abc", nullptr, kNo, "gx_over_write_face(F,&,0)=0 face={0,11,12,0,0}", I(0), "----- OverWriteFace  | 2 OverWriteFace"},
    {"OverWriteFace", "not json", "2", nullptr, kNo, "", kNone, "----- OverWriteFace "},
    {"OverWriteFace", "[1,2]", "2", nullptr, kNo, "", kNone, "----- OverWriteFace "},
    {"OverWriteFace", R"({"x":"10"})", "2", nullptr, kNo, "", kNone, "----- OverWriteFace "},
    {"OverWriteFace", R"({"h":1e12})", "2", nullptr, kNo, "", kNone, "----- OverWriteFace "},
    {"OverWriteThumbnail", "/img/a.pgm", "12", nullptr, 7, "gx_over_write_thumbnail(F,/img/a.pgm,12)=7", I(7), "----- OverWriteThumbnail  | 2 OverWriteThumbnail"},
    {"TrainThumbnail", "/img/b.pgm", "", nullptr, 7, "gx_train_thumbnail(F,/img/b.pgm)=7", I(7), "----- TrainThumbnail  | 2 TrainThumbnail"},
    {"FaceVersion", "", "", nullptr, kNo, "gx_get_face_version(F,&)=1 version=1.000000", T("1.00"), "----- FaceVersion  | 2 GetFaceVersion"},
    {"FaceVersion", "", "", [] { gxsim::SetFaceVersion(12345.6f); }, kNo, "gx_get_face_version(F,&)=1 version=12345.599609", T("12345.6"), "----- FaceVersion  | 2 GetFaceVersion"},
    {"FaceVersion", "", "", [] { gxsim::SetFaceVersion(std::nullopt); }, kNo, "gx_get_face_version(F,&)=1", T("0.00"), "----- FaceVersion  | 2 GetFaceVersion"},
    {"EraseFace", "9", "", nullptr, 7, "gx_erase_face(F,9)=7", I(7), "----- EraseFace  | 2 EraseFace"},
    {"ClearFaceRecogData", "", "", nullptr, 7, "gx_clear_face_recog_data(F)=7", I(7), "----- ClearFaceRecogData  | 2 ClearFaceRecogData"},
    {"GetFaceRecognitionResult", "", "", nullptr, kNo, "gx_get_face_recognition_result(F,&,&)=1 count=2", T(kRecognised), "----- GetFaceRecognitionResult  | 2 GetFaceRecognitionResult"},
    // A recognition that matched nobody: the library reports success without records.
    {"GetFaceRecognitionResult", "", "", [] { gx_face_detect_data nobody{9, 0, 0, 0, 0}; gx_start_face_recognition(kFace, &nobody); }, kNo, "gx_get_face_recognition_result(F,&,&)=1 count=0", I(1), "----- GetFaceRecognitionResult  | 2 GetFaceRecognitionResult"},
    {"GetFaceRecognitionResult", "", "", nullptr, 0, "gx_get_face_recognition_result(F,&,&)=0 count=2", I(0), "----- GetFaceRecognitionResult  | 2 GetFaceRecognitionResult"},
    {"GetFaceDetectionResult", "", "", nullptr, kNo, "gx_get_face_detection_result(F,&,&)=1 count=2", T(kDetected), "----- GetFaceDetectionResult  | 2 GetFaceDetectionResult"},
    {"GetFaceDetectionResult", "", "", [] { gxsim::SetFacesInView({}); }, kNo, "gx_get_face_detection_result(F,&,&)=1 count=0", T(kNoRecord), "----- GetFaceDetectionResult  | 2 GetFaceDetectionResult"},
    {"GetFaceDetectionResult", "", "", nullptr, 0, "gx_get_face_detection_result(F,&,&)=0 count=2", I(0), "----- GetFaceDetectionResult  | 2 GetFaceDetectionResult"},
    {"GetFaceTrainingResult", "", "", nullptr, kNo, "gx_get_face_training_result(F,&)=1 id=2", T(kTrained), "----- GetFaceTrainingResult  | 2 GetFaceTrainingResult"},
    {"GetFaceTrainingResult", "", "", nullptr, 0, "gx_get_face_training_result(F,&)=0 id=2", I(0), "----- GetFaceTrainingResult  | 2 GetFaceTrainingResult"},
    {"EraseFaceImageID", "4x", "", nullptr, 7, "gx_erase_face_image_id(F,4)=7", I(7), "----- EraseFaceImageID  | 2 EraseFaceImageID"},
    {"EncryptFaceImage", "/img/a-name-longer-than-a-short-string", "", nullptr, 7, "gx_encrypt_face_image(F,/img/a-name-longer-than-a-short-string)=7", I(7), "----- EncryptFaceImage  | 2 EncryptFaceImage"},
    {"DecryptFaceImage", "/img/d", "", nullptr, 7, "gx_decrypt_face_image(F,/img/d)=7", I(7), "----- DecryptFaceImage  | 2 DecryptFaceImage"},
    {"DestroyFace", "", "", nullptr, 7, "gx_face_recog_destroy(F)=7", I(7), "----- DestroyFace  | 2 DestroyFaceHandle"},
};

#define TTS_WAS(v) "2 EnableTTSEngine: the privous value of vconf key [db/menu/accessibility/tts]  is [" #v "]"
#define TTS_IS(v) "2 EnableTTSEngine: the current value of vconf key [db/menu/accessibility/tts]  is [" #v "]"
const Row kSpeechRows[] = {
    {"EnableTTSEngine", "", "", nullptr, kNo, "tts=1", I(1), "----- EnableTTSEngine  | " TTS_WAS(0) " | " TTS_IS(1)},
    {"EnableTTSEngine", "", "", [] { vconf_set_int(kTts, 1); }, kNo, "", I(1), "----- EnableTTSEngine  | " TTS_WAS(1) " | " TTS_IS(1)},
    {"EnableTTSEngine", "", "", Corrupt, kNo, "", I(0), "----- EnableTTSEngine  | 2 EnableTTSEngine: vconf get caption fails"},
    {"DisableTTSEngine", "", "", [] { vconf_set_int(kTts, 1); }, kNo, "tts=0", I(1), "----- DisableTTSEngine  | " TTS_WAS(1) " | " TTS_IS(0)},
    {"DisableTTSEngine", "", "", nullptr, kNo, "", I(1), "----- DisableTTSEngine  | " TTS_WAS(0) " | " TTS_IS(0)},
    {"IsTTSEngineEnabled", "", "", [] { vconf_set_int(kTts, 1); }, kNo, "", I(0), "----- IsTTSEngineEnabled "},
    {"StopTTSEngine", "", "", nullptr, kNo, "", I(0), "----- StopTTSEngine "},
    {"StartTTSEngine", "hello", "", nullptr, kNo, "", I(0), "----- StartTTSEngine "},
    {"IsSupportTTS", "", "", [] { vconf_set_int(kTts, 7); }, kNo, "", I(7), "----- IsSupportTTS  | 16 MatchModelType: Check if the current TV Model-(T-SIMTV55) same as (T-VRDLBGYC) == no | 16 MatchSpecifiedModels: Current TV Model do not belong to specified models | 2 IsSupportTTS: IsSupportTTS  get 7"},
    {"IsSupportTTS", "", "", [] { gxsim::SetModel(std::string("T-VRDLBGYC-X1")), vconf_set_int(kTts, 1); }, kNo, "", I(0), "----- IsSupportTTS  | 16 MatchModelType: Check if the current TV Model-(T-VRDLBGYC-X1) same as (T-VRDLBGYC) == yes | 16 MatchSpecifiedModels: Current TV Model (==T-VRDLBGYC-X1==) is one of the specified models (==T-VRDLBGYC==)!"},
    {"IsSupportTTS", "", "", Corrupt, kNo, "", I(0), "----- IsSupportTTS  | 16 MatchModelType: Check if the current TV Model-(T-SIMTV55) same as (T-VRDLBGYC) == no | 16 MatchSpecifiedModels: Current TV Model do not belong to specified models | 2 IsSupportTTS: vconf get tts fails"},
    {"GetUserLevel", "", "", nullptr, kNo, "", T("Beginner"), "----- GetUserLevel "},
    {"IsTTSInPlaying", "", "", nullptr, kNo, "", I(0), "----- IsTTSInPlaying "},
};
// clang-format on

class CommandTable : public EngineTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandTable, Row) {
    const Row& row = GetParam();
    Check(m_Engine, row);
    if (row.cmd == std::string("GetGestureCameraStatus")) {
        // The query's own result, which the command does not pass on: 1 while connected.
        gx_camera_status status = 2;
        const int connected = kiv::CEmpManager().GetGestureCameraStatus(&status);
        EXPECT_EQ(connected, status == 1 ? 1 : 0);
    }
    if (row.absent.empty()) return;
    // Another loader's unload clears the entry points of every engine: each operation then fails
    // on its own, naming the missing pointer, and a query reports its preset.
    kiv::CEmpProviderPlugin other;
    other.LoadMotionLib();
    other.UnLoadMotionLib();
    TakeLog();
    EXPECT_EQ(Exec(m_Engine, row.cmd, row.arg1, row.arg2).result, row.absent);
    EXPECT_EQ(Calls(), "");
    const std::string calls = row.calls;
    const std::regex missing("16 \\w+: CEmpProviderPlugin::" + calls.substr(0, calls.find('(')) +
                             " = NULL");
    EXPECT_EQ(std::regex_search(Log(), missing), !calls.empty());
}
INSTANTIATE_TEST_SUITE_P(Motion, CommandTable, ::testing::ValuesIn(kMotionRows), RowName);
INSTANTIATE_TEST_SUITE_P(Face, CommandTable, ::testing::ValuesIn(kFaceRows), RowName);
INSTANTIATE_TEST_SUITE_P(Speech, CommandTable, ::testing::ValuesIn(kSpeechRows), RowName);

using DispatchTest = EngineTest;

// A group whose gate is closed answers each of its names as an unknown command (Execute returns 0,
// the result is untouched, nothing but the name is logged, no library is called); the speech group
// has no gate.
TEST_F(DispatchTest, ClosedGatesAnswerLikeUnknownCommands) {
    gxsim::ForceResult("gx_motion_recog_create", 0);
    kiv::CEmpEngineGX* faceOnly = NewEngine();
    gxsim::ClearForcedResults();
    gxsim::SetModel(std::string("T-VRDLTSWC"));
    kiv::CEmpEngineGX* neither = NewEngine();
    auto expectUnserved = [&](kiv::CEmpEngineGX* engine, const std::string& cmd) {
        Calls();
        TakeLog();
        Outcome out = Exec(engine, cmd, "1", kGrab);
        EXPECT_FALSE(out.served) << cmd;
        EXPECT_EQ(out.result, kNone) << cmd;
        EXPECT_EQ(Calls(), "") << cmd;
        EXPECT_EQ(Log(), "16 Execute: strCmd = " + cmd);
    };
    for (const Row& row : kMotionRows) {
        expectUnserved(faceOnly, row.cmd);
        expectUnserved(neither, row.cmd);
    }
    for (const Row& row : kFaceRows) {
        expectUnserved(neither, row.cmd);
        EXPECT_TRUE(Exec(faceOnly, row.cmd).served) << row.cmd;
    }
    for (const Row& row : kSpeechRows) EXPECT_TRUE(Exec(neither, row.cmd).served) << row.cmd;
    for (const char* unknown : {"startMotionRecognition", "StartMotionRecognition ", "", "X"})
        expectUnserved(m_Engine, unknown);
    // Answered before any gate: on the engine whose gates are all closed.
    TakeLog();
    Outcome out = Exec(neither, "RecogEMPUsingStatus");
    EXPECT_FALSE(out.served);
    EXPECT_EQ(out.result, I(0));
    EXPECT_EQ(Log(),
              "16 Execute: strCmd = RecogEMPUsingStatus | 2 Execute: didn't come "
              "RecogEMPUsingStatus ....... \\n");
}

// The face handle lives in the engine: a new one replaces it, a destroyed one keeps its value.
TEST_F(DispatchTest, FaceCommandsUseTheHandleTheEngineHoldsNow) {
    Exec(m_Engine, "InitFaceRecognition");
    Exec(m_Engine, "DisableFaceRecognition");
    Exec(m_Engine, "StartFaceDetection");
    EXPECT_EQ(Calls(),
              "gx_face_recog_create(&)=1 handle=901; gx_enable_face_recognition(901,0)=1; "
              "gx_face_recog_destroy(901)=1; gx_start_face_detection(901)=0");
    kiv::CEmpEngineGX* fresh = NewEngine();
    Calls();
    Exec(fresh, "StopFaceDetection");
    EXPECT_EQ(Calls(), "gx_stop_face_detection(0)=0");
}

}  // namespace
}  // namespace gxtest
