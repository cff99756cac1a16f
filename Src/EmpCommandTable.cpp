// Execute and the names a client sends: the commands of each group with their handlers, and the
// motion event names that a subscription list gives. The build reads both tables from this file
// (the shell completion, `gxempctl call` suggestions): keep their entries' shape.
#include <exception>
#include <map>

#include "EmpEngineCommand.h"
#include "EmpEngineLog.h"

namespace kiv {

namespace {

using Manager = CEmpManager;

const CommandEntry kMotionCommands[] = {
    {"GetGestureCameraStatus", Cmd::GetGestureCameraStatus, "----- GetGestureCameraStatus "},
    {"SubscirbeMotionSignal", Cmd::SubscirbeMotionSignal, "SubscirbeMotionSignal"},
    {"UnSubscirbeMotionSignal", Cmd::OnHandleAndNumber<&Manager::UnSubscirbeMotionSignal>,
     "UnSubscirbeMotionSignal"},
    {"StartMotionRecognition", Cmd::OnHandle<&Manager::StartMotionRecognition>,
     "StartMotionRecognition"},
    {"StopMotionRecognition", Cmd::OnHandle<&Manager::StopMotionRecognition>,
     "StopMotionRecognition"},
    {"EnableGestureRecognition", Cmd::OnHandle<&Manager::EnableGestureRecognition>,
     "EnableGestureRecognition"},
    {"DisableGestureRecognition", Cmd::OnHandle<&Manager::DisableGestureRecognition>,
     "DisableGestureRecognition"},
    {"SubscribeMotionEvent", Cmd::SubscribeMotionEvent, "SubscribeMotionEvent"},
    {"UnsubscribeMotionEvent", Cmd::UnsubscribeMotionEvent, "UnsubscribeMotionEvent"},
    {"GetMotionRecognitionStatus", Cmd::QueryValue<&Manager::GetMotionRecognitionStatus, 0>,
     "GetMotionRecognitionStatus"},
    {"GetMotionBrightnessLevel", Cmd::QueryValue<&Manager::GetMotionBrightnessLevel, 0>,
     "GetMotionBrightnessLevel"},
    {"IsMotionEngineValid", Cmd::OnHandle<&Manager::IsMotionEngineValid>,
     "----- IsMotionEngineValid "},
    {"IsMotionRecognitionEnabled", Cmd::OnHandle<&Manager::IsMotionRecognitionEnabled>,
     "IsMotionRecognitionEnabled"},
    {"IsTwoHandMotionValid", Cmd::OnHandle<&Manager::IsTwoHandMotionValid>, "IsTwoHandMotionValid"},
    {"IsThumbupMotionValid", Cmd::OnHandle<&Manager::IsThumbupMotionValid>, "IsThumbupMotionValid"},
    {"IsSlapMotionValid", Cmd::OnHandle<&Manager::IsSlapMotionValid>, "IsSlapMotionValid"},
    {"EnableMotionHint", Cmd::OnHandleAndNumber<&Manager::EnableMotionHint>, "EnableMotionHint"},
    {"SetZoomTriggerCondition", Cmd::OnHandleAndNumber<&Manager::SetZoomTriggerCondition>,
     "SetZoomTriggerCondition"},
    {"GetZoomTriggerCondition", Cmd::QueryValue<&Manager::GetZoomTriggerCondition, -1>,
     "GetZoomTriggerCondition"},
    {"SetMotionSubscribeInfo", Cmd::SetMotionSubscribeInfo, "SetMotionSubscribeInfo"},
    {"IsSupportMotionRecognition", Cmd::OnHandle<&Manager::IsSupportMotionRecognition>,
     "----- IsSupportMotionRecognition "},
    {"SetRotateTriggerCondition", Cmd::OnHandleAndNumber<&Manager::SetRotateTriggerCondition>,
     "SetRotateTriggerCondition"},
    {"GetRotateTriggerCondition", Cmd::QueryValue<&Manager::GetRotateTriggerCondition, -1>,
     "GetRotateTriggerCondition"},
    {"EnableMotionSwipeRecognition", Cmd::OnHandle<&Manager::EnableMotionSwipeRecognition>,
     "EnableMotionSwipeRecognition"},
    {"DisableMotionSwipeRecognition", Cmd::OnHandle<&Manager::DisableMotionSwipeRecognition>,
     "DisableMotionSwipeRecognition"},
};

const CommandEntry kFaceCommands[] = {
    {"SubscribeFaceEvent", Cmd::SubscribeFaceEvent, "----- SubscribeFaceEvent "},
    {"UnsubscribeFaceEvent", Cmd::UnsubscribeFaceEvent, "----- UnsubscribeFaceEvent "},
    {"InitializeFace", Cmd::InitializeFace, "----- InitializeFace "},
    {"InitFaceRecognition", Cmd::InitializeFace, "----- InitFaceRecognition "},
    {"EnableFaceRecognition", Cmd::EnableFaceRecognition, "----- EnableFaceRecognition "},
    {"DisableFaceRecognition", Cmd::DisableFaceRecognition, "----- DisableFaceRecognition "},
    {"StartFaceDetection", Cmd::OnHandle<&Manager::StartFaceDetection>,
     "----- StartFaceDetection "},
    {"StopFaceDetection", Cmd::OnHandle<&Manager::StopFaceDetection>, "----- StopFaceDetection "},
    {"StartFaceTraining", Cmd::StartFaceTraining, "----- StartFaceTraining "},
    {"StopFaceTraining", Cmd::OnHandle<&Manager::StopFaceTraining>, "----- StopFaceTraining "},
    {"StartFaceRecognition", Cmd::StartFaceRecognition, "----- StartFaceRecognition "},
    {"StopFaceRecognition", Cmd::OnHandle<&Manager::StopFaceRecognition>,
     "----- StopFaceRecognition "},
    // Recognises against all stored faces, exactly like StartFaceRecognition.
    {"StartFaceRecognitionAll", Cmd::StartFaceRecognition, "----- StartFaceRecognition "},
    {"OverWriteFace", Cmd::OverWriteFace, "----- OverWriteFace "},
    {"OverWriteThumbnail", Cmd::OverWriteThumbnail, "----- OverWriteThumbnail "},
    {"TrainThumbnail", Cmd::TrainThumbnail, "----- TrainThumbnail "},
    {"FaceVersion", Cmd::FaceVersion, "----- FaceVersion "},
    {"EraseFace", Cmd::OnHandleAndNumber<&Manager::EraseFace>, "----- EraseFace "},
    {"ClearFaceRecogData", Cmd::OnHandle<&Manager::ClearFaceRecogData>,
     "----- ClearFaceRecogData "},
    {"GetFaceRecognitionResult", Cmd::GetFaceRecognitionResult, "----- GetFaceRecognitionResult "},
    {"GetFaceDetectionResult", Cmd::GetFaceDetectionResult, "----- GetFaceDetectionResult "},
    {"GetFaceTrainingResult", Cmd::GetFaceTrainingResult, "----- GetFaceTrainingResult "},
    {"EraseFaceImageID", Cmd::OnHandleAndNumber<&Manager::EraseFaceImageID>,
     "----- EraseFaceImageID "},
    {"EncryptFaceImage", Cmd::EncryptFaceImage, "----- EncryptFaceImage "},
    {"DecryptFaceImage", Cmd::DecryptFaceImage, "----- DecryptFaceImage "},
    {"DestroyFace", Cmd::OnHandle<&Manager::DestroyFaceHandle>, "----- DestroyFace "},
};

const CommandEntry kSpeechCommands[] = {
    {"EnableTTSEngine", Cmd::EnableTTSEngine, "----- EnableTTSEngine "},
    {"DisableTTSEngine", Cmd::DisableTTSEngine, "----- DisableTTSEngine "},
    {"IsTTSEngineEnabled", Cmd::Unbound<&Manager::IsTTSEngineEnabled>, "----- IsTTSEngineEnabled "},
    {"StopTTSEngine", Cmd::Unbound<&Manager::StopTTSEngine>, "----- StopTTSEngine "},
    {"StartTTSEngine", Cmd::StartTTSEngine, "----- StartTTSEngine "},
    {"IsSupportTTS", Cmd::Unbound<&Manager::IsSupportTTS>, "----- IsSupportTTS "},
    {"GetUserLevel", Cmd::GetUserLevel, "----- GetUserLevel "},
    {"IsTTSInPlaying", Cmd::Unbound<&Manager::IsTTSInPlaying>, "----- IsTTSInPlaying "},
};

// Finds a command by its exact, case-sensitive name and logs its command line.
template <size_t N>
const CommandEntry* MatchCommand(const CommandEntry (&group)[N], const std::string& strCmd) {
    for (const CommandEntry& entry : group) {
        if (strCmd == entry.name) {
            EXEC_LOGE("[%s] %s", "Execute", entry.trace);
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

bool CEmpEngineGX::Execute(std::string& result, const std::string& strCmd, const std::string& arg1,
                           const std::string& arg2, const std::string&, const std::string&) {
    EMP_LOGE("strCmd = %s", strCmd.c_str());
    if (strCmd == "RecogEMPUsingStatus") {
        EMP_LOGD("didn't come RecogEMPUsingStatus ....... \n");
        SetReturnValueInteger(result, 0);
        return 0;
    }
    if (m_pManger == nullptr) {
        EMP_LOGE("m_pManger is NULL");
        return 0;
    }
    try {
        // The groups in order, motion and face only where the TV supports them, each command on
        // its group's handle.
        const CommandEntry* entry =
            m_MotionSupported ? MatchCommand(kMotionCommands, strCmd) : nullptr;
        int handle = m_MotionHandle;
        if (entry == nullptr && m_FaceSupported) {
            entry = MatchCommand(kFaceCommands, strCmd);
            handle = m_FaceHandle;
        }
        if (entry == nullptr) {
            entry = MatchCommand(kSpeechCommands, strCmd);
            handle = 0;
        }
        if (entry == nullptr) return 0;
        CommandCall call{*this, *m_pManger, handle, arg1, arg2, result};
        entry->run(call);
    } catch (const std::exception& e) {
        // Only a failed allocation gets here; the command was recognised and has run as far as
        // it could.
        EMP_LOGE("command %s failed: %s", strCmd.c_str(), e.what());
    }
    return 1;
}

gx_motion_signal CEmpEngineGX::ConvertToMotionEvent(const std::string& name) {
    static const std::map<std::string, gx_motion_signal> kSignals = {
        {"EVENT_MOTION_START_ENGINE", static_cast<gx_motion_signal>(1000)},
        {"EVENT_MOTION_BEGIN_MONITOR", static_cast<gx_motion_signal>(1028)},
        {"EVENT_MOTION_END_MONITOR", static_cast<gx_motion_signal>(1029)},
        {"EVENT_MOTION_SLAP_LEFT", static_cast<gx_motion_signal>(1000)},
        {"EVENT_MOTION_SLAP_RIGHT", static_cast<gx_motion_signal>(1001)},
        {"EVENT_MOTION_SLAP_DOWN", static_cast<gx_motion_signal>(1003)},
        {"EVENT_MOTION_SLAP_UP", static_cast<gx_motion_signal>(1002)},
        {"EVENT_MOTION_CIRCLE", static_cast<gx_motion_signal>(1004)},
        {"EVENT_MOTION_GRAB", static_cast<gx_motion_signal>(1005)},
        {"EVENT_MOTION_UNGRAB", static_cast<gx_motion_signal>(1007)},
        {"EVENT_MOTION_PRIMARY_HAND_LOST", static_cast<gx_motion_signal>(1015)},
        {"EVENT_MOTION_RAW_DATA", static_cast<gx_motion_signal>(1024)},
        {"EVENT_MOTION_DEFAULT_MAX", static_cast<gx_motion_signal>(1035)},
    };
    auto it = kSignals.find(name);
    return it != kSignals.end() ? it->second : GX_MOTION_SIGNAL_DEFAULT_MAX;
}

}  // namespace kiv
