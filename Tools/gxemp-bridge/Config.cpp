// The bridge's configuration: which origins may connect, with which rights, and the limits.
//
//   [limits]
//   connections=32
//   [origin http://localhost:8080]
//   commands=motion;speech
//   faces=true
//
// Origins are compared as exact strings, as browsers serialise them; anything that is not such a
// string (a wildcard, a path, "null", upper case, a default port) is an error at start rather
// than a rule that never matches or matches too much.
#include <glib.h>

#include <cstring>
#include <set>

#include "Bridge.h"

namespace bridge {

Json::Value Rights::ToJson() const {
    Json::Value v(Json::objectValue);
    Json::Value groups(Json::arrayValue);
    if (motion) groups.append("motion");
    if (face) groups.append("face");
    if (speech) groups.append("speech");
    v["commands"] = groups;
    v["faces"] = faces;
    v["background"] = background;
    return v;
}

bool IsSerialisedOrigin(const std::string& text) {
    GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (uri == nullptr) return false;
    std::string scheme = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
    const char* host = g_uri_get_host(uri);
    int port = g_uri_get_port(uri);
    bool ok = (scheme == "http" || scheme == "https") && host != nullptr && host[0] != '\0' &&
              g_uri_get_userinfo(uri) == nullptr && g_uri_get_path(uri)[0] == '\0' &&
              g_uri_get_query(uri) == nullptr && g_uri_get_fragment(uri) == nullptr;
    std::string canonical;
    if (ok) {
        canonical = scheme + "://" + host;
        if (port != -1 && port != (scheme == "http" ? 80 : 443))
            canonical += ":" + std::to_string(port);
    }
    g_uri_unref(uri);
    if (!ok || canonical != text) return false;
    for (char c : text)
        if (c == '*' || (c >= 'A' && c <= 'Z')) return false;
    return true;
}

namespace {

struct LimitKey {
    const char* key;
    unsigned Limits::*field;
    unsigned min, max;
};

const LimitKey kLimitKeys[] = {
    {"connections", &Limits::connections, 1, 1024},
    {"connections-per-origin", &Limits::perOrigin, 1, 1024},
    {"commands-in-flight", &Limits::inFlight, 1, 256},
    {"commands-per-second", &Limits::perSecond, 1, 10000},
    {"queued-messages", &Limits::queued, 1, 65536},
    {"keep-alive-seconds", &Limits::keepAliveSeconds, 1, 3600},
};

// The keys of [limits]: each a number in its range. Returns "" or what is wrong.
std::string LoadLimits(GKeyFile* kf, const char* group, gchar** keys, Limits* limits) {
    for (gchar** key = keys; *key != nullptr; ++key) {
        const LimitKey* found = nullptr;
        for (const LimitKey& l : kLimitKeys)
            if (std::strcmp(l.key, *key) == 0) found = &l;
        if (found == nullptr) return std::string("[limits] has no key '") + *key + "'";
        GError* e = nullptr;
        gint64 v = g_key_file_get_int64(kf, group, *key, &e);
        bool bad = e != nullptr || v < found->min || v > found->max;
        if (e != nullptr) g_error_free(e);
        if (bad)
            return std::string("[limits] ") + *key + " takes " + std::to_string(found->min) +
                   " to " + std::to_string(found->max);
        limits->*(found->field) = static_cast<unsigned>(v);
    }
    return "";
}

// The command groups of an origin's "commands" list. Returns "" or what is wrong.
std::string LoadCommandGroups(gchar** list, const std::string& group, Rights* rights) {
    for (gchar** g = list; g != nullptr && *g != nullptr; ++g) {
        std::string name = *g;
        if (name == "motion")
            rights->motion = true;
        else if (name == "face")
            rights->face = true;
        else if (name == "speech")
            rights->speech = true;
        else
            return "[" + group + "] commands: unknown group '" + name + "' (motion, face, speech)";
    }
    return "";
}

// One [origin ORIGIN] group. Returns "" or what is wrong.
std::string LoadOrigin(GKeyFile* kf, const std::string& group, gchar** keys, Config* out) {
    std::string origin = group.substr(7);
    if (!IsSerialisedOrigin(origin))
        return "[" + group +
               "]: not an origin as a browser sends it (scheme://host[:port], lower case, no "
               "path, no wildcard)";
    Rights rights;
    for (gchar** k = keys; *k != nullptr; ++k) {
        std::string key = *k, wrong;
        GError* e = nullptr;
        if (key == "commands") {
            gchar** list = g_key_file_get_string_list(kf, group.c_str(), *k, nullptr, &e);
            wrong = LoadCommandGroups(list, group, &rights);
            g_strfreev(list);
        } else if (key == "faces" || key == "background") {
            bool v = g_key_file_get_boolean(kf, group.c_str(), *k, &e) != FALSE;
            (key == "faces" ? rights.faces : rights.background) = v;
        } else {
            wrong = "[" + group + "] has no key '" + key + "' (commands, faces, background)";
        }
        if (e != nullptr) {
            if (wrong.empty()) wrong = "[" + group + "] " + key + ": " + e->message;
            g_error_free(e);
        }
        if (!wrong.empty()) return wrong;
    }
    out->origins[origin] = rights;
    return "";
}

bool LoadOne(GKeyFile* kf, const std::string& file, Config* out, std::string* error) {
    gchar** groups = g_key_file_get_groups(kf, nullptr);
    std::string wrong;
    for (gchar** g = groups; wrong.empty() && *g != nullptr; ++g) {
        std::string group = *g;
        gchar** keys = g_key_file_get_keys(kf, *g, nullptr, nullptr);
        if (group == "limits")
            wrong = LoadLimits(kf, *g, keys, &out->limits);
        else if (group.compare(0, 7, "origin ") == 0)
            wrong = LoadOrigin(kf, group, keys, out);
        else
            wrong = "unknown group [" + group + "] ([limits] or [origin ORIGIN])";
        g_strfreev(keys);
    }
    g_strfreev(groups);
    if (!wrong.empty()) *error = file + ": " + wrong;
    return wrong.empty();
}

}  // namespace

bool LoadConfig(const std::vector<std::string>& files, bool mustExist, Config* out,
                std::string* error) {
    for (const std::string& file : files) {
        GKeyFile* kf = g_key_file_new();
        GError* e = nullptr;
        bool ok = true;
        if (!g_key_file_load_from_file(kf, file.c_str(), G_KEY_FILE_NONE, &e)) {
            bool absent = g_error_matches(e, G_FILE_ERROR, G_FILE_ERROR_NOENT);
            if (!absent || mustExist) {
                *error = file + ": " + e->message;
                ok = false;
            }
            g_error_free(e);
        } else {
            ok = LoadOne(kf, file, out, error);
        }
        g_key_file_free(kf);
        if (!ok) return false;
    }
    return true;
}

std::string CommandGroup(const std::string& name, bool* reserved) {
    static const std::set<std::string> kReserved = {
        "SetMotionSubscribeInfo", "SubscirbeMotionSignal",  "UnSubscirbeMotionSignal",
        "SubscribeMotionEvent",   "UnsubscribeMotionEvent", "SubscribeFaceEvent",
        "UnsubscribeFaceEvent"};
    static const std::map<std::string, std::vector<const char*>> kGroups = {
        {"motion",
         {"GetGestureCameraStatus",
          "StartMotionRecognition",
          "StopMotionRecognition",
          "EnableGestureRecognition",
          "DisableGestureRecognition",
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
          "DisableMotionSwipeRecognition"}},
        {"face",
         {"InitializeFace",
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
          "OverWriteFace",
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
          "DestroyFace"}},
        {"speech",
         {"EnableTTSEngine", "DisableTTSEngine", "IsTTSEngineEnabled", "StopTTSEngine",
          "StartTTSEngine", "IsSupportTTS", "GetUserLevel", "IsTTSInPlaying",
          "RecogEMPUsingStatus"}},
    };
    *reserved = kReserved.count(name) > 0;
    if (*reserved) return "motion";
    for (const auto& [group, names] : kGroups)
        for (const char* n : names)
            if (name == n) return group;
    return "";
}

}  // namespace bridge
