// The face commands that are more than one manager operation on the face handle.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "EmpEngineCommand.h"
#include "EmpEngineRegistry.h"
#include "EmpFaceJson.h"

namespace kiv {

namespace {

// Reads an integer member of a client's JSON object: a missing member is 0, a member that is not
// a number within 32 bits makes the text invalid.
bool ReadIntMember(const Json::Value& object, const char* key, int& value) {
    const Json::Value& member = object[key];
    if (member.isNull()) {
        value = 0;
        return true;
    }
    if (!member.isConvertibleTo(Json::intValue)) return false;
    value = member.asInt();
    return true;
}

// A face record {"nDetectID", "x", "y", "w", "h"} of a client's JSON text.
bool ReadFaceRecord(const std::string& text, gx_face_detect_data& face) {
    Json::Value root;
    return ParseJsonText(text, root) && root.isObject() &&
           ReadIntMember(root, "nDetectID", face.nDetectID) && ReadIntMember(root, "x", face.x) &&
           ReadIntMember(root, "y", face.y) && ReadIntMember(root, "w", face.w) &&
           ReadIntMember(root, "h", face.h);
}

// What the face library hands over for a query is released on every path out of the command
// (exceptions included).
struct RecognitionResults {
    gx_face_recog_result* records = nullptr;
    int count = 0;
    ~RecognitionResults() {
        if (records == nullptr) return;
        for (int i = 0; i < count; ++i) {
            free(records[i].imageFilePath);
            records[i].imageFilePath = nullptr;
        }
        free(records);
    }
};

struct DetectionResults {
    gx_face_detect_data* faces = nullptr;
    int count = 0;
    ~DetectionResults() { free(faces); }
};

struct TrainingResult {
    gx_face_recog_result record{};
    ~TrainingResult() { free(record.imageFilePath); }
};

// The library may write into an image text it is given: it gets a private copy.
std::vector<char> WritableCopy(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

// Face signals run from detection (0) to a failed recognition, the last.
const int kLastFaceSignal = GX_FACE_SIGNAL_RECOGNITION_FAIL;

}  // namespace

namespace Cmd {

void SubscribeFaceEvent(CommandCall& call) {
    bool all = true;
    for (int signal = 0; signal <= kLastFaceSignal; ++signal) {
        if (gx_set_face_signal_subscribed(call.handle, signal, CEmpEngineGX::ProcessSignal,
                                          nullptr) == 0) {
            all = false;
            break;
        }
    }
    if (all) call.ReturnInteger(0);
    call.ReturnInteger(call.manager.SubscribeFaceEvent(call.arg1));
}

void UnsubscribeFaceEvent(CommandCall& call) {
    for (int signal = 0; signal <= kLastFaceSignal; ++signal) {
        gx_face_signal_unsubscribed(call.handle, signal);
    }
    call.ReturnInteger(call.manager.UnsubscribeFaceEvent(call.arg1));
}

void InitializeFace(CommandCall& call) {
    int created = call.handle;
    int rc = call.manager.CreateFaceHandle(&created);
    PublishHandle(call.FaceHandle(), created);
    call.ReturnInteger(rc);
}

void EnableFaceRecognition(CommandCall& call) {
    call.ReturnInteger(call.manager.EnableFaceRecognition(call.handle, 1));
}

void DisableFaceRecognition(CommandCall& call) {
    // Disabling always destroys the handle; the field keeps the old value.
    call.ReturnInteger(call.manager.EnableFaceRecognition(call.handle, 0));
    call.ReturnInteger(call.manager.DestroyFaceHandle(call.handle));
}

void StartFaceTraining(CommandCall& call) {
    gx_face_detect_data face{DecimalArgument(call.arg1), 0, 0, 0, 0};
    call.ReturnInteger(call.manager.StartFaceTraining(call.handle, &face));
}

void StartFaceRecognition(CommandCall& call) {
    gx_face_detect_data face{DecimalArgument(call.arg1), 0, 0, 0, 0};
    call.ReturnInteger(call.manager.StartFaceRecognition(call.handle, &face));
}

void OverWriteFace(CommandCall& call) {
    gx_face_detect_data face{0, 0, 0, 0, 0};
    if (!ReadFaceRecord(call.arg1, face)) return;  // not a face record: nothing is stored
    call.ReturnInteger(call.manager.OverWriteFace(call.handle, &face, DecimalArgument(call.arg2)));
}

void OverWriteThumbnail(CommandCall& call) {
    call.ReturnInteger(call.manager.OverWriteThumbnail(call.handle, call.arg1.c_str(),
                                                       DecimalArgument(call.arg2)));
}

void TrainThumbnail(CommandCall& call) {
    call.ReturnInteger(call.manager.TrainThumbnail(call.handle, call.arg1.c_str()));
}

void FaceVersion(CommandCall& call) {
    float version = 0.0f;  // a version the library leaves unwritten reads 0.00
    call.manager.GetFaceVersion(call.handle, &version);
    char text[8];
    if (std::snprintf(text, sizeof text, "%3.2f", static_cast<double>(version)) < 0) {
        text[0] = '\0';
    }
    call.ReturnText(text);
}

void GetFaceRecognitionResult(CommandCall& call) {
    RecognitionResults found;
    int rc = call.manager.GetFaceRecognitionResult(call.handle, &found.records, &found.count);
    if (rc != 0 && found.records != nullptr) {
        std::string text = RecognitionResultsText(found.records, found.count);
        call.ReturnText(text);
    } else {
        call.ReturnInteger(rc != 0 ? 1 : 0);
    }
}

void GetFaceDetectionResult(CommandCall& call) {
    DetectionResults found;
    if (call.manager.GetFaceDetectionResult(call.handle, &found.faces, &found.count) != 0) {
        std::string text = DetectionResultsText(found.faces, found.count);
        call.ReturnText(text);
    } else {
        call.ReturnInteger(0);
    }
}

void GetFaceTrainingResult(CommandCall& call) {
    TrainingResult trained;
    if (call.manager.GetFaceTrainingResult(call.handle, &trained.record) != 0) {
        std::string text = TrainingResultText(trained.record);
        call.ReturnText(text);
    } else {
        call.ReturnInteger(0);
    }
}

void EncryptFaceImage(CommandCall& call) {
    std::vector<char> image = WritableCopy(call.arg1);
    call.ReturnInteger(call.manager.EncryptFaceImage(call.handle, image.data()));
}

void DecryptFaceImage(CommandCall& call) {
    std::vector<char> image = WritableCopy(call.arg1);
    call.ReturnInteger(call.manager.DecryptFaceImage(call.handle, image.data()));
}

}  // namespace Cmd

}  // namespace kiv
