// The simulated face-recognition library.
//
// The camera sees the faces set with SetFacesInView; a face's detection id is its position in that
// list plus one. Training stores the face under a new face id and writes its image (a small PGM
// naming the person in a comment) into the face image directory; recognition matches the faces in
// view against the stored ones by person. Results handed to the caller are malloc'ed exactly as the
// caller frees them. Every call returns 1 for success and 0 for failure, is traced, and may have
// its result forced.
#include <errno.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "SimState.h"

using namespace gxsim;
using namespace gxsim::internal;

namespace {

using Lock = std::unique_lock<std::mutex>;

constexpr char kEncryptedMagic[] = "GXSIMENC1\n";
constexpr size_t kEncryptedMagicLen = sizeof kEncryptedMagic - 1;
constexpr char kKey[] = "gxemp-sim-face-key";
constexpr char kPersonTag[] = "# gxsim person=";

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

// Reads an image handed to the library; one over kMaxImageBytes is not read (the call fails).
bool ReadFile(const char* path, std::string* out) {
    struct stat st {};
    if (stat(path, &st) != 0 || static_cast<size_t>(st.st_size) > kMaxImageBytes) return false;
    gchar* data = nullptr;
    gsize len = 0;
    GError* err = nullptr;
    if (!g_file_get_contents(path, &data, &len, &err)) {
        g_error_free(err);
        return false;
    }
    out->assign(data, len);
    g_free(data);
    return true;
}

bool IsPgm(const std::string& data) {
    return data.size() > 3 && data[0] == 'P' && (data[1] == '5' || data[1] == '2') &&
           g_ascii_isspace(data[2]);
}

std::optional<int> PersonOf(const std::string& pgm) {
    size_t at = pgm.find(kPersonTag);
    if (at == std::string::npos) return std::nullopt;
    const char* p = pgm.c_str() + at + sizeof kPersonTag - 1;
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p || errno != 0 || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int>(v);
}

// A 32x32 grey image whose pattern and comment depend on the person.
std::string FaceImage(int person) {
    std::string out = "P5\n";
    out += kPersonTag + std::to_string(person) + "\n32 32\n255\n";
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            out += static_cast<char>((x * (person + 3) + y * 7 + person * 31) & 0xff);
    return out;
}

std::string ImagePath(int faceId) {
    return FaceImagePath(faceId);
}

// Writes an image (fsync included) where the owner of the TV's state takes it from: this runs in
// this process alone, never while the owner applies a change. Returns its path, or "".
std::string WriteIncoming(const std::string& data) {
    std::string path = IncomingImagePath();
    gchar* dir = g_path_get_dirname(path.c_str());
    int rc = g_mkdir_with_parents(dir, 0700);
    g_free(dir);
    return rc == 0 && ReplaceFile(path, data, 0600) ? path : "";
}

// Files an image written by WriteIncoming as the stored face `id`'s (with the person it shows)
// and, with `box`, moves the face's box. A refused change leaves the written file to remove.
bool OverwriteStored(int id, const gx_face_detect_data* box, const std::string* image,
                     std::optional<int> person) {
    std::string incoming = image ? WriteIncoming(*image) : "";
    if (image && incoming.empty()) return false;
    bool ok =
        Edit("overwriteFace",
             g_variant_new("(ib(iiii)bs(bi))", id, box != nullptr, box ? box->x : 0,
                           box ? box->y : 0, box ? box->w : 0, box ? box->h : 0, image != nullptr,
                           incoming.c_str(), person.has_value(), person.value_or(0)),
             nullptr, nullptr);
    if (!ok && !incoming.empty()) unlink(incoming.c_str());
    return ok;
}

// Stores a trained face under the next face id: its image file and, in the TV's state, the face
// as `face` describes it. Nothing is stored, and no id used up, when the image cannot be
// written.
std::optional<FaceResult> StoreFace(const std::string& image, StoredFace face) {
    std::string incoming = WriteIncoming(image);
    if (incoming.empty()) return std::nullopt;
    GVariant* stored = nullptr;
    if (!Edit("storeFace",
              g_variant_new("(s(bi)iiii)", incoming.c_str(), face.person.has_value(),
                            face.person.value_or(0), face.x, face.y, face.w, face.h),
              &stored, nullptr)) {
        unlink(incoming.c_str());
        return std::nullopt;
    }
    const char* path = nullptr;
    g_variant_get(stored, "(i&s)", &face.id, &path);
    face.imagePath = path;
    g_variant_unref(stored);
    return FaceResult{face.id, face.imagePath, face.x, face.y, face.w, face.h};
}

std::string Xor(const char* p, size_t n) {
    std::string out(p, n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(out[i] ^ kKey[i % (sizeof kKey - 1)]);
    return out;
}

int FileMode(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<int>(st.st_mode & 07777) : 0600;
}

template <class Fn>
int OnInstance(const char* name, int handle, std::vector<std::string> args, Fn&& fn) {
    return Traced(name, std::move(args), [&](Lock&, std::string& detail) {
        uint64_t id = 0;
        FaceInstance* f = FindFace(handle, &id);
        return f ? fn(id, *f, detail) : 0;
    });
}

// The three get-result functions: a forced result still hands over freshly allocated results.
template <class Work>
int Filling(const char* fn, std::vector<std::string> args, Work&& work) {
    Lock lk = LockTv();
    std::string detail;
    const int* forced = Forced(fn);
    int r = work(forced, detail);
    AddTrace(fn, std::move(args), r, std::move(detail));
    return r;
}

}  // namespace

extern "C" {

int gx_face_recog_create(int* handle) {
    return Traced("gx_face_recog_create", {FormatPointer(handle)}, [&](Lock&, std::string& detail) {
        if (!handle) return 0;
        State& s = S();
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
        S().face.erase(id);
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
                          S().lastFaceCb = Subscription{cb, userData};
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
                          const auto& faces = S().cfg.faces;
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
            State& s = S();
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
            State& s = S();
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
            const auto& faces = S().cfg.faces;
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
                          if (!image || !ReadFile(image, &data) || !IsPgm(data)) return 0;
                          if (!S().stored.count(id)) return 0;
                          return OverwriteStored(id, nullptr, &data, PersonOf(data)) ? 1 : 0;
                      });
}

int gx_train_thumbnail(int handle, const char* image) {
    return OnInstance("gx_train_thumbnail", handle, {Num(handle), Text(image)},
                      [&](uint64_t id, FaceInstance& f, std::string& detail) {
                          std::string data;
                          if (!image || !ReadFile(image, &data) || !IsPgm(data)) return 0;
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
                          const auto& v = S().cfg.faceVersion;
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

int gx_get_face_recognition_result(int handle, gx_face_recog_result** results, int* count) {
    return Filling("gx_get_face_recognition_result",
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
    return Filling("gx_get_face_detection_result",
                   {Num(handle), FormatPointer(faces), FormatPointer(count)},
                   [&](const int* forced, std::string& detail) {
                       if (!faces || !count) return forced ? *forced : 0;
                       if (!forced && !FindFace(handle)) return 0;
                       std::vector<gx_face_detect_data> list;
                       const auto& view = S().cfg.faces;
                       for (size_t i = 0; i < view.size(); ++i)
                           list.push_back(gx_face_detect_data{static_cast<int>(i) + 1, view[i].x,
                                                              view[i].y, view[i].w, view[i].h});
                       if (forced && list.empty())
                           list.push_back(gx_face_detect_data{0, 0, 0, 0, 0});
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
    return Filling("gx_get_face_training_result", {Num(handle), FormatPointer(result)},
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

int gx_erase_face_image_id(int handle, int id) {
    return OnInstance("gx_erase_face_image_id", handle, {Num(handle), Num(id)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          return unlink(ImagePath(id).c_str()) == 0 ? 1 : 0;
                      });
}

int gx_encrypt_face_image(int handle, char* image) {
    return OnInstance("gx_encrypt_face_image", handle, {Num(handle), Text(image)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          std::string data;
                          if (!image || !ReadFile(image, &data)) return 0;
                          if (data.compare(0, kEncryptedMagicLen, kEncryptedMagic) == 0)
                              return 0;  // already encrypted
                          std::string out =
                              std::string(kEncryptedMagic) + Xor(data.data(), data.size());
                          return ReplaceFile(image, out, FileMode(image)) ? 1 : 0;
                      });
}

int gx_decrypt_face_image(int handle, char* image) {
    return OnInstance("gx_decrypt_face_image", handle, {Num(handle), Text(image)},
                      [&](uint64_t, FaceInstance&, std::string&) {
                          std::string data;
                          if (!image || !ReadFile(image, &data)) return 0;
                          if (data.compare(0, kEncryptedMagicLen, kEncryptedMagic) != 0)
                              return 0;  // not one of ours
                          std::string out = Xor(data.data() + kEncryptedMagicLen,
                                                data.size() - kEncryptedMagicLen);
                          return ReplaceFile(image, out, FileMode(image)) ? 1 : 0;
                      });
}

}  // extern "C"
