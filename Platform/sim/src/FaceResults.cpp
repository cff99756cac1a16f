// The face library's three get-result functions. Results handed to the caller are malloc'ed
// exactly as the caller frees them; forced, they still fill their out-values with freshly
// allocated results (see gxsim::ForceResult).
#include <cstdlib>
#include <cstring>

#include "SimState.h"

using namespace gxsim;
using namespace gxsim::internal;

namespace {

using Lock = std::unique_lock<std::mutex>;

// The three get-result functions: a forced result still hands over freshly allocated results.
template <class Work>
int TracedGetResult(const char* fn, std::vector<std::string> args, Work&& work) {
    Lock lk = LockTv();
    std::string detail;
    const int* forced = Forced(fn);
    int r = work(forced, detail);
    AddTrace(fn, std::move(args), r, std::move(detail));
    return r;
}

}  // namespace

extern "C" {

int gx_get_face_recognition_result(int handle, gx_face_recog_result** results, int* count) {
    return TracedGetResult("gx_get_face_recognition_result",
                           {Num(handle), FormatPointer(results), FormatPointer(count)},
                           [&](const int* forced, std::string& detail) {
                               if (!results || !count) return forced ? *forced : 0;
                               FaceInstance* f = FindFace(handle);
                               std::vector<FaceResult> list;
                               if (f && f->lastRecognition) list = *f->lastRecognition;
                               if (!forced && (!f || !f->lastRecognition)) return 0;
                               if (forced && list.empty()) list.push_back(FaceResult{});
                               detail = "count=" + Num(static_cast<long long>(list.size()));
                               if (list.empty()) {
                                   *results = nullptr;
                                   *count = 0;
                                   return 1;
                               }
                               auto* arr = static_cast<gx_face_recog_result*>(
                                   calloc(list.size(), sizeof(gx_face_recog_result)));
                               if (!arr) return 0;
                               for (size_t i = 0; i < list.size(); ++i) {
                                   arr[i].id = list[i].id;
                                   arr[i].imageFilePath = strdup(list[i].path.c_str());
                                   arr[i].x = list[i].x;
                                   arr[i].y = list[i].y;
                                   arr[i].w = list[i].w;
                                   arr[i].h = list[i].h;
                               }
                               *results = arr;
                               *count = static_cast<int>(list.size());
                               return forced ? *forced : 1;
                           });
}

int gx_get_face_detection_result(int handle, gx_face_detect_data** faces, int* count) {
    return TracedGetResult(
        "gx_get_face_detection_result", {Num(handle), FormatPointer(faces), FormatPointer(count)},
        [&](const int* forced, std::string& detail) {
            if (!faces || !count) return forced ? *forced : 0;
            if (!forced && !FindFace(handle)) return 0;
            std::vector<gx_face_detect_data> list;
            const auto& view = SimState().cfg.faces;
            for (size_t i = 0; i < view.size(); ++i)
                list.push_back(gx_face_detect_data{static_cast<int>(i) + 1, view[i].x, view[i].y,
                                                   view[i].w, view[i].h});
            if (forced && list.empty()) list.push_back(gx_face_detect_data{0, 0, 0, 0, 0});
            detail = "count=" + Num(static_cast<long long>(list.size()));
            if (list.empty()) {
                *faces = nullptr;
                *count = 0;
                return 1;
            }
            auto* arr = static_cast<gx_face_detect_data*>(
                malloc(list.size() * sizeof(gx_face_detect_data)));
            if (!arr) return 0;
            memcpy(arr, list.data(), list.size() * sizeof(gx_face_detect_data));
            *faces = arr;
            *count = static_cast<int>(list.size());
            return forced ? *forced : 1;
        });
}

int gx_get_face_training_result(int handle, gx_face_recog_result* result) {
    return TracedGetResult("gx_get_face_training_result", {Num(handle), FormatPointer(result)},
                           [&](const int* forced, std::string& detail) {
                               if (!result) return forced ? *forced : 0;
                               FaceInstance* f = FindFace(handle);
                               std::optional<FaceResult> r;
                               if (f) r = f->lastTraining;
                               if (!forced && !r) return 0;
                               if (!r) r = FaceResult{};
                               result->id = r->id;
                               result->imageFilePath = strdup(r->path.c_str());
                               result->x = r->x;
                               result->y = r->y;
                               result->w = r->w;
                               result->h = r->h;
                               detail = "id=" + Num(r->id);
                               return forced ? *forced : 1;
                           });
}

}  // extern "C"
