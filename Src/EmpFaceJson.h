// The face library's records as the JSON texts that face commands return and face events carry:
// jsoncpp's styled text (tab indentation, members sorted by name, a closing newline). An absent
// image path is an empty text.
#pragma once

#include <string>

#include "face_recognition.h"

namespace kiv {

// {"recognitionResult": [{"nFaceRecogID", "x", "y", "w", "h", "imageFilePath"}, ...]}, the list
// null when there are no records.
std::string RecognitionResultsText(const gx_face_recog_result* records, int count);

// {"recognitionResult": [{"nFaceRecogID", "x", "y", "w", "h"}, ...]}, the list null when there
// are no faces.
std::string DetectionResultsText(const gx_face_detect_data* faces, int count);

// {"detectResult": id, "x", "y", "w", "h", "imageFilePath"}: a training result queried.
std::string TrainingResultText(const gx_face_recog_result& record);

// {"detectResult": id, "imageFilePath"}: a training result as its event reports it.
std::string TrainingEventText(const gx_face_recog_result& record);

// {"detectResult": [{"nDetectID", "x", "y", "w", "h"}]}: a detected face as its event reports it.
std::string DetectionEventText(const gx_face_detect_data& face);

}  // namespace kiv
