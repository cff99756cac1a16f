#include "EmpManager.h"

#include <vector>

#include "EmpLog.h"
#include "EmpProviderPlugin.h"
#include "EmpUtil.h"
#include "tvcamera_control.h"
#include "vconf.h"

namespace {
// The voice guide of the TV: 1 on, 0 off.
const char kTTSKey[] = "db/menu/accessibility/tts";
// Models that offer no speech.
const char kTTSExcludedModel[] = "T-VRDLBGYC";
}  // namespace

// Calls a motion entry point through the loader's pointer, read once; a pointer the library did
// not provide makes the operation fail with 0.
#define CALL_MOTION_ENTRY(entry, ...)                             \
    do {                                                          \
        EMP_TRACE();                                              \
        entry##_t fn = CEmpProviderPlugin::entry;                 \
        if (fn == nullptr) {                                      \
            EMP_LOGE("%s = NULL", "CEmpProviderPlugin::" #entry); \
            return 0;                                             \
        }                                                         \
        return fn(__VA_ARGS__);                                   \
    } while (0)

#define CALL_FACE_ENTRY(entry, ...) \
    do {                            \
        EMP_TRACE();                \
        return entry(__VA_ARGS__);  \
    } while (0)

namespace kiv {

CEmpManager::CEmpManager() {}
CEmpManager::~CEmpManager() {}

// ---- Motion ------------------------------------------------------------------------------------

int CEmpManager::CreateMotionHandle(int* handle) {
    CALL_MOTION_ENTRY(gx_motion_recog_create, handle);
}
int CEmpManager::DestroyMotionHandle(int handle) {
    CALL_MOTION_ENTRY(gx_motion_recog_destroy, handle);
}
int CEmpManager::SubscirbeMotionSignal(int handle, int signal, GXSignalCallback cb,
                                       void* userData) {
    CALL_MOTION_ENTRY(gx_set_motion_signal_subscribed, handle, signal, cb, userData);
}
int CEmpManager::UnSubscirbeMotionSignal(int handle, int signal) {
    CALL_MOTION_ENTRY(gx_motion_signal_unsubscribed, handle, signal);
}
int CEmpManager::StartMotionRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_start_motion_recog, handle);
}
int CEmpManager::StopMotionRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_stop_motion_recog, handle);
}
int CEmpManager::EnableGestureRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_enable_motion_recognition, handle, 1);
}
int CEmpManager::DisableGestureRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_enable_motion_recognition, handle, 0);
}
int CEmpManager::IsMotionRecognitionEnabled(int handle) {
    CALL_MOTION_ENTRY(gx_is_motion_recognition_enabled, handle);
}
int CEmpManager::GetMotionRecognitionStatus(int handle, gx_recog_status* status) {
    CALL_MOTION_ENTRY(gx_get_motion_recognition_status, handle, status);
}
int CEmpManager::GetMotionBrightnessLevel(int handle, int* level) {
    CALL_MOTION_ENTRY(gx_get_motion_brightness_level, handle, level);
}
int CEmpManager::IsTwoHandMotionValid(int handle) {
    CALL_MOTION_ENTRY(gx_is_two_hand_motion_valid, handle);
}
int CEmpManager::IsThumbupMotionValid(int handle) {
    CALL_MOTION_ENTRY(gx_is_thumbup_motion_valid, handle);
}
int CEmpManager::IsSlapMotionValid(int handle) {
    CALL_MOTION_ENTRY(gx_is_slap_motion_valid, handle);
}
int CEmpManager::EnableMotionHint(int handle, int value) {
    CALL_MOTION_ENTRY(gx_enable_motion_hint, handle, value);
}
int CEmpManager::SetZoomTriggerCondition(int handle, int value) {
    CALL_MOTION_ENTRY(gx_set_zoom_trigger_condition, handle, value);
}
int CEmpManager::GetZoomTriggerCondition(int handle, int* value) {
    CALL_MOTION_ENTRY(gx_get_zoom_trigger_condition, handle, value);
}
int CEmpManager::SetRotateTriggerCondition(int handle, int value) {
    CALL_MOTION_ENTRY(gx_set_rotate_trigger_condition, handle, value);
}
int CEmpManager::GetRotateTriggerCondition(int handle, int* value) {
    CALL_MOTION_ENTRY(gx_get_rotate_trigger_condition, handle, value);
}
int CEmpManager::IsMotionEngineValid(int handle) {
    CALL_MOTION_ENTRY(gx_is_motion_engine_valid, handle);
}
int CEmpManager::EnableMotionSwipeRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_enable_swipe, handle, 1);
}
int CEmpManager::DisableMotionSwipeRecognition(int handle) {
    CALL_MOTION_ENTRY(gx_enable_swipe, handle, 0);
}

int CEmpManager::SubscribeMotionEvent(int) {
    EMP_TRACE();
    return 1;
}
int CEmpManager::UnsubscribeMotionEvent(int) {
    EMP_TRACE();
    return 1;
}
int CEmpManager::IsSupportMotionRecognition(int) {
    EMP_TRACE();
    return 0;
}

int CEmpManager::GetGestureCameraStatus(gx_camera_status* status) {
    EMP_TRACE();
    int state = 0;
    if (tvcamera_control_check_camera_state(&state) != 0) {
        EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "GetCameraStatus",
                   "tv camera control get state failed");
    }
    if (state == 0) {
        EMP_LOG_FN(EMP_PRIO_INFO, EMP_COLOR_GREEN, "GetCameraStatus", "camera disconnected");
        *status = 0;
        return 0;
    }
    if (state >= 1 && state <= 3) {
        EMP_LOG_FN(EMP_PRIO_INFO, EMP_COLOR_GREEN, "GetCameraStatus", "camera connected");
        *status = 1;
        return 1;
    }
    EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "GetCameraStatus", "camera state error:%d", state);
    return 0;
}

// ---- Face --------------------------------------------------------------------------------------

int CEmpManager::CreateFaceHandle(int* handle) {
    CALL_FACE_ENTRY(gx_face_recog_create, handle);
}
int CEmpManager::DestroyFaceHandle(int handle) {
    CALL_FACE_ENTRY(gx_face_recog_destroy, handle);
}
int CEmpManager::EnableFaceRecognition(int handle, int enable) {
    CALL_FACE_ENTRY(gx_enable_face_recognition, handle, enable);
}
int CEmpManager::StartFaceDetection(int handle) {
    CALL_FACE_ENTRY(gx_start_face_detection, handle);
}
int CEmpManager::StopFaceDetection(int handle) {
    CALL_FACE_ENTRY(gx_stop_face_detection, handle);
}
int CEmpManager::StartFaceTraining(int handle, gx_face_detect_data* face) {
    CALL_FACE_ENTRY(gx_start_face_training, handle, face);
}
int CEmpManager::StopFaceTraining(int handle) {
    CALL_FACE_ENTRY(gx_stop_face_training, handle);
}
int CEmpManager::StartFaceRecognition(int handle, gx_face_detect_data* face) {
    CALL_FACE_ENTRY(gx_start_face_recognition, handle, face);
}
int CEmpManager::StopFaceRecognition(int handle) {
    CALL_FACE_ENTRY(gx_stop_face_recognition, handle);
}
int CEmpManager::OverWriteFace(int handle, const gx_face_detect_data* face, int id) {
    CALL_FACE_ENTRY(gx_over_write_face, handle, face, id);
}
int CEmpManager::OverWriteThumbnail(int handle, const char* image, int id) {
    CALL_FACE_ENTRY(gx_over_write_thumbnail, handle, image, id);
}
int CEmpManager::TrainThumbnail(int handle, const char* image) {
    CALL_FACE_ENTRY(gx_train_thumbnail, handle, image);
}
int CEmpManager::GetFaceVersion(int handle, float* version) {
    CALL_FACE_ENTRY(gx_get_face_version, handle, version);
}
int CEmpManager::EraseFace(int handle, int id) {
    CALL_FACE_ENTRY(gx_erase_face, handle, id);
}
int CEmpManager::ClearFaceRecogData(int handle) {
    CALL_FACE_ENTRY(gx_clear_face_recog_data, handle);
}
int CEmpManager::GetFaceRecognitionResult(int handle, gx_face_recog_result** results, int* count) {
    CALL_FACE_ENTRY(gx_get_face_recognition_result, handle, results, count);
}
int CEmpManager::GetFaceDetectionResult(int handle, gx_face_detect_data** faces, int* count) {
    CALL_FACE_ENTRY(gx_get_face_detection_result, handle, faces, count);
}
int CEmpManager::GetFaceTrainingResult(int handle, gx_face_recog_result* result) {
    CALL_FACE_ENTRY(gx_get_face_training_result, handle, result);
}
int CEmpManager::EraseFaceImageID(int handle, int id) {
    CALL_FACE_ENTRY(gx_erase_face_image_id, handle, id);
}
int CEmpManager::EncryptFaceImage(int handle, char* image) {
    CALL_FACE_ENTRY(gx_encrypt_face_image, handle, image);
}
int CEmpManager::DecryptFaceImage(int handle, char* image) {
    CALL_FACE_ENTRY(gx_decrypt_face_image, handle, image);
}
int CEmpManager::SubscribeFaceEvent(const std::string&) {
    return 1;
}
int CEmpManager::UnsubscribeFaceEvent(const std::string&) {
    return 1;
}

// ---- Speech ------------------------------------------------------------------------------------

int CEmpManager::EnableTTSEngine(bool enable) {
    int current = 0;
    if (vconf_get_int(kTTSKey, &current) != 0) {
        EMP_LOGD("vconf get caption fails");
        return 0;
    }
    EMP_LOGD("the privous value of vconf key [%s]  is [%d]", kTTSKey, current);
    const int requested = enable ? 1 : 0;
    if (requested != current) vconf_set_int(kTTSKey, requested);
    EMP_LOGD("the current value of vconf key [%s]  is [%d]", kTTSKey, requested);
    return 1;
}

int CEmpManager::IsTTSEngineEnabled() {
    return 0;
}
int CEmpManager::StopTTSEngine() {
    return 0;
}
int CEmpManager::StartTTSEngine(std::string) {
    return 0;
}
int CEmpManager::IsTTSInPlaying() {
    return 0;
}

int CEmpManager::IsSupportTTS() {
    std::string model = CEMPUtil::GetSWVersion();
    std::vector<std::string> excluded{kTTSExcludedModel};
    if (CEMPUtil::MatchSpecifiedModels(model, excluded) == 0) return 0;
    int value = 0;
    if (vconf_get_int(kTTSKey, &value) != 0) {
        EMP_LOGD("vconf get tts fails");
        return 0;
    }
    EMP_LOGD("IsSupportTTS  get %d", value);
    return value;
}

}  // namespace kiv
