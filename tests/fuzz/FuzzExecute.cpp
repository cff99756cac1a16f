// Fuzzes CEmpEngineGX::Execute with any command name and arguments.
//
// Input: fields separated by NUL bytes, taken five at a time as a command and its four
// arguments (at most eight commands per input). A command field of one byte picks a known
// command name (the JSON-taking ones weigh more); a longer field is used as the name itself.
// Each input runs on a fresh engine over a simulator in its default state.
//
// Checked beyond the sanitizers: Execute lets no exception out, and a command it does not carry
// out leaves the result untouched.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineBase.h"
#include "FuzzSupport.h"

namespace {

const char* const kCommands[] = {
    "SetMotionSubscribeInfo",
    "SetMotionSubscribeInfo",
    "SetMotionSubscribeInfo",
    "OverWriteFace",
    "OverWriteFace",
    "OverWriteFace",
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
    "IsSupportMotionRecognition",
    "SetRotateTriggerCondition",
    "GetRotateTriggerCondition",
    "EnableMotionSwipeRecognition",
    "DisableMotionSwipeRecognition",
    "SubscribeFaceEvent",
    "UnsubscribeFaceEvent",
    "InitializeFace",
    "InitFaceRecognition",
    "EnableFaceRecognition",
    "DisableFaceRecognition",
    "StartFaceDetection",
    "StopFaceDetection",
    "StartFaceTraining",
    "StopFaceTraining",
    "StartFaceRecognition",
    "StopFaceRecognition",
    "StartFaceRecognitionAll",
    "OverWriteThumbnail",
    "TrainThumbnail",
    "FaceVersion",
    "EraseFace",
    "ClearFaceRecogData",
    "GetFaceRecognitionResult",
    "GetFaceDetectionResult",
    "GetFaceTrainingResult",
    "EraseFaceImageID",
    "EncryptFaceImage",
    "DecryptFaceImage",
    "DestroyFace",
    "EnableTTSEngine",
    "DisableTTSEngine",
    "IsTTSEngineEnabled",
    "StopTTSEngine",
    "StartTTSEngine",
    "IsSupportTTS",
    "GetUserLevel",
    "IsTTSInPlaying",
    "RecogEMPUsingStatus",
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];
constexpr size_t kMaxCommands = 8;

std::vector<std::string> SplitFields(const uint8_t* data, size_t size) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            fields.emplace_back();
        } else {
            fields.back().push_back(static_cast<char>(data[i]));
        }
    }
    return fields;
}

kiv::CEmpAppGX* App() {
    static kiv::CEmpAppGX* app = new kiv::CEmpAppGX;
    return app;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    // Held open for the whole run, so that an engine's teardown does not unload the motion
    // library and the next engine's start-up map it again.
    static void* pinned = dlopen(GXEMP_TEST_MOTION_LIB, RTLD_NOW);
    if (pinned == nullptr) std::fprintf(stderr, "cannot open %s\n", GXEMP_TEST_MOTION_LIB);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietSimulator();
    std::vector<std::string> fields = SplitFields(data, size);
    fields.resize((fields.size() + 4) / 5 * 5);

    kiv::CEmpEngineBase* engine = App()->CreateEmpEngine();
    for (size_t c = 0; c < fields.size() / 5 && c < kMaxCommands; ++c) {
        const std::string* f = &fields[c * 5];
        std::string name = f[0].size() == 1
                               ? kCommands[static_cast<unsigned char>(f[0][0]) % kCommandCount]
                               : f[0];
        const std::string untouched = "untouched";
        std::string result = untouched;
        bool served = engine->Execute(result, name, f[1], f[2], f[3], f[4]);
        if (!served && name != "RecogEMPUsingStatus") {
            FUZZ_CHECK(result == untouched, "command '%s' not served but result changed",
                       name.c_str());
        }
    }
    engine->Destroy();
    return 0;
}
