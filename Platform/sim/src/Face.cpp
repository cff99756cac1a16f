// The simulated face-recognition library.
//
// The camera sees the faces set with SetFacesInView; a face's detection id is its position in that
// list plus one. Training stores the face under a new face id and writes its image (a small PGM
// naming the person in a comment) into the face image directory; recognition matches the faces in
// view against the stored ones by person. Results handed to the caller are malloc'ed exactly as the
// caller frees them. Every call returns 1 for success and 0 for failure, is traced, and may have
// its result forced. The get-result functions are in FaceResults.cpp, the image files in
// FaceImages.cpp.
#include <errno.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "FaceImages.h"
#include "SimState.h"

using namespace gxsim;
using namespace gxsim::internal;

namespace {

using Lock = std::unique_lock<std::mutex>;

std::string RecordText(const gx_face_detect_data* f) {
    return "face={" + Num(f->nDetectID) + "," + Num(f->x) + "," + Num(f->y) + "," + Num(f->w) +
           "," + Num(f->h) + "}";
}

void Emit(uint64_t instance, const FaceInstance& inst, int signal,
          std::optional<FaceRecord> record) {
    if (!inst.subs.count(signal)) return;
    EnqueueForInstance(Lib::Face, instance, inst.handle, signal, std::nullopt, std::move(record));
}

FaceRecord ToRecord(const FaceResult& r) {
    FaceRecord rec;
    rec.id = r.id;
    rec.imagePath = r.path;
    rec.x = r.x;
    rec.y = r.y;
    rec.w = r.w;
    rec.h = r.h;
    return rec;
}

template <class Fn>
int OnInstance(const char* name, int handle, std::vector<std::string> args, Fn&& fn) {
    return Traced(name, std::move(args), [&](Lock&, std::string& detail) {
        uint64_t id = 0;
        FaceInstance* f = FindFace(handle, &id);
        return f ? fn(id, *f, detail) : 0;
    });
}

}  // namespace

extern "C" {

int gx_face_recog_create(int* handle) {
    return Traced("gx_face_recog_create", {FormatPointer(handle)}, [&](Lock&, std::string& detail) {
        if (!handle) return 0;
        State& s = SimState();
        FaceInstance f;
        GVariant* taken = nullptr;
        if (!Edit("takeFaceHandle", nullptr, &taken, nullptr)) return 0;
        f.handle = g_variant_get_int32(taken);
        g_variant_unref(taken);
        s.face.emplace(s.nextInstance++, f);
        *handle = f.handle;
        detail = "handle=" + Num(f.handle);
        return 1;
    });
}

int gx_face_recog_destroy(int handle) {
    return Traced("gx_face_recog_destroy", {Num(handle)}, [&](Lock& lk, std::string&) {
        uint64_t id = 0;
        if (!FindFace(handle, &id)) return 0;
        SimState().face.erase(id);
        DropQueued(Lib::Face, id);
        WaitIdle(lk, Lib::Face, id);
        return 1;
    });
}

int gx_set_face_signal_subscribed(int handle, int signal, GXSignalCallback cb, void* userData) {
    return OnInstance("gx_set_face_signal_subscribed", handle,
                      {Num(handle), Num(signal), FormatPointer(reinterpret_cast<void*>(cb)),
                       FormatPointer(userData)},
                      [&](uint64_t, FaceInstance& f, std::string&) {
                          if (!cb || signal < 0 || signal > 5) return 0;
                          f.subs[signal] = Subscription{cb, userData};
                          SimState().lastFaceCb = Subscription{cb, userData};
                          return 1;
                      });
}

int gx_face_signal_unsubscribed(int handle, int signal) {
    return OnInstance(
        "gx_face_signal_unsubscribed", handle, {Num(handle), Num(signal)},
        [&](uint64_t, FaceInstance& f, std::string&) { return f.subs.erase(signal) ? 1 : 0; });
}

int gx_enable_face_recognition(int handle, int enable) {
    return OnInstance("gx_enable_face_recognition", handle, {Num(handle), Num(enable)},
                      [&](uint64_t, FaceInstance& f, std::string&) {
                          f.enabled = enable != 0;
                          return 1;
                      });
}

int gx_start_face_detection(int handle) {
    return OnInstance("gx_start_face_detection", handle, {Num(handle)},
                      [&](uint64_t id, FaceInstance& f, std::string&) {
                          f.detecting = true;
                          const auto& faces = SimState().cfg.faces;
                          if (faces.empty()) Emit(id, f, GX_FACE_SIGNAL_DETECTION_FAIL, {});
                          for (size_t i = 0; i < faces.size(); ++i) {
                              FaceRecord r;
                              r.id = static_cast<int>(i) + 1;
                              r.x = faces[i].x;
                              r.y = faces[i].y;
                              r.w = faces[i].w;
                              r.h = faces[i].h;
                              Emit(id, f, GX_FACE_SIGNAL_DETECT_FACE, r);
                          }
                          return 1;
                      });
}

int gx_stop_face_detection(int handle) {
    return OnInstance("gx_stop_face_detection", handle, {Num(handle)},
                      [](uint64_t, FaceInstance& f, std::string&) {
                          f.detecting = false;
                          return 1;
                      });
}

int gx_start_face_training(int handle, gx_face_detect_data* face) {
    return OnInstance(
        "gx_start_face_training", handle, {Num(handle), FormatPointer(face)},
        [&](uint64_t id, FaceInstance& f, std::string& detail) {
            if (!face) return 0;
            detail = RecordText(face);
            State& s = SimState();
            const auto& faces = s.cfg.faces;
            if (faces.empty()) {
                Emit(id, f, GX_FACE_SIGNAL_DETECTION_FAIL, {});
                return 1;
            }
            if (face->nDetectID < 1 || static_cast<size_t>(face->nDetectID) > faces.size()) {
                Emit(id, f, GX_FACE_SIGNAL_RECOGNITION_FAIL, {});
                return 1;
            }
            const ViewFace v = faces[static_cast<size_t>(face->nDetectID) - 1];
            auto trained = StoreFace(FaceImage(v.person), {0, v.person, {}, v.x, v.y, v.w, v.h});
            if (!trained) {
                Emit(id, f, GX_FACE_SIGNAL_RECOGNITION_FAIL, {});
                return 0;
            }
            f.lastTraining = trained;
            detail += " trained=" + Num(trained->id);
            Emit(id, f, GX_FACE_SIGNAL_TRAIN_RESULT, ToRecord(*f.lastTraining));
            return 1;
        });
}

int gx_stop_face_training(int handle) {
    return OnInstance("gx_stop_face_training", handle, {Num(handle)},
                      [](uint64_t, FaceInstance& f, std::string&) {
                          f.training = false;
                          return 1;
                      });
}

int gx_start_face_recognition(int handle, gx_face_detect_data* face) {
    return OnInstance(
        "gx_start_face_recognition", handle, {Num(handle), FormatPointer(face)},
        [&](uint64_t id, FaceInstance& f, std::string& detail) {
            if (!face) return 0;
            detail = RecordText(face);
            State& s = SimState();
            f.recognizing = true;
            Emit(id, f, GX_FACE_SIGNAL_ON_RECOGNIZING, {});
            // A detection id picks one face in view; 0 or less looks at all of them.
            const auto& faces = s.cfg.faces;
            std::vector<ViewFace> candidates;
            if (face->nDetectID <= 0) {
                candidates = faces;
            } else if (static_cast<size_t>(face->nDetectID) <= faces.size()) {
                candidates.push_back(faces[static_cast<size_t>(face->nDetectID) - 1]);
            }
            std::vector<FaceResult> results;
            for (const ViewFace& v : candidates) {
                for (const auto& [faceId, stored] : s.stored) {
                    if (stored.person && *stored.person == v.person) {
                        results.push_back(FaceResult{faceId, stored.imagePath, v.x, v.y, v.w, v.h});
                        break;
                    }
                }
            }
            if (results.empty()) Emit(id, f, GX_FACE_SIGNAL_RECOGNITION_FAIL, {});
            for (const FaceResult& r : results)
                Emit(id, f, GX_FACE_SIGNAL_RECOGNITION_RESULT, ToRecord(r));
            detail += " matched=" + Num(static_cast<long long>(results.size()));
            f.lastRecognition = std::move(results);
            return 1;
        });
}

int gx_stop_face_recognition(int handle) {
    return OnInstance("gx_stop_face_recognition", handle, {Num(handle)},
                      [](uint64_t, FaceInstance& f, std::string&) {
                          f.recognizing = false;
                          return 1;
                      });
}

int gx_over_write_face(int handle, const gx_face_detect_data* face, int id) {
    return OnInstance(
        "gx_over_write_face", handle, {Num(handle), FormatPointer(face), Num(id)},
        [&](uint64_t, FaceInstance&, std::string& detail) {
            if (!face) return 0;
            detail = RecordText(face);
            // A detection id of a face in view puts that person under the stored id.
            const auto& faces = SimState().cfg.faces;
            if (face->nDetectID >= 1 && static_cast<size_t>(face->nDetectID) <= faces.size()) {
                int person = faces[static_cast<size_t>(face->nDetectID) - 1].person;
                std::string image = FaceImage(person);
                return OverwriteStored(id, face, &image, person) ? 1 : 0;
            }
            return OverwriteStored(id, face, nullptr, std::nullopt) ? 1 : 0;
        });
}

int gx_over_write_thumbnail(int handle, const char* image, int id) {
    return OnInstance("gx_over_write_thumbnail", handle, {Num(handle), Text(image), Num(id)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          std::string data;
                          if (!image || !ReadImageFile(image, &data) || !IsPgm(data)) return 0;
                          if (!SimState().stored.count(id)) return 0;
                          return OverwriteStored(id, nullptr, &data, PersonOf(data)) ? 1 : 0;
                      });
}

int gx_train_thumbnail(int handle, const char* image) {
    return OnInstance("gx_train_thumbnail", handle, {Num(handle), Text(image)},
                      [&](uint64_t id, FaceInstance& f, std::string& detail) {
                          std::string data;
                          if (!image || !ReadImageFile(image, &data) || !IsPgm(data)) return 0;
                          auto trained = StoreFace(data, {0, PersonOf(data), {}, 0, 0, 0, 0});
                          if (!trained) return 0;
                          f.lastTraining = trained;
                          detail = "trained=" + Num(trained->id);
                          Emit(id, f, GX_FACE_SIGNAL_TRAIN_RESULT, ToRecord(*f.lastTraining));
                          return 1;
                      });
}

int gx_get_face_version(int handle, float* version) {
    return OnInstance("gx_get_face_version", handle, {Num(handle), FormatPointer(version)},
                      [&](uint64_t, FaceInstance&, std::string& detail) {
                          if (!version) return 0;
                          const auto& v = SimState().cfg.faceVersion;
                          if (v) {
                              *version = *v;
                              detail = "version=" + std::to_string(*v);
                          }
                          return 1;
                      });
}

int gx_erase_face(int handle, int id) {
    return OnInstance("gx_erase_face", handle, {Num(handle), Num(id)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          GVariant* erased = nullptr;
                          if (!Edit("eraseFace", g_variant_new_int32(id), &erased, nullptr))
                              return 0;
                          bool done = g_variant_get_boolean(erased);
                          g_variant_unref(erased);
                          return done ? 1 : 0;
                      });
}

int gx_clear_face_recog_data(int handle) {
    return OnInstance("gx_clear_face_recog_data", handle, {Num(handle)},
                      [](uint64_t, FaceInstance&, std::string&) {
                          return Edit("clearFaces", nullptr, nullptr, nullptr) ? 1 : 0;
                      });
}

int gx_erase_face_image_id(int handle, int id) {
    return OnInstance("gx_erase_face_image_id", handle, {Num(handle), Num(id)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          return unlink(FaceImagePath(id).c_str()) == 0 ? 1 : 0;
                      });
}

int gx_encrypt_face_image(int handle, char* image) {
    return OnInstance("gx_encrypt_face_image", handle, {Num(handle), Text(image)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          return image && EncryptImageFile(image) ? 1 : 0;
                      });
}

int gx_decrypt_face_image(int handle, char* image) {
    return OnInstance("gx_decrypt_face_image", handle, {Num(handle), Text(image)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          return image && DecryptImageFile(image) ? 1 : 0;
                      });
}

}  // extern "C"
