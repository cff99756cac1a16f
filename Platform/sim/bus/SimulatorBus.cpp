// The simulated TV's control object /org/gxemp/Simulator1 and its host extension: --profile FILE
// for the start state, --log FILE for the simulated log service, and the object registered on
// every client connection (or on the bus). Each method calls the gxsim:: API of Sim.h.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"
#include "gxsim/Sim.h"
#include "vconf.h"

namespace {

// ---- Argument helpers --------------------------------------------------------------------------

int InvalidArgs(sd_bus_error* error, const std::string& message) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, message.c_str());
}

// Reads a face record given as a{sv}: "id", "x", "y", "w", "h" (int32) and "image_path"
// (string); what is not given keeps its default.
int ReadFaceRecord(sd_bus_message* m, gxsim::FaceRecord* record, sd_bus_error* error) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read_basic(m, 's', &key);
        if (r < 0) return r;
        std::string name = key;
        if (name == "image_path") {
            const char* path = nullptr;
            r = sd_bus_message_read(m, "v", "s", &path);
            if (r < 0) return InvalidArgs(error, "record field image_path must be a string");
            record->imagePath = std::string(path);
        } else {
            int* field = name == "id"  ? &record->id
                         : name == "x" ? &record->x
                         : name == "y" ? &record->y
                         : name == "w" ? &record->w
                         : name == "h" ? &record->h
                                       : nullptr;
            if (field == nullptr)
                return InvalidArgs(
                    error, "unknown face record field '" + name + "' (id, image_path, x, y, w, h)");
            int32_t value = 0;
            r = sd_bus_message_read(m, "v", "i", &value);
            if (r < 0) return InvalidArgs(error, "record field " + name + " must be an int32");
            *field = value;
        }
        r = sd_bus_message_exit_container(m);
        if (r < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int ReplyInt(sd_bus_message* m, int value) {
    return sd_bus_reply_method_return(m, "i", static_cast<int32_t>(value));
}
int ReplyBool(sd_bus_message* m, bool value) {
    return sd_bus_reply_method_return(m, "b", value ? 1 : 0);
}
int ReplyEmpty(sd_bus_message* m) {
    return sd_bus_reply_method_return(m, "");
}

// ---- Methods -----------------------------------------------------------------------------------

int Reset(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::Reset();
    return ReplyEmpty(m);
}

int LoadProfile(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* path = nullptr;
    int r = sd_bus_message_read(m, "s", &path);
    if (r < 0) return r;
    std::string message;
    if (!gxsim::LoadProfile(path, &message)) return InvalidArgs(error, message);
    return ReplyEmpty(m);
}

int EmitMotionSignal(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t signal = 0;
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "is", &signal, &text);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitMotionSignal(signal, std::string(text)));
}

int EmitMotionSignalWithoutData(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t signal = 0;
    int r = sd_bus_message_read(m, "i", &signal);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitMotionSignal(signal, std::nullopt));
}

int EmitFaceSignal(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t signal = 0;
    int r = sd_bus_message_read(m, "i", &signal);
    if (r < 0) return r;
    gxsim::FaceRecord record;
    r = ReadFaceRecord(m, &record, error);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitFaceSignal(signal, record));
}

int EmitFaceSignalWithoutData(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t signal = 0;
    int r = sd_bus_message_read(m, "i", &signal);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitFaceSignal(signal, std::nullopt));
}

int InvokeMotionCallback(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t handle = 0, signal = 0;
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "iis", &handle, &signal, &text);
    if (r < 0) return r;
    return ReplyBool(m, gxsim::InvokeMotionCallback(handle, signal, std::string(text)));
}

int InvokeMotionCallbackWithoutData(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t handle = 0, signal = 0;
    int r = sd_bus_message_read(m, "ii", &handle, &signal);
    if (r < 0) return r;
    return ReplyBool(m, gxsim::InvokeMotionCallback(handle, signal, std::nullopt));
}

int InvokeFaceCallback(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t handle = 0, signal = 0;
    int r = sd_bus_message_read(m, "ii", &handle, &signal);
    if (r < 0) return r;
    gxsim::FaceRecord record;
    r = ReadFaceRecord(m, &record, error);
    if (r < 0) return r;
    return ReplyBool(m, gxsim::InvokeFaceCallback(handle, signal, record));
}

int InvokeFaceCallbackWithoutData(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t handle = 0, signal = 0;
    int r = sd_bus_message_read(m, "ii", &handle, &signal);
    if (r < 0) return r;
    return ReplyBool(m, gxsim::InvokeFaceCallback(handle, signal, std::nullopt));
}

int Drain(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::Drain();
    return ReplyEmpty(m);
}

int SetCameraState(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t state = 0;
    int r = sd_bus_message_read(m, "i", &state);
    if (r < 0) return r;
    gxsim::SetCameraState(state);
    return ReplyEmpty(m);
}

int SetCameraQueryResult(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t rc = 0;
    int r = sd_bus_message_read(m, "i", &rc);
    if (r < 0) return r;
    gxsim::SetCameraQueryResult(rc);
    return ReplyEmpty(m);
}

int SetModel(sd_bus_message* m, void*, sd_bus_error*) {
    const char* model = nullptr;
    int r = sd_bus_message_read(m, "s", &model);
    if (r < 0) return r;
    gxsim::SetModel(std::string(model));
    return ReplyEmpty(m);
}

int ClearModel(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::SetModel(std::nullopt);
    return ReplyEmpty(m);
}

int GetModel(sd_bus_message* m, void*, sd_bus_error*) {
    std::optional<std::string> model = gxsim::GetModel();
    return sd_bus_reply_method_return(m, "bs", model.has_value() ? 1 : 0,
                                      model.has_value() ? model->c_str() : "");
}

int SetFactoryItem(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t id = 0, value = 0;
    int r = sd_bus_message_read(m, "ii", &id, &value);
    if (r < 0) return r;
    gxsim::SetFactoryItem(id, value);
    return ReplyEmpty(m);
}

int SetFactoryItemFailing(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t id = 0;
    int r = sd_bus_message_read(m, "i", &id);
    if (r < 0) return r;
    gxsim::SetFactoryItem(id, std::nullopt);
    return ReplyEmpty(m);
}

int ForceResult(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* entry = nullptr;
    int32_t value = 0;
    int r = sd_bus_message_read(m, "si", &entry, &value);
    if (r < 0) return r;
    if (!gxsim::ForceResult(entry, value))
        return InvalidArgs(error, std::string("unknown library entry point '") + entry + "'");
    return ReplyEmpty(m);
}

int ClearForcedResult(sd_bus_message* m, void*, sd_bus_error*) {
    const char* entry = nullptr;
    int r = sd_bus_message_read(m, "s", &entry);
    if (r < 0) return r;
    gxsim::ClearForcedResult(entry);
    return ReplyEmpty(m);
}

int ClearForcedResults(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ClearForcedResults();
    return ReplyEmpty(m);
}

int MotionEntryPoints(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& name : gxsim::MotionEntryPoints())
        if (r >= 0) r = sd_bus_message_append_basic(reply, 's', name.c_str());
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
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
    if (!gxsim::SetHiddenMotionEntryPoints(hidden))
        return InvalidArgs(error, "not every name is a motion entry point");
    return ReplyEmpty(m);
}

int SetNextMotionHandle(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t handle = 0;
    int r = sd_bus_message_read(m, "i", &handle);
    if (r < 0) return r;
    gxsim::SetNextMotionHandle(handle);
    return ReplyEmpty(m);
}

int SetNextFaceHandle(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t handle = 0;
    int r = sd_bus_message_read(m, "i", &handle);
    if (r < 0) return r;
    gxsim::SetNextFaceHandle(handle);
    return ReplyEmpty(m);
}

int Trace(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(sasi)");
    for (const gxsim::TraceEntry& entry : gxsim::Trace()) {
        if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "sasi");
        if (r >= 0) r = sd_bus_message_append_basic(reply, 's', entry.function.c_str());
        if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
        for (const std::string& arg : entry.args)
            if (r >= 0) r = sd_bus_message_append_basic(reply, 's', arg.c_str());
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_message_append(reply, "i", static_cast<int32_t>(entry.result));
        if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int ClearTrace(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ClearTrace();
    return ReplyEmpty(m);
}

int SetFacesInView(sd_bus_message* m, void*, sd_bus_error*) {
    std::vector<gxsim::ViewFace> faces;
    int r = sd_bus_message_enter_container(m, 'a', "(iiiii)");
    if (r < 0) return r;
    for (;;) {
        gxsim::ViewFace face;
        r = sd_bus_message_read(m, "(iiiii)", &face.person, &face.x, &face.y, &face.w, &face.h);
        if (r < 0) return r;
        if (r == 0) break;
        faces.push_back(face);
    }
    r = sd_bus_message_exit_container(m);
    if (r < 0) return r;
    gxsim::SetFacesInView(faces);
    return ReplyEmpty(m);
}

int SetFaceVersion(sd_bus_message* m, void*, sd_bus_error*) {
    double version = 0;
    int r = sd_bus_message_read(m, "d", &version);
    if (r < 0) return r;
    gxsim::SetFaceVersion(static_cast<float>(version));
    return ReplyEmpty(m);
}

int ClearFaceVersion(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::SetFaceVersion(std::nullopt);
    return ReplyEmpty(m);
}

int SetFaceImageDirectory(sd_bus_message* m, void*, sd_bus_error*) {
    const char* dir = nullptr;
    int r = sd_bus_message_read(m, "s", &dir);
    if (r < 0) return r;
    gxsim::SetFaceImageDirectory(dir);
    return ReplyEmpty(m);
}

int GetSetting(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* key = nullptr;
    int r = sd_bus_message_read(m, "s", &key);
    if (r < 0) return r;
    int value = 0;
    if (vconf_get_int(key, &value) != 0)
        return sd_bus_error_setf(error, "org.gxemp.Simulator1.Error.Settings",
                                 "cannot read the setting '%s' from %s", key,
                                 gxsim::GetSettingsPath().c_str());
    return ReplyInt(m, value);
}

int SetSetting(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* key = nullptr;
    int32_t value = 0;
    int r = sd_bus_message_read(m, "si", &key, &value);
    if (r < 0) return r;
    if (key[0] == '\0') return InvalidArgs(error, "the setting's key is empty");
    if (vconf_set_int(key, value) != 0)
        return sd_bus_error_setf(error, "org.gxemp.Simulator1.Error.Settings",
                                 "cannot write the setting '%s' to %s", key,
                                 gxsim::GetSettingsPath().c_str());
    return ReplyEmpty(m);
}

int GetSettingsPath(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s", gxsim::GetSettingsPath().c_str());
}

// Empty name lists are allowed: the "" keeps the names initializer a string literal.
#define SIM_METHOD(name, in, in_names, out, out_names)                         \
    SD_BUS_METHOD_WITH_NAMES(#name, in, "" in_names, out, "" out_names, &name, \
                             SD_BUS_VTABLE_UNPRIVILEGED)

const sd_bus_vtable kSimulatorVtable[] = {
    SD_BUS_VTABLE_START(0),
    SIM_METHOD(Reset, "", , "", ),
    SIM_METHOD(LoadProfile, "s", SD_BUS_PARAM(path), "", ),
    SIM_METHOD(EmitMotionSignal, "is", SD_BUS_PARAM(signal) SD_BUS_PARAM(text), "i",
               SD_BUS_PARAM(queued)),
    SIM_METHOD(EmitMotionSignalWithoutData, "i", SD_BUS_PARAM(signal), "i", SD_BUS_PARAM(queued)),
    SIM_METHOD(EmitFaceSignal, "ia{sv}", SD_BUS_PARAM(signal) SD_BUS_PARAM(record), "i",
               SD_BUS_PARAM(queued)),
    SIM_METHOD(EmitFaceSignalWithoutData, "i", SD_BUS_PARAM(signal), "i", SD_BUS_PARAM(queued)),
    SIM_METHOD(InvokeMotionCallback, "iis",
               SD_BUS_PARAM(handle) SD_BUS_PARAM(signal) SD_BUS_PARAM(text), "b",
               SD_BUS_PARAM(called)),
    SIM_METHOD(InvokeMotionCallbackWithoutData, "ii", SD_BUS_PARAM(handle) SD_BUS_PARAM(signal),
               "b", SD_BUS_PARAM(called)),
    SIM_METHOD(InvokeFaceCallback, "iia{sv}",
               SD_BUS_PARAM(handle) SD_BUS_PARAM(signal) SD_BUS_PARAM(record), "b",
               SD_BUS_PARAM(called)),
    SIM_METHOD(InvokeFaceCallbackWithoutData, "ii", SD_BUS_PARAM(handle) SD_BUS_PARAM(signal), "b",
               SD_BUS_PARAM(called)),
    SIM_METHOD(Drain, "", , "", ),
    SIM_METHOD(SetCameraState, "i", SD_BUS_PARAM(state), "", ),
    SIM_METHOD(SetCameraQueryResult, "i", SD_BUS_PARAM(result), "", ),
    SIM_METHOD(SetModel, "s", SD_BUS_PARAM(model), "", ),
    SIM_METHOD(ClearModel, "", , "", ),
    SIM_METHOD(GetModel, "", , "bs", SD_BUS_PARAM(present) SD_BUS_PARAM(model)),
    SIM_METHOD(SetFactoryItem, "ii", SD_BUS_PARAM(id) SD_BUS_PARAM(value), "", ),
    SIM_METHOD(SetFactoryItemFailing, "i", SD_BUS_PARAM(id), "", ),
    SIM_METHOD(ForceResult, "si", SD_BUS_PARAM(entry) SD_BUS_PARAM(value), "", ),
    SIM_METHOD(ClearForcedResult, "s", SD_BUS_PARAM(entry), "", ),
    SIM_METHOD(ClearForcedResults, "", , "", ),
    SIM_METHOD(MotionEntryPoints, "", , "as", SD_BUS_PARAM(names)),
    SIM_METHOD(SetHiddenMotionEntryPoints, "as", SD_BUS_PARAM(names), "", ),
    SIM_METHOD(SetNextMotionHandle, "i", SD_BUS_PARAM(handle), "", ),
    SIM_METHOD(SetNextFaceHandle, "i", SD_BUS_PARAM(handle), "", ),
    SIM_METHOD(Trace, "", , "a(sasi)", SD_BUS_PARAM(calls)),
    SIM_METHOD(ClearTrace, "", , "", ),
    SIM_METHOD(SetFacesInView, "a(iiiii)", SD_BUS_PARAM(faces), "", ),
    SIM_METHOD(SetFaceVersion, "d", SD_BUS_PARAM(version), "", ),
    SIM_METHOD(ClearFaceVersion, "", , "", ),
    SIM_METHOD(SetFaceImageDirectory, "s", SD_BUS_PARAM(path), "", ),
    SIM_METHOD(GetSetting, "s", SD_BUS_PARAM(key), "i", SD_BUS_PARAM(value)),
    SIM_METHOD(SetSetting, "si", SD_BUS_PARAM(key) SD_BUS_PARAM(value), "", ),
    SIM_METHOD(GetSettingsPath, "", , "s", SD_BUS_PARAM(path)),
    SD_BUS_VTABLE_END};

// ---- The extension -----------------------------------------------------------------------------

class SimulatorExtension : public gxhost::Extension {
public:
    std::vector<gxhost::ExtensionOption> Options() const override {
        return {{"profile", "FILE", "start the simulated TV in the state FILE describes"},
                {"settings", "FILE", "the simulated settings store (default $GXEMP_SETTINGS)"}};
    }

    bool HandleOption(const std::string& name, const std::string& value,
                      std::string* error) override {
        if (value.empty()) {
            *error = "needs a file name";
            return false;
        }
        if (name == "profile") m_Profile = value;
        if (name == "settings") m_Settings = value;
        return true;
    }

    bool Start(std::string* error) override {
        if (!m_Settings.empty()) gxsim::SetSettingsPath(m_Settings);
        if (m_Profile.empty()) return true;
        std::string message;
        if (!gxsim::LoadProfile(m_Profile, &message)) {
            *error = "cannot use the profile " + m_Profile + ": " + message;
            return false;
        }
        return true;
    }

    bool SetLogFile(const std::string& path, std::string* error) override {
        if (!gxsim::SetLogFile(path, error) && error->empty()) *error = "cannot open the file";
        return true;
    }

    void FlushLog() override { gxsim::FlushLog(); }

    int AttachObjects(sd_bus* bus) override {
        return sd_bus_add_object_vtable(bus, nullptr, gxhost::kSimulatorPath,
                                        gxhost::kSimulatorInterface, kSimulatorVtable, nullptr);
    }

    void Stop() override { gxsim::FlushLog(); }

private:
    std::string m_Profile;
    std::string m_Settings;
};

SimulatorExtension g_Extension;
[[maybe_unused]] const bool g_Registered = (gxhost::RegisterExtension(&g_Extension), true);

}  // namespace
