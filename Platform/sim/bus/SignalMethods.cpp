// Simulator1's methods on what each process keeps of its own: the libraries' signals and
// callbacks, their instances and the call trace. A worker's clients reach these in every worker
// (see MethodTable.cpp); each handler here acts on this process only.
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Methods.h"
#include "gxsim/Sim.h"
#include "gxsim/Wire.h"

namespace gxsimbus {
namespace {

int ReadInt(sd_bus_message* m, int* value) {
    int32_t read = 0;
    int r = sd_bus_message_read(m, "i", &read);
    *value = read;
    return r;
}

// The int32 field of a face record that `name` names, or null.
int* RecordField(gxsim::FaceRecord* record, const std::string& name) {
    return name == "id"  ? &record->id
           : name == "x" ? &record->x
           : name == "y" ? &record->y
           : name == "w" ? &record->w
           : name == "h" ? &record->h
                         : nullptr;
}

// One field of a face record, the message inside its dictionary entry.
int ReadRecordField(sd_bus_message* m, gxsim::FaceRecord* record, sd_bus_error* error) {
    const char* key = nullptr;
    int r = sd_bus_message_read_basic(m, 's', &key);
    if (r < 0) return r;
    std::string name = key;
    if (name == "image_path") {
        const char* path = nullptr;
        r = sd_bus_message_read(m, "v", "s", &path);
        if (r < 0) return InvalidArgs(error, "record field image_path must be a string");
        record->imagePath = std::string(path);
        return 0;
    }
    int* field = RecordField(record, name);
    if (field == nullptr)
        return InvalidArgs(error,
                           "unknown face record field '" + name + "' (id, image_path, x, y, w, h)");
    int32_t value = 0;
    r = sd_bus_message_read(m, "v", "i", &value);
    if (r < 0) return InvalidArgs(error, "record field " + name + " must be an int32");
    *field = value;
    return 0;
}

// Reads a face record (gxsim::wire::kFaceRecord); what is not given keeps its default.
int ReadFaceRecord(sd_bus_message* m, gxsim::FaceRecord* record, sd_bus_error* error) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        r = ReadRecordField(m, record, error);
        if (r < 0) return r;
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

int AppendMotionState(sd_bus_message* reply, const gxsim::MotionState& st) {
    int r = sd_bus_message_open_container(reply, 'r', gxsim::wire::kMotionStateFields);
    if (r >= 0)
        r = sd_bus_message_append(reply, "uiiiiiii", static_cast<uint32_t>(getpid()), st.handle,
                                  st.status, st.enabled, st.hint, st.swipe, st.zoomTrigger,
                                  st.rotateTrigger);
    std::vector<int32_t> signals(st.subscribed.begin(), st.subscribed.end());
    if (r >= 0)
        r = sd_bus_message_append_array(reply, 'i', signals.data(),
                                        signals.size() * sizeof(int32_t));
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

}  // namespace

int Reset(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ResetTv();  // running clients keep their subscriptions
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
    int signal = 0;
    int r = ReadInt(m, &signal);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitMotionSignal(signal, std::nullopt));
}

int EmitFaceSignal(sd_bus_message* m, void*, sd_bus_error* error) {
    int signal = 0;
    int r = ReadInt(m, &signal);
    if (r < 0) return r;
    gxsim::FaceRecord record;
    r = ReadFaceRecord(m, &record, error);
    if (r < 0) return r;
    return ReplyInt(m, gxsim::EmitFaceSignal(signal, record));
}

int EmitFaceSignalWithoutData(sd_bus_message* m, void*, sd_bus_error*) {
    int signal = 0;
    int r = ReadInt(m, &signal);
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

int Trace(sd_bus_message* m, void*, sd_bus_error*) {
    return ReplyWith(
        m, [](sd_bus_message* reply) { return gxsim::wire::AppendTrace(reply, gxsim::Trace()); });
}

int ClearTrace(sd_bus_message* m, void*, sd_bus_error*) {
    gxsim::ClearTrace();
    return ReplyEmpty(m);
}

int SignalReaders(sd_bus_message* m, void*, sd_bus_error*) {
    // Read from the ring's table in the shared segment: the same in every process of the TV.
    return ReplyWith(m, [](sd_bus_message* reply) {
        int r = sd_bus_message_open_container(reply, 'a', "(uttt)");
        for (const gxsim::SignalReader& s : gxsim::SignalReaders())
            if (r >= 0)
                r = sd_bus_message_append(reply, "(uttt)", static_cast<uint32_t>(s.pid), s.overrun,
                                          s.skipped, s.torn);
        return r < 0 ? r : sd_bus_message_close_container(reply);
    });
}

int MotionStates(sd_bus_message* m, void*, sd_bus_error*) {
    return ReplyWith(m, [](sd_bus_message* reply) {
        int r = sd_bus_message_open_container(reply, 'a', gxsim::wire::kMotionState);
        for (const gxsim::MotionState& st : gxsim::MotionStates())
            if (r >= 0) r = AppendMotionState(reply, st);
        return r < 0 ? r : sd_bus_message_close_container(reply);
    });
}

}  // namespace gxsimbus
