// The recognition libraries' callbacks, on their own threads: each signal goes to the engines
// whose motion or face handle it names and becomes a named event with its payload.
#include <exception>
#include <map>

#include "EmpEngineGX.h"
#include "EmpEngineLog.h"
#include "EmpEngineRegistry.h"
#include "EmpFaceJson.h"

namespace kiv {

namespace {

const char kMotionDefaultName[] = "EVENT_MOTION_DEFAULT_MAX";
const char kFaceDefaultName[] = "EVENT_FACE_DEFAULT_MAX";
const int kMotionEventCode = 6511;
const int kFaceEventCode = 6512;

}  // namespace

void CEmpEngineGX::ProcessSignal(int handle, int signal, void* data, void* userData) {
    EMP_TRACE();
    if (handle == -1) {
        EMP_LOGE("received Handle [%d] is error!\n", handle);
        return;
    }
    SharedRegistry registry;
    const std::vector<void*>& engines = RegisteredEngines();
    for (size_t i = 0; i < engines.size(); ++i) {
        auto* pThis = static_cast<CEmpEngineGX*>(engines[i]);
        if (pThis == nullptr) {
            EMP_TRACE();
            continue;
        }
        EMP_LOGD("pThis[%p]", static_cast<void*>(pThis));
        // A library thread must never see an exception; a failed allocation drops the event.
        try {
            if (pThis->m_MotionHandle == handle) {
                EMP_LOGD("received singnal [%d] MotionHandle [%d]\n", signal, handle);
                pThis->ProcessMotionSignal(signal, data, userData);
            } else if (pThis->m_FaceHandle == handle) {
                EMP_LOGD("received singnal [%d] FaceHandle [%d]\n", signal, handle);
                pThis->ProcessFaceSignal(signal, data, userData);
            } else {
                EMP_LOGD("m_MotionHandle = %d,   m_FaceHandle=%d", pThis->m_MotionHandle,
                         pThis->m_FaceHandle);
            }
        } catch (const std::exception& e) {
            EMP_LOGE("signal %d dropped: %s", signal, e.what());
        }
    }
}

void CEmpEngineGX::ProcessMotionSignal(int signal, void* data, void*) {
    static const std::map<int, const char*> kEventNames = {
        {1000, "EVENT_MOTION_SLAP_LEFT"},   {1001, "EVENT_MOTION_SLAP_RIGHT"},
        {1002, "EVENT_MOTION_SLAP_UP"},     {1003, "EVENT_MOTION_SLAP_DOWN"},
        {1004, "EVENT_MOTION_CIRCLE"},      {1005, "EVENT_MOTION_GRAB"},
        {1007, "EVENT_MOTION_UNGRAB"},      {1015, "EVENT_MOTION_PRIMARY_HAND_LOST"},
        {1024, "EVENT_MOTION_RAW_DATA"},    {1028, "EVENT_MOTION_BEGIN_MONITOR"},
        {1029, "EVENT_MOTION_END_MONITOR"},
    };
    EMP_LOGE("in ProcessMotionSignal");
    // Valid signals are 1000 to 1034; the unsigned difference rejects everything else at once.
    if (static_cast<unsigned>(signal) - 1000u > 34u) {
        EMP_LOGD("Invalid signal %d \n", signal);
        return;
    }
    std::string name = kMotionDefaultName;
    std::string payload;
    if (data != nullptr) {
        payload = static_cast<const char*>(data);
    } else {
        EMP_LOGE("pTemp == NULL");
    }
    auto it = kEventNames.find(signal);
    if (it != kEventNames.end()) name = it->second;
    EMP_LOGE("strSingal is %s", name.c_str());
    if (name == kMotionDefaultName) return;
    SendEvent(kMotionEventCode, name + "-" + MotionWidgetName(), payload);
}

void CEmpEngineGX::ProcessFaceSignal(int signal, void* data, void*) {
    static const char* const kEventNames[] = {
        "EVENT_FR_DETECT_FACE",        "EVENT_FR_ON_RECOGNIZING", "EVENT_FR_TRAIN_RESULT",
        "EVENT_FR_RECOGNITION_RESULT", "EVENT_FR_DETECTION_FAIL", "EVENT_FR_RECOGNITION_FAIL",
    };
    EMP_LOGD("Enter");
    if (static_cast<unsigned>(signal) > 5u) {
        EMP_LOGD("Invalid signal %d \n", signal);
        return;
    }
    std::string name = kFaceDefaultName;
    name = kEventNames[signal];
    EMP_LOGD("Receive face event [%s]", name.c_str());
    if (name == kFaceDefaultName) return;
    std::string payload;
    GetFaceResult(payload, signal, data);
    SendEvent(kFaceEventCode, name, payload);
    EMP_LOGD("Send faceResult [%s]", payload.c_str());
}

int CEmpEngineGX::GetFaceResult(std::string& result, int signal, void* data) {
    EMP_TRACE_EMPTY(EMP_PRIO_INFO, EMP_COLOR_GREEN);
    switch (signal) {
        case GX_FACE_SIGNAL_TRAIN_RESULT:
            if (data == nullptr) return 0;
            result = TrainingEventText(*static_cast<const gx_face_recog_result*>(data));
            break;
        case GX_FACE_SIGNAL_RECOGNITION_RESULT:
            if (data == nullptr) return 0;
            result = RecognitionResultsText(static_cast<const gx_face_recog_result*>(data), 1);
            break;
        case GX_FACE_SIGNAL_DETECT_FACE:
            if (data == nullptr) return 0;
            result = DetectionEventText(*static_cast<const gx_face_detect_data*>(data));
            break;
        default:
            break;
    }
    return 1;
}

}  // namespace kiv
