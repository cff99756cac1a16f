// The engine's service object: one operation per recognition-library call, the camera query and
// the voice-guide switch. It keeps no state of its own.
#pragma once

#include <string>

#include "face_recognition.h"
#include "gesture_bridge.h"
#include "gx_types.h"

namespace kiv {

class CEmpManager {
public:
    CEmpManager();
    ~CEmpManager();

    CEmpManager(const CEmpManager&) = delete;
    CEmpManager& operator=(const CEmpManager&) = delete;

    // Motion operations: each calls the motion library's entry point, or returns 0 when the
    // library does not provide it.
    int CreateMotionHandle(int* handle);
    int DestroyMotionHandle(int handle);
    int SubscirbeMotionSignal(int handle, int signal, GXSignalCallback cb, void* userData);
    int UnSubscirbeMotionSignal(int handle, int signal);
    int StartMotionRecognition(int handle);
    int StopMotionRecognition(int handle);
    int EnableGestureRecognition(int handle);
    int DisableGestureRecognition(int handle);
    int IsMotionRecognitionEnabled(int handle);
    int GetMotionRecognitionStatus(int handle, gx_recog_status* status);
    int GetMotionBrightnessLevel(int handle, int* level);
    int IsTwoHandMotionValid(int handle);
    int IsThumbupMotionValid(int handle);
    int IsSlapMotionValid(int handle);
    int EnableMotionHint(int handle, int value);
    int SetZoomTriggerCondition(int handle, int value);
    int GetZoomTriggerCondition(int handle, int* value);
    int SetRotateTriggerCondition(int handle, int value);
    int GetRotateTriggerCondition(int handle, int* value);
    int IsMotionEngineValid(int handle);
    int EnableMotionSwipeRecognition(int handle);
    int DisableMotionSwipeRecognition(int handle);
    int SubscribeMotionEvent(int handle);
    int UnsubscribeMotionEvent(int handle);
    int IsSupportMotionRecognition(int handle);
    int GetGestureCameraStatus(gx_camera_status* status);

    // Face operations: each passes its arguments to the face library unchanged.
    int CreateFaceHandle(int* handle);
    int DestroyFaceHandle(int handle);
    int EnableFaceRecognition(int handle, int enable);
    int StartFaceDetection(int handle);
    int StopFaceDetection(int handle);
    int StartFaceTraining(int handle, gx_face_detect_data* face);
    int StopFaceTraining(int handle);
    int StartFaceRecognition(int handle, gx_face_detect_data* face);
    int StopFaceRecognition(int handle);
    int OverWriteFace(int handle, const gx_face_detect_data* face, int id);
    int OverWriteThumbnail(int handle, const char* image, int id);
    int TrainThumbnail(int handle, const char* image);
    int GetFaceVersion(int handle, float* version);
    int EraseFace(int handle, int id);
    int ClearFaceRecogData(int handle);
    int GetFaceRecognitionResult(int handle, gx_face_recog_result** results, int* count);
    int GetFaceDetectionResult(int handle, gx_face_detect_data** faces, int* count);
    int GetFaceTrainingResult(int handle, gx_face_recog_result* result);
    int EraseFaceImageID(int handle, int id);
    int EncryptFaceImage(int handle, char* image);
    int DecryptFaceImage(int handle, char* image);
    int SubscribeFaceEvent(const std::string& name);
    int UnsubscribeFaceEvent(const std::string& name);

    // Speech operations over the voice-guide setting.
    int EnableTTSEngine(bool enable);
    int IsTTSEngineEnabled();
    int StopTTSEngine();
    int StartTTSEngine(std::string text);
    int IsSupportTTS();
    int IsTTSInPlaying();
};

}  // namespace kiv
