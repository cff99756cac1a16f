// The simulated TV's control object /org/gxemp/Simulator1 and its host extension: --profile FILE
// for the start state, --log FILE for the simulated log service, and the object registered on
// every client connection (or on the bus). Each method calls the gxsim:: API of Sim.h.
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"
#include "StateLink.h"
#include "gxsim/Sim.h"
#include "vconf.h"

namespace {

// ---- Argument helpers --------------------------------------------------------------------------

int InvalidArgs(sd_bus_error* error, const std::string& message) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, message.c_str());
}

// Every method's input is checked against the limits before it runs or is relayed.
template <sd_bus_message_handler_t Handler>
int Checked(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    int r = gxsimbus::CheckInputs(m, error);
    return r < 0 ? r : Handler(m, userdata, error);
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

// A change of the TV's state: done, or refused with the reason as a D-Bus error.
int ReplyChange(sd_bus_message* m, bool done, const gxsim::Refusal& why, sd_bus_error* error) {
    if (done) return ReplyEmpty(m);
    switch (why.kind) {
        case gxsim::Refusal::TooLarge:
            return sd_bus_error_set(error, gxsimbus::kErrorTooLarge, why.message.c_str());
        case gxsim::Refusal::Unavailable:
            return sd_bus_error_set(error, gxsimbus::kErrorUnavailable, why.message.c_str());
        case gxsim::Refusal::Invalid:
            break;
    }
    return InvalidArgs(error, why.message);
}

// Trace entries travel as a(tusasis): sequence number, worker, function, arguments, result and
// what the pointers carried.
constexpr char kTraceEntry[] = "(tusasis)";

int AppendTrace(sd_bus_message* m, const std::vector<gxsim::TraceEntry>& entries) {
    int r = sd_bus_message_open_container(m, 'a', kTraceEntry);
    for (const gxsim::TraceEntry& e : entries) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'r', "tusasis");
        if (r >= 0)
            r = sd_bus_message_append(m, "tus", static_cast<uint64_t>(e.seq),
                                      static_cast<uint32_t>(e.worker), e.function.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
        for (const std::string& arg : e.args)
            if (r >= 0) r = sd_bus_message_append_basic(m, 's', arg.c_str());
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0)
            r = sd_bus_message_append(m, "is", static_cast<int32_t>(e.result), e.detail.c_str());
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int ReadTrace(sd_bus_message* m, std::vector<gxsim::TraceEntry>* out) {
    int r = sd_bus_message_enter_container(m, 'a', kTraceEntry);
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "tusasis")) > 0) {
        gxsim::TraceEntry e;
        uint64_t seq = 0;
        uint32_t worker = 0;
        const char* fn = nullptr;
        r = sd_bus_message_read(m, "tus", &seq, &worker, &fn);
        if (r < 0) return r;
        char** args = nullptr;
        r = sd_bus_message_read_strv(m, &args);
        if (r < 0) return r;
        for (char** a = args; a != nullptr && *a != nullptr; ++a) {
            e.args.push_back(*a);
            free(*a);
        }
        free(args);
        int32_t result = 0;
        const char* detail = nullptr;
        r = sd_bus_message_read(m, "is", &result, &detail);
        if (r < 0) return r;
        e.seq = seq;
        e.worker = static_cast<int>(worker);
        e.function = fn;
        e.result = result;
        e.detail = detail;
        out->push_back(std::move(e));
        r = sd_bus_message_exit_container(m);
        if (r < 0) return r;
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

int ReplyTrace(sd_bus_message* m, const std::vector<gxsim::TraceEntry>& entries) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = AppendTrace(reply, entries);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

// ---- Methods -----------------------------------------------------------------------------------

int Reset(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ResetTv();  // running clients keep their subscriptions
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

int SetCameraState(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t state = 0;
    int r = sd_bus_message_read(m, "i", &state);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetCameraState(state, &why), why, error);
}

int SetCameraQueryResult(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t rc = 0;
    int r = sd_bus_message_read(m, "i", &rc);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetCameraQueryResult(rc, &why), why, error);
}

int SetModel(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* model = nullptr;
    int r = sd_bus_message_read(m, "s", &model);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetModel(std::string(model), &why), why, error);
}

int ClearModel(sd_bus_message* m, void*, sd_bus_error* error) {
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetModel(std::nullopt, &why), why, error);
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
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFactoryItem(id, value, &why), why, error);
}

int SetFactoryItemFailing(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t id = 0;
    int r = sd_bus_message_read(m, "i", &id);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFactoryItem(id, std::nullopt, &why), why, error);
}

int ForceResult(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* entry = nullptr;
    int32_t value = 0;
    int r = sd_bus_message_read(m, "si", &entry, &value);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::ForceResult(entry, value, &why), why, error);
}

int ClearForcedResult(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* entry = nullptr;
    int r = sd_bus_message_read(m, "s", &entry);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::ClearForcedResult(entry, &why), why, error);
}

int ClearForcedResults(sd_bus_message* m, void*, sd_bus_error* error) {
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::ClearForcedResults(&why), why, error);
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
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetHiddenMotionEntryPoints(hidden, &why), why, error);
}

int SetNextMotionHandle(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t handle = 0;
    int r = sd_bus_message_read(m, "i", &handle);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetNextMotionHandle(handle, &why), why, error);
}

int SetNextFaceHandle(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t handle = 0;
    int r = sd_bus_message_read(m, "i", &handle);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetNextFaceHandle(handle, &why), why, error);
}

int Trace(sd_bus_message* m, void*, sd_bus_error*) {
    return ReplyTrace(m, gxsim::Trace());
}

int MotionStates(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(uiiiiiiiai)");
    for (const gxsim::MotionState& st : gxsim::MotionStates()) {
        if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "uiiiiiiiai");
        if (r >= 0)
            r = sd_bus_message_append(reply, "uiiiiiii", static_cast<uint32_t>(getpid()), st.handle,
                                      st.status, st.enabled, st.hint, st.swipe, st.zoomTrigger,
                                      st.rotateTrigger);
        std::vector<int32_t> signals(st.subscribed.begin(), st.subscribed.end());
        if (r >= 0)
            r = sd_bus_message_append_array(reply, 'i', signals.data(),
                                            signals.size() * sizeof(int32_t));
        if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int StoredFaces(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ibisiiii)");
    for (const gxsim::StoredFace& f : gxsim::StoredFaces())
        if (r >= 0)
            r = sd_bus_message_append(reply, "(ibisiiii)", f.id, f.person.has_value(),
                                      f.person.value_or(0), f.imagePath.c_str(), f.x, f.y, f.w,
                                      f.h);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int ClearTrace(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ClearTrace();
    return ReplyEmpty(m);
}

int SetFacesInView(sd_bus_message* m, void*, sd_bus_error* error) {
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
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFacesInView(faces, &why), why, error);
}

int SetFaceVersion(sd_bus_message* m, void*, sd_bus_error* error) {
    double version = 0;
    int r = sd_bus_message_read(m, "d", &version);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFaceVersion(static_cast<float>(version), &why), why, error);
}

int ClearFaceVersion(sd_bus_message* m, void*, sd_bus_error* error) {
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFaceVersion(std::nullopt, &why), why, error);
}

int SetFaceImageDirectory(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* dir = nullptr;
    int r = sd_bus_message_read(m, "s", &dir);
    if (r < 0) return r;
    gxsim::Refusal why;
    return ReplyChange(m, gxsim::SetFaceImageDirectory(dir, &why), why, error);
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

// ---- The methods, and where each takes effect ---------------------------------------------------
//
// The TV's state (camera, model, factory data, faces in view, forced results, stored faces...) is
// shared by every process serving the TV, so a method that reads or changes it runs where it is
// called. What lives in each process's own libraries (instances, subscriptions, signals, the
// trace) is reached in every worker: a worker relays such a call to the broker, which spreads it
// over every worker's control link and combines the answers.
//
// SIM_METHODS(HERE, EVERYWHERE) lists them all: name, in signature and names, out signature and
// names.
#define SIM_METHODS(HERE, EVERYWHERE)                                                             \
    EVERYWHERE(Reset, "", , "", )                                                                 \
    HERE(LoadProfile, "s", SD_BUS_PARAM(path), "", )                                              \
    EVERYWHERE(EmitMotionSignal, "is", SD_BUS_PARAM(signal) SD_BUS_PARAM(text), "i",              \
               SD_BUS_PARAM(queued))                                                              \
    EVERYWHERE(EmitMotionSignalWithoutData, "i", SD_BUS_PARAM(signal), "i", SD_BUS_PARAM(queued)) \
    EVERYWHERE(EmitFaceSignal, "ia{sv}", SD_BUS_PARAM(signal) SD_BUS_PARAM(record), "i",          \
               SD_BUS_PARAM(queued))                                                              \
    EVERYWHERE(EmitFaceSignalWithoutData, "i", SD_BUS_PARAM(signal), "i", SD_BUS_PARAM(queued))   \
    EVERYWHERE(InvokeMotionCallback, "iis",                                                       \
               SD_BUS_PARAM(handle) SD_BUS_PARAM(signal) SD_BUS_PARAM(text), "b",                 \
               SD_BUS_PARAM(called))                                                              \
    EVERYWHERE(InvokeMotionCallbackWithoutData, "ii", SD_BUS_PARAM(handle) SD_BUS_PARAM(signal),  \
               "b", SD_BUS_PARAM(called))                                                         \
    EVERYWHERE(InvokeFaceCallback, "iia{sv}",                                                     \
               SD_BUS_PARAM(handle) SD_BUS_PARAM(signal) SD_BUS_PARAM(record), "b",               \
               SD_BUS_PARAM(called))                                                              \
    EVERYWHERE(InvokeFaceCallbackWithoutData, "ii", SD_BUS_PARAM(handle) SD_BUS_PARAM(signal),    \
               "b", SD_BUS_PARAM(called))                                                         \
    EVERYWHERE(Drain, "", , "", )                                                                 \
    HERE(SetCameraState, "i", SD_BUS_PARAM(state), "", )                                          \
    HERE(SetCameraQueryResult, "i", SD_BUS_PARAM(result), "", )                                   \
    HERE(SetModel, "s", SD_BUS_PARAM(model), "", )                                                \
    HERE(ClearModel, "", , "", )                                                                  \
    HERE(GetModel, "", , "bs", SD_BUS_PARAM(present) SD_BUS_PARAM(model))                         \
    HERE(SetFactoryItem, "ii", SD_BUS_PARAM(id) SD_BUS_PARAM(value), "", )                        \
    HERE(SetFactoryItemFailing, "i", SD_BUS_PARAM(id), "", )                                      \
    HERE(ForceResult, "si", SD_BUS_PARAM(entry) SD_BUS_PARAM(value), "", )                        \
    HERE(ClearForcedResult, "s", SD_BUS_PARAM(entry), "", )                                       \
    HERE(ClearForcedResults, "", , "", )                                                          \
    HERE(MotionEntryPoints, "", , "as", SD_BUS_PARAM(names))                                      \
    HERE(SetHiddenMotionEntryPoints, "as", SD_BUS_PARAM(names), "", )                             \
    HERE(SetNextMotionHandle, "i", SD_BUS_PARAM(handle), "", )                                    \
    HERE(SetNextFaceHandle, "i", SD_BUS_PARAM(handle), "", )                                      \
    EVERYWHERE(Trace, "", , "a(tusasis)", SD_BUS_PARAM(calls))                                    \
    EVERYWHERE(ClearTrace, "", , "", )                                                            \
    EVERYWHERE(MotionStates, "", , "a(uiiiiiiiai)", SD_BUS_PARAM(instances))                      \
    HERE(StoredFaces, "", , "a(ibisiiii)", SD_BUS_PARAM(faces))                                   \
    HERE(SetFacesInView, "a(iiiii)", SD_BUS_PARAM(faces), "", )                                   \
    HERE(SetFaceVersion, "d", SD_BUS_PARAM(version), "", )                                        \
    HERE(ClearFaceVersion, "", , "", )                                                            \
    HERE(SetFaceImageDirectory, "s", SD_BUS_PARAM(path), "", )                                    \
    HERE(GetSetting, "s", SD_BUS_PARAM(key), "i", SD_BUS_PARAM(value))                            \
    HERE(SetSetting, "si", SD_BUS_PARAM(key) SD_BUS_PARAM(value), "", )                           \
    HERE(GetSettingsPath, "", , "s", SD_BUS_PARAM(path))

// Empty name lists are allowed: the "" keeps the names initializer a string literal.
#define SIM_METHOD(name, in, in_names, out, out_names, handler)                  \
    SD_BUS_METHOD_WITH_NAMES(#name, in, "" in_names, out, "" out_names, handler, \
                             SD_BUS_VTABLE_UNPRIVILEGED),
#define SIM_HERE(name, in, in_names, out, out_names) \
    SIM_METHOD(name, in, in_names, out, out_names, &Checked<&name>)
#define SIM_SKIP(name, in, in_names, out, out_names)

int Relay(sd_bus_message* m, void* userdata, sd_bus_error* error);
int Spread(sd_bus_message* m, void* userdata, sd_bus_error* error);
int Retire(sd_bus_message* m, void* userdata, sd_bus_error* error);
int OpenEditLink(sd_bus_message* m, void* userdata, sd_bus_error* error);

#define SIM_RELAYED(name, in, in_names, out, out_names) \
    SIM_METHOD(name, in, in_names, out, out_names, &Checked<&Relay>)
#define SIM_SPREAD(name, in, in_names, out, out_names) \
    SIM_METHOD(name, in, in_names, out, out_names, &Spread)

// Where every method runs in this process: a single process, and a worker on its control link.
const sd_bus_vtable kLocalVtable[] = {SD_BUS_VTABLE_START(0),
                                      SIM_METHODS(SIM_HERE, SIM_HERE) SD_BUS_VTABLE_END};
// A worker's clients: what lives in every worker goes to the broker.
const sd_bus_vtable kWorkerVtable[] = {SD_BUS_VTABLE_START(0),
                                       SIM_METHODS(SIM_HERE, SIM_RELAYED) SD_BUS_VTABLE_END};
// The broker, on each worker's control link: spreads those calls over every worker, and keeps
// the trace of workers that have ended.
const sd_bus_vtable kBrokerVtable[] = {
    // clang-format off
    SD_BUS_VTABLE_START(0),
    SIM_METHODS(SIM_SKIP, SIM_SPREAD)
    SD_BUS_METHOD_WITH_NAMES("Retire", "a(tusasis)", SD_BUS_PARAM(calls), "", "", &Retire,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("OpenEditLink", "h", SD_BUS_PARAM(link), "", "", &OpenEditLink,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
// clang-format on

// How the broker combines the workers' answers to a spread call.
enum class Combine { Nothing, Sum, Any, Concat, Trace };

Combine CombineOf(const char* method) {
    static const std::map<std::string, Combine> kCombine = {
        {"EmitMotionSignal", Combine::Sum},
        {"EmitMotionSignalWithoutData", Combine::Sum},
        {"EmitFaceSignal", Combine::Sum},
        {"EmitFaceSignalWithoutData", Combine::Sum},
        {"InvokeMotionCallback", Combine::Any},
        {"InvokeMotionCallbackWithoutData", Combine::Any},
        {"InvokeFaceCallback", Combine::Any},
        {"InvokeFaceCallbackWithoutData", Combine::Any},
        {"Trace", Combine::Trace},
        {"MotionStates", Combine::Concat},
    };
    auto it = kCombine.find(method);
    return it == kCombine.end() ? Combine::Nothing : it->second;
}

// What the broker keeps of the calls of workers that have ended, and what one Trace reply holds:
// the newest entries, as many as fit both bounds. (sd-bus refuses an array above 64 MiB and a
// message above 128 MiB: the link that received one would be closed.)
constexpr size_t kMaxTrace = 100000;
constexpr size_t kMaxRetiredBytes = 16u << 20;
constexpr size_t kMaxTraceReplyBytes = 16u << 20;

// A sanitizer build runs several times slower: its waits are longer in proportion.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kSlowdown = 4;
#else
constexpr uint64_t kSlowdown = 1;
#endif
// How long the broker waits for one worker's answer to a spread call: a worker that misses it is
// left out of that call and of every later one until it answers again (a Ping the broker sends
// it, every kProbeUsec while it does not). One found stopped (SIGSTOP, a debugger) is left out
// after kStoppedCheckUsec already; one that runs may be slow only because the machine is busy,
// and gets the whole kSpreadTimeoutUsec.
// A running worker's Trace may be megabytes to build and send: it gets kTraceTimeoutUsec.
constexpr uint64_t kStoppedCheckUsec = kSlowdown * 300 * 1000;
constexpr uint64_t kSpreadTimeoutUsec = kSlowdown * 900 * 1000;
constexpr uint64_t kTraceTimeoutUsec = kSlowdown * 3 * 1000 * 1000;
constexpr uint64_t kProbeUsec = 10ull * 1000 * 1000;
// How long a worker waits for the broker's combined answer.
constexpr uint64_t kRelayTimeoutUsec = kSlowdown * 5 * 1000 * 1000;
// What sd-bus may hold for one worker that does not read its link; beyond either bound calls to
// it are dropped (counted, and logged once it answers again) and it counts as not answering.
constexpr uint64_t kMaxQueuedMessages = 256;
constexpr size_t kMaxQueuedBytes = 2u << 20;

// Roughly what a message weighs on a link: its texts and a little for everything else.
size_t MessageBytes(sd_bus_message* m) {
    size_t bytes = 8;
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_peek_type(m, &type, &contents) <= 0) break;
        if (type == SD_BUS_TYPE_ARRAY || type == SD_BUS_TYPE_STRUCT ||
            type == SD_BUS_TYPE_VARIANT || type == SD_BUS_TYPE_DICT_ENTRY) {
            if (sd_bus_message_enter_container(m, type, contents) <= 0) break;
            bytes += MessageBytes(m);
            if (sd_bus_message_exit_container(m) < 0) break;
        } else if (type == SD_BUS_TYPE_STRING || type == SD_BUS_TYPE_OBJECT_PATH ||
                   type == SD_BUS_TYPE_SIGNATURE) {
            const char* text = nullptr;
            if (sd_bus_message_read_basic(m, type, &text) <= 0) break;
            bytes += std::strlen(text) + 8;
        } else {
            const char skip[2] = {type, '\0'};
            if (sd_bus_message_skip(m, skip) <= 0) break;
            bytes += 8;
        }
    }
    return bytes;
}

// The newest entries of `all` (sorted by sequence) that fit a reply; the first entry then says
// how many older ones were left out (see docs/SIMULATOR.md).
void CapTraceReply(std::vector<gxsim::TraceEntry>* all) {
    size_t bytes = 0, keep = 0;
    for (auto it = all->rbegin(); it != all->rend() && keep < kMaxTrace; ++it, ++keep) {
        bytes += gxsim::TraceEntryBytes(*it);
        if (bytes > kMaxTraceReplyBytes) break;
    }
    size_t left = all->size() - keep;
    if (left == 0) return;
    all->erase(all->begin(), all->begin() + static_cast<std::ptrdiff_t>(left));
    gxsim::TraceEntry note;
    note.result = static_cast<int>(std::min<size_t>(left, INT32_MAX));
    note.detail = std::to_string(left) +
                  " older calls left out: a reply holds the newest calls that fit in " +
                  std::to_string(kMaxTraceReplyBytes >> 20) + " MiB, " + std::to_string(kMaxTrace) +
                  " at most";
    all->insert(all->begin(), std::move(note));
}

// ---- The extension -----------------------------------------------------------------------------

class SimulatorExtension : public gxhost::Extension {
public:
    std::vector<gxhost::ExtensionOption> Options() const override {
        return {{"profile", "FILE", "start the simulated TV in the state FILE describes"},
                {"settings", "FILE", "the simulated settings store (default $GXEMP_SETTINGS)"},
                {"no-simulator-control", "",
                 "serve no org.gxemp.Simulator1 (the TV's test\n"
                 "                         harness: it sees and drives every client's app)"}};
    }

    bool HandleOption(const std::string& name, const std::string& value,
                      std::string* error) override {
        if (name == "no-simulator-control") {
            m_NoControl = true;
            return true;
        }
        if (value.empty()) {
            *error = "needs a file name";
            return false;
        }
        if (name == "profile") m_Profile = value;
        if (name == "settings") m_Settings = value;
        return true;
    }

    bool OwnsLog() const override { return true; }
    bool OpenLog(const std::string& path, std::string* error) override {
        return gxsim::OpenLog(path, error);
    }
    bool ReopenLog(std::string* error) override { return gxsim::ReopenLog(error); }
    void DiscardEarlyLog() override { gxsim::DiscardHeldLog(); }
    void SetLogLevel(int priority) override { gxsim::SetLogLevel(priority); }
    void FlushLog() override { gxsim::FlushLog(); }

    bool Start(gxhost::Role role, int descriptor, std::string* error) override {
        m_Role = role;
        if (role == gxhost::Role::Worker) {
            // The broker has the TV; the worker joins it.
            if (descriptor >= 0 && gxsim::JoinSharedState(descriptor, error)) return true;
            if (error->empty()) *error = "the broker shared no simulated TV";
            return false;
        }
        // Images of earlier runs that are gone (killed, or crashed) go now.
        gxsim::RemoveStaleFaceImageDirectories();
        if (role == gxhost::Role::Broker) {
            m_Shared = gxsim::ShareState(error);
            if (m_Shared < 0) return false;
        }
        if (!m_Settings.empty()) gxsim::SetSettingsPath(m_Settings);
        if (m_Profile.empty()) return true;
        std::string message;
        if (!gxsim::LoadProfile(m_Profile, &message)) {
            *error = "cannot use the profile " + m_Profile + ": " + message;
            return false;
        }
        return true;
    }

    int SharedDescriptor() override { return m_Shared; }

    std::vector<std::string> WorkerOptions() const override {
        if (m_NoControl) return {"--no-simulator-control"};
        return {};
    }

    int AttachObjects(sd_bus* bus) override {
        // The test harness of the whole TV, withheld from clients that should not drive each
        // other's applications.
        if (m_NoControl) return 0;
        return sd_bus_add_object_vtable(
            bus, nullptr, gxhost::kSimulatorPath, gxhost::kSimulatorInterface,
            m_Role == gxhost::Role::Worker ? kWorkerVtable : kLocalVtable, this);
    }

    int AttachControl(sd_bus* control, pid_t worker) override {
        if (worker == 0) {
            m_Control = control;
            int r = sd_bus_add_object_vtable(control, nullptr, gxhost::kSimulatorPath,
                                             gxhost::kSimulatorInterface, kLocalVtable, this);
            return r < 0 ? r : gxsimbus::OpenWorkerEditLink(control);
        }
        Link& link = m_Links[worker];
        link.ext = this;
        link.pid = worker;
        link.bus = control;
        return sd_bus_add_object_vtable(control, nullptr, gxhost::kSimulatorPath,
                                        gxhost::kSimulatorInterface, kBrokerVtable, this);
    }

    void DetachControl(pid_t worker) override {
        m_EditLinks.Close(worker);
        auto it = m_Links.find(worker);
        if (it == m_Links.end()) return;
        sd_bus_slot_unref(it->second.probe);
        m_Links.erase(it);
    }

    void Stop() override {
        if (m_Control != nullptr) {
            RetireTrace();
            gxsimbus::CloseWorkerEditLink();
        }
        gxsim::FlushLog();
    }

    // Broker: a worker hands over the other end of its edit link.
    int AcceptEditLink(sd_bus_message* m, sd_bus_error* error) {
        sd_bus* control = sd_bus_message_get_bus(m);
        for (const auto& [pid, link] : m_Links)
            if (link.bus == control) return m_EditLinks.Accept(m, pid, error);
        return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "not a worker's link");
    }

    // ---- Worker: calls that reach every worker go through the broker --------------------------

    static int OnRelayed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* request = static_cast<sd_bus_message*>(userdata);
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            sd_bus_reply_method_error(request, sd_bus_message_get_error(reply));
        } else {
            sd_bus_message* answer = nullptr;
            int r = sd_bus_message_new_method_return(request, &answer);
            if (r >= 0) r = sd_bus_message_copy(answer, reply, 1);
            if (r >= 0) sd_bus_send(nullptr, answer, nullptr);
            sd_bus_message_unref(answer);
        }
        sd_bus_message_unref(request);
        return 1;  // handled (a closing connection goes on to its next pending call)
    }

    // A call of the same method with the same arguments, to be sent on `link`.
    static int CopyCall(sd_bus* link, sd_bus_message* m, sd_bus_message** call) {
        int r = sd_bus_message_new_method_call(link, call, nullptr, gxhost::kSimulatorPath,
                                               gxhost::kSimulatorInterface,
                                               sd_bus_message_get_member(m));
        if (r >= 0) r = sd_bus_message_rewind(m, 1);
        if (r >= 0) r = sd_bus_message_copy(*call, m, 1);
        return r;
    }

    int RelayToBroker(sd_bus_message* m) {
        sd_bus_message* call = nullptr;
        int r = CopyCall(m_Control, m, &call);
        if (r >= 0 && !sd_bus_message_get_expect_reply(m)) {
            // Nobody waits for an answer (a stream of gestures): nor does anyone on the way.
            r = sd_bus_message_set_expect_reply(call, 0);
            if (r >= 0) r = sd_bus_send(m_Control, call, nullptr);
        } else if (r >= 0) {
            sd_bus_message_ref(m);
            r = sd_bus_call_async(m_Control, nullptr, call, &OnRelayed, m, kRelayTimeoutUsec);
            if (r < 0) sd_bus_message_unref(m);
        }
        sd_bus_message_unref(call);
        return r < 0 ? r : 1;  // answered when the broker answers
    }

    // A worker's trace would end with it: it hands the trace to the broker before it exits.
    void RetireTrace() {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_message_new_method_call(m_Control, &call, nullptr, gxhost::kSimulatorPath,
                                               gxhost::kSimulatorInterface, "Retire");
        if (r >= 0) r = AppendTrace(call, gxsim::Trace());
        if (r >= 0) r = sd_bus_call(m_Control, call, 5 * 1000 * 1000, &error, &reply);
        if (r < 0)
            gxhost::Log(gxhost::kLogError, "cannot hand the trace to the broker: %s",
                        error.message != nullptr ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
    }

    // ---- Broker: spreading a call over every worker -------------------------------------------
    //
    // No worker can hold up another's call: each is asked with a short timeout, one that misses it
    // (stopped, or stuck) is named in the log and asked nothing more until it answers a Ping again,
    // and what sd-bus queues for a worker that does not read is bounded (kMaxQueued*).

    struct Link {
        SimulatorExtension* ext = nullptr;
        pid_t pid = 0;
        sd_bus* bus = nullptr;
        bool answering = true;
        uint64_t dropped = 0;       // calls not sent while it did not answer
        std::deque<size_t> queued;  // the sizes of what sd-bus holds for it, as far as known
        size_t queuedBytes = 0;
        sd_bus_slot* probe = nullptr;  // the Ping that asks whether it answers again
    };

    struct Ask;
    struct Gather {
        SimulatorExtension* ext = nullptr;
        sd_bus_message* request = nullptr;
        Combine combine = Combine::Nothing;
        size_t pending = 0;
        std::vector<Ask*> asks;  // those still waited for
        sd_event_source* stoppedCheck = nullptr;
        int32_t sum = 0;
        bool any = false;
        std::vector<sd_bus_message*> replies;  // Concat
        std::vector<gxsim::TraceEntry> trace;  // Trace
    };

    // One worker asked for its part of a gathered call.
    struct Ask {
        Gather* gather;
        pid_t pid;
        sd_bus_slot* slot = nullptr;  // floating: the link owns it
    };

    // Whether the process is stopped: by a signal, or by a debugger.
    static bool IsStopped(pid_t pid) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        FILE* f = std::fopen(path, "re");
        if (f == nullptr) return false;
        char text[512] = "";
        size_t n = std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        text[n] = '\0';
        const char* end = std::strrchr(text, ')');
        return end != nullptr && end[1] == ' ' && (end[2] == 'T' || end[2] == 't');
    }

    static int OnStoppedCheck(sd_event_source*, uint64_t, void* userdata) {
        auto* gather = static_cast<Gather*>(userdata);
        ++gather->pending;  // the gather outlives the asks dropped here
        std::vector<Ask*> asks = gather->asks;
        for (Ask* ask : asks) {
            if (ask == nullptr || !IsStopped(ask->pid)) continue;
            auto link = gather->ext->m_Links.find(ask->pid);
            if (link != gather->ext->m_Links.end())
                gather->ext->StopAsking(link->second,
                                        std::string("is stopped and did not answer ") +
                                            sd_bus_message_get_member(gather->request));
            sd_bus_slot_unref(ask->slot);  // ends the ask (OnAskEnded)
        }
        if (--gather->pending == 0) gather->ext->Finish(gather);
        return 0;
    }

    // Marks a link as not answering (one line naming the worker) and starts asking it whether it
    // answers again.
    void StopAsking(Link& link, const std::string& why) {
        if (!link.answering) return;
        link.answering = false;
        gxhost::Log(gxhost::kLogError,
                    "worker %d %s: it is left out of simulator calls until it answers again",
                    static_cast<int>(link.pid), why.c_str());
        Probe(link);
    }

    void Probe(Link& link) {
        link.probe = sd_bus_slot_unref(link.probe);
        sd_bus_message* ping = nullptr;
        int r = sd_bus_message_new_method_call(link.bus, &ping, nullptr, "/",
                                               "org.freedesktop.DBus.Peer", "Ping");
        if (r >= 0)
            r = sd_bus_call_async(link.bus, &link.probe, ping, &OnProbed, &link, kProbeUsec);
        if (r < 0) link.probe = nullptr;
        sd_bus_message_unref(ping);
    }

    static int OnProbed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* link = static_cast<Link*>(userdata);
        const sd_bus_error* e = sd_bus_message_get_error(reply);
        if (e != nullptr) {
            // Still silent: ask again. Anything else (the link closed) ends the asking.
            if (sd_bus_error_has_name(e, SD_BUS_ERROR_NO_REPLY)) link->ext->Probe(*link);
            return 1;
        }
        link->answering = true;
        gxhost::Log(gxhost::kLogInfo,
                    "worker %d answers again; %llu simulator calls were not sent to it meanwhile",
                    static_cast<int>(link->pid), static_cast<unsigned long long>(link->dropped));
        link->dropped = 0;
        return 1;
    }

    // Sends `call` on the link unless the worker does not answer or does not read (then the call
    // is dropped and counted); `ask`: wait for its answer (OnGathered). Returns whether it was
    // sent.
    bool Send(Link& link, sd_bus_message* call, size_t bytes, Ask* ask) {
        uint64_t queued = 0;
        sd_bus_get_n_queued_write(link.bus, &queued);
        while (link.queued.size() > queued) {
            link.queuedBytes -= link.queued.front();
            link.queued.pop_front();
        }
        if (link.answering &&
            (queued >= kMaxQueuedMessages || link.queuedBytes + bytes > kMaxQueuedBytes))
            StopAsking(link, "does not read its link (" + std::to_string(queued) +
                                 " messages, about " + std::to_string(link.queuedBytes >> 10) +
                                 " KiB waiting)");
        if (!link.answering) {
            ++link.dropped;
            return false;
        }
        int r = 0;
        if (ask == nullptr) {
            r = sd_bus_message_set_expect_reply(call, 0);
            if (r >= 0) r = sd_bus_send(link.bus, call, nullptr);
        } else {
            sd_bus_slot* slot = nullptr;
            bool trace = ask->gather->combine == Combine::Trace;
            r = sd_bus_call_async(link.bus, &slot, call, &OnGathered, ask,
                                  trace ? kTraceTimeoutUsec : kSpreadTimeoutUsec);
            if (r >= 0) {
                // However the call ends (answered, timed out, the link closed, dropped as
                // stopped), the gather hears of it once.
                sd_bus_slot_set_destroy_callback(slot, &OnAskEnded);
                sd_bus_slot_set_floating(slot, 1);
                sd_bus_slot_unref(slot);
                ask->slot = slot;
                ask->gather->asks.push_back(ask);
            }
        }
        if (r < 0) {
            gxhost::Log(gxhost::kLogError, "cannot reach worker %d for %s: %s",
                        static_cast<int>(link.pid), sd_bus_message_get_member(call),
                        std::strerror(-r));
            return false;
        }
        if (sd_bus_get_n_queued_write(link.bus, &queued) >= 0 && queued > 0) {
            link.queued.push_back(bytes);
            link.queuedBytes += bytes;
        }
        return true;
    }

    int SpreadToWorkers(sd_bus_message* m) {
        const char* method = sd_bus_message_get_member(m);
        if (std::strcmp(method, "Reset") == 0 || std::strcmp(method, "ClearTrace") == 0) {
            m_Retired.clear();
            m_RetiredBytes = 0;
        }
        sd_bus_message_rewind(m, 1);
        size_t bytes = MessageBytes(m) + 128;  // the header: path, interface, member
        if (!sd_bus_message_get_expect_reply(m)) {
            for (auto& [pid, link] : m_Links) {
                sd_bus_message* call = nullptr;
                if (CopyCall(link.bus, m, &call) >= 0) Send(link, call, bytes, nullptr);
                sd_bus_message_unref(call);
            }
            return 1;
        }
        auto* gather = new Gather;
        gather->ext = this;
        gather->request = sd_bus_message_ref(m);
        gather->combine = CombineOf(method);
        gather->pending = 1;  // until every worker has been asked
        for (auto& [pid, link] : m_Links) {
            sd_bus_message* call = nullptr;
            auto* ask = new Ask{gather, pid};
            if (CopyCall(link.bus, m, &call) >= 0 && Send(link, call, bytes, ask))
                ++gather->pending;
            else
                delete ask;
            sd_bus_message_unref(call);
        }
        if (gather->pending > 1)
            sd_event_add_time_relative(sd_bus_get_event(sd_bus_message_get_bus(m)),
                                       &gather->stoppedCheck, CLOCK_MONOTONIC, kStoppedCheckUsec, 0,
                                       &OnStoppedCheck, gather);
        if (--gather->pending == 0) Finish(gather);
        return 1;  // answered when every worker has
    }

    static int OnGathered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* ask = static_cast<Ask*>(userdata);
        Gather* gather = ask->gather;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            // A worker that ended meanwhile ("connection terminated") has nothing to add: its
            // instances are gone and its trace was retired. One that did not answer in time is
            // left out until it answers again; anything else is worth a line.
            const sd_bus_error* e = sd_bus_message_get_error(reply);
            auto link = gather->ext->m_Links.find(ask->pid);
            const char* method = sd_bus_message_get_member(gather->request);
            if (sd_bus_error_has_name(e, SD_BUS_ERROR_NO_REPLY)) {
                if (link != gather->ext->m_Links.end())
                    gather->ext->StopAsking(link->second,
                                            std::string("did not answer ") + method + " within " +
                                                std::to_string((gather->combine == Combine::Trace
                                                                    ? kTraceTimeoutUsec
                                                                    : kSpreadTimeoutUsec) /
                                                               1000) +
                                                " ms");
            } else if (e->message == nullptr || std::strstr(e->message, "terminated") == nullptr) {
                gxhost::Log(gxhost::kLogError, "worker %d did not answer %s: %s",
                            static_cast<int>(ask->pid), method, e->message ? e->message : e->name);
            }
            return 1;
        }
        switch (gather->combine) {
            case Combine::Sum: {
                int32_t n = 0;
                if (sd_bus_message_read(reply, "i", &n) >= 0) gather->sum += n;
                break;
            }
            case Combine::Any: {
                int b = 0;
                if (sd_bus_message_read(reply, "b", &b) >= 0) gather->any = gather->any || b;
                break;
            }
            case Combine::Concat:
                gather->replies.push_back(sd_bus_message_ref(reply));
                break;
            case Combine::Trace:
                ReadTrace(reply, &gather->trace);
                break;
            case Combine::Nothing:
                break;
        }
        return 1;  // handled (a closing connection goes on to its next pending call)
    }

    static void OnAskEnded(void* userdata) {
        auto* ask = static_cast<Ask*>(userdata);
        Gather* gather = ask->gather;
        std::replace(gather->asks.begin(), gather->asks.end(), ask, static_cast<Ask*>(nullptr));
        delete ask;
        if (--gather->pending == 0) gather->ext->Finish(gather);
    }

    void Finish(Gather* gather) {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(gather->request, &reply);
        switch (gather->combine) {
            case Combine::Sum:
                if (r >= 0) r = sd_bus_message_append(reply, "i", gather->sum);
                break;
            case Combine::Any:
                if (r >= 0) r = sd_bus_message_append(reply, "b", gather->any ? 1 : 0);
                break;
            case Combine::Concat: {
                const char* element = "(uiiiiiiiai)";  // MotionStates, the only one
                if (r >= 0) r = sd_bus_message_open_container(reply, 'a', element);
                for (sd_bus_message* part : gather->replies) {
                    if (r >= 0) r = sd_bus_message_enter_container(part, 'a', element);
                    while (r >= 0 && sd_bus_message_at_end(part, 0) == 0)
                        r = sd_bus_message_copy(reply, part, 0);
                    if (r >= 0) r = sd_bus_message_exit_container(part);
                }
                if (r >= 0) r = sd_bus_message_close_container(reply);
                break;
            }
            case Combine::Trace: {
                std::vector<gxsim::TraceEntry>& all = gather->trace;
                all.insert(all.end(), m_Retired.begin(), m_Retired.end());
                std::sort(all.begin(), all.end(),
                          [](const gxsim::TraceEntry& a, const gxsim::TraceEntry& b) {
                              return a.seq < b.seq;
                          });
                CapTraceReply(&all);
                if (r >= 0) r = AppendTrace(reply, all);
                break;
            }
            case Combine::Nothing:
                break;
        }
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        if (r < 0 && r != -ENOTCONN)  // the worker that asked has ended meanwhile
            gxhost::Log(gxhost::kLogError, "cannot answer %s: %s",
                        sd_bus_message_get_member(gather->request), std::strerror(-r));
        sd_bus_message_unref(reply);
        for (sd_bus_message* part : gather->replies) sd_bus_message_unref(part);
        sd_bus_message_unref(gather->request);
        sd_event_source_disable_unref(gather->stoppedCheck);
        bool large = gather->combine == Combine::Trace;
        delete gather;
        // A trace can take many MiB to combine: hand them back rather than keep them for the
        // broker's life.
        if (large) malloc_trim(0);
    }

    int RetireFrom(sd_bus_message* m) {
        std::vector<gxsim::TraceEntry> entries;
        int r = ReadTrace(m, &entries);
        if (r < 0) return r;
        for (gxsim::TraceEntry& e : entries) {
            m_RetiredBytes += gxsim::TraceEntryBytes(e);
            m_Retired.push_back(std::move(e));
        }
        while (!m_Retired.empty() &&
               (m_Retired.size() > kMaxTrace || m_RetiredBytes > kMaxRetiredBytes)) {
            m_RetiredBytes -= gxsim::TraceEntryBytes(m_Retired.front());
            m_Retired.pop_front();
        }
        return sd_bus_reply_method_return(m, "");
    }

private:
    gxhost::Role m_Role = gxhost::Role::Single;
    std::string m_Profile;
    std::string m_Settings;
    bool m_NoControl = false;                 // --no-simulator-control
    int m_Shared = -1;                        // broker: the TV's shared state
    sd_bus* m_Control = nullptr;              // worker: its link to the broker
    std::map<pid_t, Link> m_Links;            // broker: every worker's link
    std::deque<gxsim::TraceEntry> m_Retired;  // broker: calls of workers that have ended
    size_t m_RetiredBytes = 0;
    gxsimbus::EditLinks m_EditLinks;  // broker: every worker's edit link
};

int Relay(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<SimulatorExtension*>(userdata)->RelayToBroker(m);
}

int Spread(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<SimulatorExtension*>(userdata)->SpreadToWorkers(m);
}

int Retire(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<SimulatorExtension*>(userdata)->RetireFrom(m);
}

int OpenEditLink(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return static_cast<SimulatorExtension*>(userdata)->AcceptEditLink(m, error);
}

SimulatorExtension g_Extension;
[[maybe_unused]] const bool g_Registered = (gxhost::RegisterExtension(&g_Extension), true);

}  // namespace
