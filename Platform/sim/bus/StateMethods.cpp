// Simulator1's methods on the TV's state (camera, model, factory data, faces in view, forced
// results, stored faces, settings...): shared by every process that serves the TV, so each runs
// where it is called (see MethodTable.cpp).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Methods.h"
#include "gxsim/Sim.h"
#include "gxsim/Wire.h"
#include "vconf.h"

namespace gxsimbus {
namespace {

// A change of the TV's state: `apply(&why)` done, or refused with the reason as a D-Bus error.
template <class Apply>
int Change(sd_bus_message* m, sd_bus_error* error, Apply&& apply) {
    gxsim::Refusal why;
    if (apply(&why)) return ReplyEmpty(m);
    switch (why.kind) {
        case gxsim::Refusal::TooLarge:
            return sd_bus_error_set(error, gxsim::wire::kErrorTooLarge, why.message.c_str());
        case gxsim::Refusal::Unavailable:
            return sd_bus_error_set(error, gxsim::wire::kErrorUnavailable, why.message.c_str());
        case gxsim::Refusal::Invalid:
            break;
    }
    return InvalidArgs(error, why.message);
}

// A change whose one argument is an int32.
template <class Apply>
int ChangeInt(sd_bus_message* m, sd_bus_error* error, Apply&& apply) {
    int32_t value = 0;
    int r = sd_bus_message_read(m, "i", &value);
    if (r < 0) return r;
    return Change(m, error, [&](gxsim::Refusal* why) { return apply(value, why); });
}

// A change whose one argument is a string.
template <class Apply>
int ChangeText(sd_bus_message* m, sd_bus_error* error, Apply&& apply) {
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "s", &text);
    if (r < 0) return r;
    return Change(m, error, [&](gxsim::Refusal* why) { return apply(std::string(text), why); });
}

int SettingsError(sd_bus_error* error, const char* what, const char* key) {
    return sd_bus_error_setf(error, gxsim::wire::kErrorSettings, "cannot %s the setting '%s' %s %s",
                             what, key, what[0] == 'r' ? "from" : "to",
                             gxsim::GetSettingsPath().c_str());
}

int ReadViewFaces(sd_bus_message* m, std::vector<gxsim::ViewFace>* faces) {
    int r = sd_bus_message_enter_container(m, 'a', gxsim::wire::kViewFace);
    if (r < 0) return r;
    for (;;) {
        gxsim::ViewFace face;
        r = sd_bus_message_read(m, gxsim::wire::kViewFace, &face.person, &face.x, &face.y, &face.w,
                                &face.h);
        if (r < 0) return r;
        if (r == 0) break;
        faces->push_back(face);
    }
    return sd_bus_message_exit_container(m);
}

}  // namespace

int LoadProfile(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* path = nullptr;
    int r = sd_bus_message_read(m, "s", &path);
    if (r < 0) return r;
    std::string message;
    if (!gxsim::LoadProfile(path, &message)) return InvalidArgs(error, message);
    return ReplyEmpty(m);
}

int SetCameraState(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeInt(
        m, error, [](int state, gxsim::Refusal* why) { return gxsim::SetCameraState(state, why); });
}

int SetCameraQueryResult(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeInt(
        m, error, [](int rc, gxsim::Refusal* why) { return gxsim::SetCameraQueryResult(rc, why); });
}

int SetModel(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeText(m, error, [](const std::string& model, gxsim::Refusal* why) {
        return gxsim::SetModel(model, why);
    });
}

int ClearModel(sd_bus_message* m, void*, sd_bus_error* error) {
    return Change(m, error, [](gxsim::Refusal* why) { return gxsim::SetModel(std::nullopt, why); });
}

int GetModel(sd_bus_message* m, void*, sd_bus_error*) {
    std::optional<std::string> model = gxsim::GetModel();
    return sd_bus_reply_method_return(m, "bs", model.has_value() ? 1 : 0,
                                      model.has_value() ? model->c_str() : "");
}

int SetFactoryItem(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t id = 0, value = 0;
    int r = sd_bus_message_read(m, "ii", &id, &value);
    if (r < 0) return r;
    return Change(m, error,
                  [&](gxsim::Refusal* why) { return gxsim::SetFactoryItem(id, value, why); });
}

int SetFactoryItemFailing(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeInt(m, error, [](int id, gxsim::Refusal* why) {
        return gxsim::SetFactoryItem(id, std::nullopt, why);
    });
}

int ForceResult(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* entry = nullptr;
    int32_t value = 0;
    int r = sd_bus_message_read(m, "si", &entry, &value);
    if (r < 0) return r;
    return Change(m, error,
                  [&](gxsim::Refusal* why) { return gxsim::ForceResult(entry, value, why); });
}

int ClearForcedResult(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeText(m, error, [](const std::string& entry, gxsim::Refusal* why) {
        return gxsim::ClearForcedResult(entry, why);
    });
}

int ClearForcedResults(sd_bus_message* m, void*, sd_bus_error* error) {
    return Change(m, error, [](gxsim::Refusal* why) { return gxsim::ClearForcedResults(why); });
}

int MotionEntryPoints(sd_bus_message* m, void*, sd_bus_error*) {
    return ReplyWith(m, [](sd_bus_message* reply) {
        int r = sd_bus_message_open_container(reply, 'a', "s");
        for (const std::string& name : gxsim::MotionEntryPoints())
            if (r >= 0) r = sd_bus_message_append_basic(reply, 's', name.c_str());
        return r < 0 ? r : sd_bus_message_close_container(reply);
    });
}

int SetHiddenMotionEntryPoints(sd_bus_message* m, void*, sd_bus_error* error) {
    char** names = nullptr;
    int r = sd_bus_message_read_strv(m, &names);
    if (r < 0) return r;
    std::set<std::string> hidden;
    for (char** p = names; p != nullptr && *p != nullptr; ++p) {
        hidden.insert(*p);
        free(*p);
    }
    free(names);
    return Change(m, error, [&](gxsim::Refusal* why) {
        return gxsim::SetHiddenMotionEntryPoints(hidden, why);
    });
}

int SetNextMotionHandle(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeInt(m, error, [](int handle, gxsim::Refusal* why) {
        return gxsim::SetNextMotionHandle(handle, why);
    });
}

int SetNextFaceHandle(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeInt(m, error, [](int handle, gxsim::Refusal* why) {
        return gxsim::SetNextFaceHandle(handle, why);
    });
}

int StoredFaces(sd_bus_message* m, void*, sd_bus_error*) {
    return ReplyWith(m, [](sd_bus_message* reply) {
        int r = sd_bus_message_open_container(reply, 'a', gxsim::wire::kStoredFace);
        for (const gxsim::StoredFace& f : gxsim::StoredFaces())
            if (r >= 0)
                r = sd_bus_message_append(reply, gxsim::wire::kStoredFace, f.id,
                                          f.person.has_value(), f.person.value_or(0),
                                          f.imagePath.c_str(), f.x, f.y, f.w, f.h);
        return r < 0 ? r : sd_bus_message_close_container(reply);
    });
}

int SetFacesInView(sd_bus_message* m, void*, sd_bus_error* error) {
    std::vector<gxsim::ViewFace> faces;
    int r = ReadViewFaces(m, &faces);
    if (r < 0) return r;
    return Change(m, error, [&](gxsim::Refusal* why) { return gxsim::SetFacesInView(faces, why); });
}

int SetFaceVersion(sd_bus_message* m, void*, sd_bus_error* error) {
    double version = 0;
    int r = sd_bus_message_read(m, "d", &version);
    if (r < 0) return r;
    return Change(m, error, [&](gxsim::Refusal* why) {
        return gxsim::SetFaceVersion(static_cast<float>(version), why);
    });
}

int ClearFaceVersion(sd_bus_message* m, void*, sd_bus_error* error) {
    return Change(m, error,
                  [](gxsim::Refusal* why) { return gxsim::SetFaceVersion(std::nullopt, why); });
}

int SetFaceImageDirectory(sd_bus_message* m, void*, sd_bus_error* error) {
    return ChangeText(m, error, [](const std::string& dir, gxsim::Refusal* why) {
        return gxsim::SetFaceImageDirectory(dir, why);
    });
}

int GetSetting(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* key = nullptr;
    int r = sd_bus_message_read(m, "s", &key);
    if (r < 0) return r;
    int value = 0;
    if (vconf_get_int(key, &value) != 0) return SettingsError(error, "read", key);
    return sd_bus_reply_method_return(m, "i", static_cast<int32_t>(value));
}

int SetSetting(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* key = nullptr;
    int32_t value = 0;
    int r = sd_bus_message_read(m, "si", &key, &value);
    if (r < 0) return r;
    if (key[0] == '\0') return InvalidArgs(error, "the setting's key is empty");
    if (vconf_set_int(key, value) != 0) return SettingsError(error, "write", key);
    return ReplyEmpty(m);
}

int GetSettingsPath(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s", gxsim::GetSettingsPath().c_str());
}

}  // namespace gxsimbus
