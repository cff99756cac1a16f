// Start-state profiles: a key file read into a fresh Config, applied only when all of it is valid.
#include <errno.h>
#include <glib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

#include "SimState.h"

using namespace gxsim;
using namespace gxsim::internal;

namespace {

struct Profile {
    Config cfg;
    std::optional<std::string> settingsPath;
};

class Reader {
public:
    explicit Reader(GKeyFile* kf) : kf_(kf) {}

    bool Fail(const std::string& msg) {
        if (error_.empty()) error_ = msg;
        return false;
    }
    const std::string& error() const { return error_; }

    bool Has(const char* group, const char* key) {
        return g_key_file_has_key(kf_, group, key, nullptr);
    }

    std::string Raw(const char* group, const char* key) {
        gchar* v = g_key_file_get_value(kf_, group, key, nullptr);
        std::string out = v ? v : "";
        g_free(v);
        return out;
    }

    bool String(const char* group, const char* key, std::string* out) {
        GError* err = nullptr;
        gchar* v = g_key_file_get_string(kf_, group, key, &err);
        if (!v) {
            std::string m = err ? err->message : "unreadable";
            if (err) g_error_free(err);
            return Fail("[" + std::string(group) + "] " + key + ": " + m);
        }
        *out = v;
        g_free(v);
        return true;
    }

    bool Int(const char* group, const char* key, int* out) {
        return ParseInt(Raw(group, key), out) ||
               Fail("[" + std::string(group) + "] " + key + ": \"" + Raw(group, key) +
                    "\" is not an integer");
    }

    static bool ParseInt(const std::string& text, int* out) {
        std::string t = text;
        g_strstrip(t.data());
        t.resize(strlen(t.c_str()));
        if (t.empty()) return false;
        char* end = nullptr;
        errno = 0;
        long v = strtol(t.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
        *out = static_cast<int>(v);
        return true;
    }

private:
    GKeyFile* kf_;
    std::string error_;
};

struct KeyFile {
    GKeyFile* kf = g_key_file_new();
    ~KeyFile() { g_key_file_free(kf); }
};

// One face in view: "person:x,y,w,h".
bool ParseViewFace(const std::string& item, ViewFace* f) {
    size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    int v[5];
    if (!Reader::ParseInt(item.substr(0, colon), &v[0])) return false;
    gchar** parts = g_strsplit(item.c_str() + colon + 1, ",", -1);
    bool ok = g_strv_length(parts) == 4;
    for (int i = 0; ok && i < 4; ++i) ok = Reader::ParseInt(parts[i], &v[i + 1]);
    g_strfreev(parts);
    if (!ok) return false;
    *f = ViewFace{v[0], v[1], v[2], v[3], v[4]};
    return true;
}

bool CheckKeys(GKeyFile* kf, const char* group, const std::vector<std::string>& known, Reader& r) {
    gchar** keys = g_key_file_get_keys(kf, group, nullptr, nullptr);
    bool ok = true;
    for (gchar** k = keys; ok && k && *k; ++k) {
        bool found = false;
        for (const auto& n : known) found = found || n == *k;
        if (!found) ok = r.Fail("unknown key \"" + std::string(*k) + "\" in group [" + group + "]");
    }
    g_strfreev(keys);
    return ok;
}

// [factory]: every key an item number, every value an integer or "fail".
void ParseFactory(GKeyFile* kf, Reader& r, Config& c) {
    gchar** keys = g_key_file_get_keys(kf, "factory", nullptr, nullptr);
    for (gchar** key = keys; key && *key; ++key) {
        int id = 0;
        if (!Reader::ParseInt(*key, &id)) {
            r.Fail("[factory] " + std::string(*key) + ": item names are numbers");
            break;
        }
        std::string v = r.Raw("factory", *key);
        int value = 0;
        if (v == "fail") {
            c.factory[id] = std::nullopt;
        } else if (Reader::ParseInt(v, &value)) {
            c.factory[id] = value;
        } else {
            r.Fail("[factory] " + std::string(*key) + ": \"" + v +
                   "\" is neither an integer nor fail");
            break;
        }
    }
    g_strfreev(keys);
}

// Every group known, each with its known keys ([factory] read here, being all items).
void CheckGroups(GKeyFile* kf, Reader& r, Config& c) {
    gchar** groups = g_key_file_get_groups(kf, nullptr);
    for (gchar** g = groups; g && *g; ++g) {
        std::string name = *g;
        if (name == "system") {
            CheckKeys(kf, *g, {"model", "no-model"}, r);
        } else if (name == "factory") {
            ParseFactory(kf, r, c);
        } else if (name == "camera") {
            CheckKeys(kf, *g, {"state", "query-result"}, r);
        } else if (name == "face") {
            CheckKeys(kf, *g, {"version", "image-dir", "faces-in-view"}, r);
        } else if (name == "motion") {
            CheckKeys(kf, *g,
                      {"hidden", "brightness", "two-hand-valid", "slap-valid", "thumbup-valid",
                       "engine-valid"},
                      r);
        } else if (name == "settings") {
            CheckKeys(kf, *g, {"path"}, r);
        } else {
            r.Fail("unknown group [" + name + "]");
        }
    }
    g_strfreev(groups);
}

void ParseSystem(Reader& r, Config& c) {
    if (r.Has("system", "model") && r.Has("system", "no-model")) {
        r.Fail("[system] model and no-model exclude each other");
    } else if (r.Has("system", "model")) {
        std::string m;
        if (r.String("system", "model", &m)) c.model = m;
    } else if (r.Has("system", "no-model")) {
        std::string v = r.Raw("system", "no-model");
        if (v == "true")
            c.model.reset();
        else if (v != "false")
            r.Fail("[system] no-model: \"" + v + "\" is neither true nor false");
    }
}

void ParseFace(GKeyFile* kf, Reader& r, Config& c) {
    if (r.Has("face", "version")) {
        std::string v = r.Raw("face", "version");
        if (v == "unwritten") {
            c.faceVersion.reset();
        } else {
            char* end = nullptr;
            double d = g_ascii_strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !std::isfinite(d))
                r.Fail("[face] version: \"" + v + "\" is neither a number nor unwritten");
            else
                c.faceVersion = static_cast<float>(d);
        }
    }
    if (r.Has("face", "image-dir")) r.String("face", "image-dir", &c.faceDir);
    if (r.Has("face", "faces-in-view")) {
        gchar** items = g_key_file_get_string_list(kf, "face", "faces-in-view", nullptr, nullptr);
        for (gchar** it = items; it && *it; ++it) {
            std::string item = *it;
            g_strstrip(*it);
            ViewFace f;
            if (!ParseViewFace(*it, &f)) {
                r.Fail("[face] faces-in-view: \"" + item + "\" is not person:x,y,w,h");
                break;
            }
            c.faces.push_back(f);
        }
        g_strfreev(items);
    }
}

void ParseMotion(GKeyFile* kf, Reader& r, Config& c) {
    if (r.Has("motion", "hidden")) {
        gchar** items = g_key_file_get_string_list(kf, "motion", "hidden", nullptr, nullptr);
        const auto& all = MotionEntryPoints();
        for (gchar** it = items; it && *it; ++it) {
            g_strstrip(*it);
            if (!**it) continue;
            bool known = false;
            for (const auto& a : all) known = known || a == *it;
            if (!known) {
                r.Fail("[motion] hidden: \"" + std::string(*it) + "\" is not a motion entry point");
                break;
            }
            c.hidden.insert(*it);
        }
        g_strfreev(items);
    }
    struct {
        const char* key;
        int* field;
    } answers[] = {
        {"brightness", &c.answers.brightness},    {"two-hand-valid", &c.answers.twoHandValid},
        {"slap-valid", &c.answers.slapValid},     {"thumbup-valid", &c.answers.thumbupValid},
        {"engine-valid", &c.answers.engineValid},
    };
    for (const auto& a : answers)
        if (r.Has("motion", a.key)) r.Int("motion", a.key, a.field);
}

bool Parse(const std::string& data, Profile* p, std::string* error) {
    KeyFile k;
    GError* err = nullptr;
    if (!g_key_file_load_from_data(k.kf, data.data(), data.size(), G_KEY_FILE_NONE, &err)) {
        *error = err->message;
        g_error_free(err);
        return false;
    }
    Reader r(k.kf);
    Config& c = p->cfg;
    CheckGroups(k.kf, r, c);
    ParseSystem(r, c);
    if (r.Has("camera", "state")) r.Int("camera", "state", &c.cameraState);
    if (r.Has("camera", "query-result")) r.Int("camera", "query-result", &c.cameraQuery);
    ParseFace(k.kf, r, c);
    ParseMotion(k.kf, r, c);
    if (r.Has("settings", "path")) {
        std::string path;
        if (r.String("settings", "path", &path)) {
            if (path.empty())
                r.Fail("[settings] path: empty");
            else
                p->settingsPath = path;
        }
    }

    if (!r.error().empty()) {
        *error = r.error();
        return false;
    }
    return true;
}

}  // namespace

namespace gxsim {

bool LoadProfileFromData(const std::string& data, std::string* error) {
    Profile p;
    std::string err;
    if (!Parse(data, &p, &err)) {
        if (error) *error = "profile: " + err;
        return false;
    }
    Refusal why;
    if (EditNow("profile",
                g_variant_new("(@(msa{i(bi)}ii(bd)asa(iiiii)(iiiii)s)(bs))", SerializeConfig(p.cfg),
                              p.settingsPath.has_value(), p.settingsPath.value_or("").c_str()),
                &why))
        return true;
    if (error) *error = "profile: " + why.message;
    return false;
}

bool LoadProfile(const std::string& path, std::string* error) {
    // Whatever a profile says fits the TV's state, so its text is bounded too.
    constexpr size_t kMaxProfileBytes = 4 * kMaxStateBytes;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > kMaxProfileBytes) {
        if (error)
            *error = "profile " + path + ": " + std::to_string(st.st_size) +
                     " bytes exceed the limit of " + std::to_string(kMaxProfileBytes) + " bytes";
        return false;
    }
    gchar* data = nullptr;
    gsize len = 0;
    GError* err = nullptr;
    if (!g_file_get_contents(path.c_str(), &data, &len, &err)) {
        if (error) *error = "profile " + path + ": " + err->message;
        g_error_free(err);
        return false;
    }
    std::string text(data, len);
    g_free(data);
    std::string e;
    if (!LoadProfileFromData(text, &e)) {
        // Name the file in the message: "profile: x" becomes "profile <path>: x".
        if (error) *error = "profile " + path + e.substr(std::string("profile").size());
        return false;
    }
    return true;
}

}  // namespace gxsim
