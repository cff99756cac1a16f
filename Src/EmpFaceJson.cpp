#include "EmpFaceJson.h"

#include <json/json.h>

namespace kiv {

namespace {

std::string PathText(const char* path) {
    return path != nullptr ? std::string(path) : std::string();
}

// A face's place in the picture, its id under the given name.
Json::Value FaceBox(const char* idName, int id, int x, int y, int w, int h) {
    Json::Value item;
    item[idName] = id;
    item["x"] = x;
    item["y"] = y;
    item["w"] = w;
    item["h"] = h;
    return item;
}

std::string ListText(const char* name, const Json::Value& list) {
    Json::Value root;
    root[name] = list;
    return root.toStyledString();
}

}  // namespace

std::string RecognitionResultsText(const gx_face_recog_result* records, int count) {
    Json::Value list;
    for (int i = 0; i < count; ++i) {
        const gx_face_recog_result& record = records[i];
        Json::Value item =
            FaceBox("nFaceRecogID", record.id, record.x, record.y, record.w, record.h);
        item["imageFilePath"] = PathText(record.imageFilePath);
        list.append(item);
    }
    return ListText("recognitionResult", list);
}

std::string DetectionResultsText(const gx_face_detect_data* faces, int count) {
    Json::Value list;
    for (int i = 0; faces != nullptr && i < count; ++i) {
        const gx_face_detect_data& face = faces[i];
        list.append(FaceBox("nFaceRecogID", face.nDetectID, face.x, face.y, face.w, face.h));
    }
    return ListText("recognitionResult", list);
}

std::string TrainingResultText(const gx_face_recog_result& record) {
    Json::Value root = FaceBox("detectResult", record.id, record.x, record.y, record.w, record.h);
    root["imageFilePath"] = PathText(record.imageFilePath);
    return root.toStyledString();
}

std::string TrainingEventText(const gx_face_recog_result& record) {
    Json::Value root;
    root["detectResult"] = record.id;
    root["imageFilePath"] = PathText(record.imageFilePath);
    return root.toStyledString();
}

std::string DetectionEventText(const gx_face_detect_data& face) {
    Json::Value list;
    list.append(FaceBox("nDetectID", face.nDetectID, face.x, face.y, face.w, face.h));
    return ListText("detectResult", list);
}

}  // namespace kiv
