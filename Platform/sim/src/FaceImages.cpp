// See FaceImages.h.
#include "FaceImages.h"

#include <errno.h>
#include <signal.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace gxsim::internal {
namespace {

constexpr char kKey[] = "gxemp-sim-face-key";
constexpr char kEncryptedMagic[] = "GXSIMENC1\n";
constexpr size_t kEncryptedMagicLen = sizeof kEncryptedMagic - 1;

// Writes an image (fsync included) where the owner of the TV's state takes it from: this runs in
// this process alone, never while the owner applies a change. Returns its path, or "".
std::string WriteIncoming(const std::string& data) {
    std::string path = IncomingImagePath();
    gchar* dir = g_path_get_dirname(path.c_str());
    int rc = g_mkdir_with_parents(dir, 0700);
    g_free(dir);
    return rc == 0 && ReplaceFile(path, data, 0600) ? path : "";
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

}  // namespace

// Reads an image handed to the library; one over kMaxImageBytes is not read (the call fails).
bool ReadImageFile(const char* path, std::string* out) {
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

bool EncryptImageFile(const char* path) {
    std::string data;
    if (!ReadImageFile(path, &data)) return false;
    if (data.compare(0, kEncryptedMagicLen, kEncryptedMagic) == 0) return false;
    std::string out = std::string(kEncryptedMagic) + Xor(data.data(), data.size());
    return ReplaceFile(path, out, FileMode(path));
}

bool DecryptImageFile(const char* path) {
    std::string data;
    if (!ReadImageFile(path, &data)) return false;
    if (data.compare(0, kEncryptedMagicLen, kEncryptedMagic) != 0) return false;  // not ours
    std::string out = Xor(data.data() + kEncryptedMagicLen, data.size() - kEncryptedMagicLen);
    return ReplaceFile(path, out, FileMode(path));
}

// ---- Face image directories --------------------------------------------------------------------

void RemoveFaceImageDirectory(const std::string& dir) {
    GDir* d = g_dir_open(dir.c_str(), 0, nullptr);
    if (d == nullptr) return;
    while (const char* name = g_dir_read_name(d)) {
        bool ours = g_str_has_prefix(name, ".incoming-") ||
                    (g_str_has_prefix(name, "face-") && g_str_has_suffix(name, ".pgm"));
        if (ours) unlink((dir + "/" + name).c_str());
    }
    g_dir_close(d);
    rmdir(dir.c_str());  // fails, and the directory stays, when something else is in it
}

namespace {

// The TV's default face image directory goes when the process that made the TV exits (a broker
// or a single process, not a worker), unless the TV was told to keep images elsewhere.
struct FaceImageCleaner {
    ~FaceImageCleaner() {
        if (ReadsSharedState()) return;
        RemoveFaceImageDirectory(FaceImageBase() + "/faces-" + std::to_string(getpid()));
    }
} gFaceImageCleaner;

}  // namespace

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

void RemoveStaleFaceImageDirectories() {
    std::string base = FaceImageBase();
    GDir* d = g_dir_open(base.c_str(), 0, nullptr);
    if (d == nullptr) return;
    std::vector<std::string> stale;
    while (const char* name = g_dir_read_name(d)) {
        if (!g_str_has_prefix(name, "faces-")) continue;
        char* end = nullptr;
        long pid = strtol(name + 6, &end, 10);
        if (end == name + 6 || *end != '\0' || pid <= 0 || pid == getpid()) continue;
        if (kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH) stale.push_back(name);
    }
    g_dir_close(d);
    for (const std::string& name : stale) RemoveFaceImageDirectory(base + "/" + name);
}

}  // namespace gxsim
