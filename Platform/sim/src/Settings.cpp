// The simulated settings store (vconf): integers under text keys in a key file.
//
// The store is a GKeyFile with one group [vconf]. Readers load the file as it is; the file is only
// ever replaced whole (temporary file, fsync, rename), so a reader sees the old or the new file and
// never half of one, even when a writer is killed. Writers serialise on an flock of a lock file
// beside the store and re-read the file under it, so two processes writing different keys keep
// each other's keys.
#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "SimState.h"
#include "vconf.h"

namespace {

constexpr const char* kGroup = "vconf";

// The keys a TV's store holds when it is new.
const std::pair<const char*, int> kDefaults[] = {
    {"db/menu/accessibility/tts", 0},      {"db/menu/accessibility/high_contrast", 0},
    {"db/menu/accessibility/enlarge", 0},  {"db/menu/accessibility/audio_description", 0},
    {"db/menu/accessibility/subtitle", 0}, {"db/menu/system/motion_control", 1},
    {"db/menu/sound/volume", 20},          {"db/menu/picture/mode", 0},
};

std::string DirName(const std::string& path) {
    gchar* d = g_path_get_dirname(path.c_str());
    std::string out(d);
    g_free(d);
    return out;
}

struct KeyFile {
    GKeyFile* kf = g_key_file_new();
    ~KeyFile() { g_key_file_free(kf); }
};

std::string DefaultContents() {
    KeyFile k;
    for (const auto& [key, value] : kDefaults) g_key_file_set_integer(k.kf, kGroup, key, value);
    gsize len = 0;
    gchar* data = g_key_file_to_data(k.kf, &len, nullptr);
    std::string out(data, len);
    g_free(data);
    return out;
}

// An exclusive flock on "<store>.lock", held for the life of the object.
class StoreLock {
public:
    explicit StoreLock(const std::string& store) {
        std::string path = store + ".lock";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Creates a missing store with the TV's keys. False when it neither exists nor can be made.
bool EnsureStore(const std::string& path) {
    if (Exists(path)) return true;
    if (g_mkdir_with_parents(DirName(path).c_str(), 0700) != 0) return false;
    StoreLock lock(path);
    if (!lock.held()) return false;
    if (Exists(path)) return true;  // another process made it meanwhile
    return gxsim::internal::ReplaceFile(path, DefaultContents(), 0644);
}

bool ValidKey(const char* key) {
    if (!key || !*key) return false;
    if (g_ascii_isspace(key[0]) || key[0] == '#') return false;
    size_t n = strlen(key);
    if (g_ascii_isspace(key[n - 1])) return false;
    for (const char* p = key; *p; ++p) {
        if (*p == '=' || *p == '[' || *p == ']' || *p == '\n' || *p == '\r') return false;
    }
    return g_utf8_validate(key, -1, nullptr);
}

}  // namespace

namespace gxsim {

bool SetSettingsPath(const std::string& path, Refusal* why) {
    return internal::EditNow("settingsPath", g_variant_new_string(path.c_str()), why);
}

std::string GetSettingsPath() {
    return internal::SettingsPathResolved();
}

namespace internal {

std::string SettingsPathResolved() {
    {
        auto lk = LockTv();
        if (!SimState().settingsPath.empty()) return SimState().settingsPath;
    }
    const char* env = g_getenv("GXEMP_SETTINGS");
    if (env && *env) return env;
    const char* state = g_getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/gxemp/settings.ini";
    return std::string(g_get_home_dir()) + "/.local/state/gxemp/settings.ini";
}

}  // namespace internal
}  // namespace gxsim

extern "C" int vconf_get_int(const char* key, int* value) {
    if (!key || !value) return -1;
    std::string path = gxsim::internal::SettingsPathResolved();
    if (!EnsureStore(path)) return -1;
    KeyFile k;
    GError* err = nullptr;
    if (!g_key_file_load_from_file(k.kf, path.c_str(), G_KEY_FILE_NONE, &err)) {
        g_error_free(err);
        return -1;
    }
    int v = g_key_file_get_integer(k.kf, kGroup, key, &err);
    if (err) {
        g_error_free(err);
        return -1;
    }
    *value = v;
    return 0;
}

extern "C" int vconf_set_int(const char* key, int value) {
    if (!ValidKey(key)) return -1;
    std::string path = gxsim::internal::SettingsPathResolved();
    if (g_mkdir_with_parents(DirName(path).c_str(), 0700) != 0) return -1;
    StoreLock lock(path);
    if (!lock.held()) return -1;

    KeyFile k;
    int mode = 0644;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        // A store without write permission is read-only, for root too.
        if ((st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) return -1;
        mode = static_cast<int>(st.st_mode & 07777);
        GError* err = nullptr;
        if (!g_key_file_load_from_file(k.kf, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, &err)) {
            // A store that does not parse is left for a person to look at, not overwritten.
            g_error_free(err);
            return -1;
        }
    } else {
        for (const auto& [dk, dv] : kDefaults) g_key_file_set_integer(k.kf, kGroup, dk, dv);
    }
    g_key_file_set_integer(k.kf, kGroup, key, value);
    gsize len = 0;
    gchar* data = g_key_file_to_data(k.kf, &len, nullptr);
    std::string text(data, len);
    g_free(data);
    return gxsim::internal::ReplaceFile(path, text, mode) ? 0 : -1;
}
