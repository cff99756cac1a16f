// The calls of the service and of the simulated TV (Client.h): each builder knows its method's
// signature, so no caller writes one by hand.
#include "Client.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "gxhost/Endpoint.h"

namespace gxclient {

using gxhost::kHostInterface;
using gxhost::kHostPath;
using gxhost::kSimulatorInterface;
using gxhost::kSimulatorPath;

int Connect(const std::string& address, bool busClient, gxhost::BusRef* bus) {
    gxhost::BusRef b;
    int r = sd_bus_new(b.out());
    if (r >= 0) r = sd_bus_set_address(b.get(), address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(b.get(), busClient ? 1 : 0);
    if (r >= 0) r = sd_bus_start(b.get());
    if (r >= 0) *bus = std::move(b);
    return r;
}

std::string Reply::ErrorName() const {
    if (ok()) return "";
    return error.error.name != nullptr ? error.error.name : "";
}

std::string Reply::ErrorText() const {
    return error.error.message != nullptr ? error.error.message : std::strerror(r < 0 ? -r : r);
}

int Build(sd_bus* bus, const Request& request, gxhost::MessageRef* message) {
    int r = sd_bus_message_new_method_call(bus, message->out(), gxhost::kBusName, request.path,
                                           request.interface, request.method);
    if (r >= 0 && request.append) r = request.append(message->get());
    return r;
}

int Call(sd_bus* bus, const Request& request, Reply* reply, uint64_t timeoutUsec) {
    gxhost::MessageRef m;
    reply->r = Build(bus, request, &m);
    if (reply->r >= 0)
        reply->r = sd_bus_call(bus, m.get(), timeoutUsec, reply->error.get(), reply->message.out());
    return reply->r;
}

int CallAsync(sd_bus* bus, const Request& request, sd_bus_message_handler_t handler, void* userdata,
              gxhost::SlotRef* slot) {
    gxhost::MessageRef m;
    int r = Build(bus, request, &m);
    if (r >= 0)
        r = sd_bus_call_async(bus, slot != nullptr ? slot->out() : nullptr, m.get(), handler,
                              userdata, 0);
    return r;
}

int Send(sd_bus* bus, const Request& request) {
    gxhost::MessageRef m;
    int r = Build(bus, request, &m);
    if (r >= 0) r = sd_bus_message_set_expect_reply(m.get(), 0);
    if (r >= 0) r = sd_bus_send(bus, m.get(), nullptr);
    return r;
}

// ---- The service -------------------------------------------------------------------------------

namespace {

Request Host(const char* method, std::function<int(sd_bus_message*)> append) {
    return {kHostPath, kHostInterface, method, std::move(append)};
}

Request Sim(const char* method, std::function<int(sd_bus_message*)> append) {
    return {kSimulatorPath, kSimulatorInterface, method, std::move(append)};
}

}  // namespace

Request OpenEngine(const std::string& app) {
    return Host("Open",
                [app](sd_bus_message* m) { return sd_bus_message_append(m, "s", app.c_str()); });
}

Request Execute(uint32_t engine, const std::vector<std::string>& words) {
    return Host("Execute", [engine, words](sd_bus_message* m) {
        std::string a[5];
        for (size_t i = 0; i < words.size() && i < 5; ++i) a[i] = words[i];
        return sd_bus_message_append(m, "usssss", engine, a[0].c_str(), a[1].c_str(), a[2].c_str(),
                                     a[3].c_str(), a[4].c_str());
    });
}

Request CloseEngine(uint32_t engine) {
    return Host("Close",
                [engine](sd_bus_message* m) { return sd_bus_message_append(m, "u", engine); });
}

Request GetInfo() {
    return {kHostPath, "org.freedesktop.DBus.Properties", "Get", [](sd_bus_message* m) {
                return sd_bus_message_append(m, "ss", kHostInterface, "Info");
            }};
}

Request Ping() {
    return {kHostPath, "org.freedesktop.DBus.Peer", "Ping", nullptr};
}

int ReadEngine(sd_bus_message* reply, uint32_t* engine) {
    return sd_bus_message_read(reply, "u", engine);
}

int ReadExecuteResult(sd_bus_message* reply, ExecuteResult* result) {
    int served = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_read(reply, "b", &served);
    if (r >= 0) r = sd_bus_message_peek_type(reply, nullptr, &contents);
    if (r >= 0 && (contents == nullptr ||
                   (std::strcmp(contents, "i") != 0 && std::strcmp(contents, "s") != 0)))
        r = -EBADMSG;
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'v', contents);
    if (r < 0) return r;
    result->served = served != 0;
    result->type = contents[0];
    if (result->type == 'i') return sd_bus_message_read_basic(reply, 'i', &result->integer);
    const char* text = nullptr;
    r = sd_bus_message_read_basic(reply, 's', &text);
    if (r >= 0) result->text = text;
    return r;
}

int ReadEvent(sd_bus_message* signal, Event* event) {
    const char *name = nullptr, *data = nullptr;
    int r = sd_bus_message_read(signal, "uiss", &event->engine, &event->code, &name, &data);
    if (r < 0) return r;
    event->name = name;
    event->data = data;
    return r;
}

int MatchEvents(sd_bus* bus, sd_bus_message_handler_t handler, void* userdata,
                gxhost::SlotRef* slot) {
    return sd_bus_match_signal(bus, slot != nullptr ? slot->out() : nullptr, nullptr, kHostPath,
                               kHostInterface, "Event", handler, userdata);
}

// ---- The simulated TV --------------------------------------------------------------------------

namespace {

int AppendRecord(sd_bus_message* m, const FaceRecord& record) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const FaceField& f : record) {
        if (r < 0) break;
        if (const auto* text = std::get_if<std::string>(&f.value))
            r = sd_bus_message_append(m, "{sv}", f.key.c_str(), "s", text->c_str());
        else
            r = sd_bus_message_append(m, "{sv}", f.key.c_str(), "i", std::get<int32_t>(f.value));
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// A signal (after `handle`, when there is one) with a motion text or without data.
Request MotionCall(const char* withData, const char* without, std::optional<int32_t> handle,
                   int32_t signal, const std::optional<std::string>& text) {
    return Sim(text ? withData : without, [handle, signal, text](sd_bus_message* m) {
        int r = handle ? sd_bus_message_append(m, "i", *handle) : 0;
        if (r >= 0) r = sd_bus_message_append(m, "i", signal);
        if (r >= 0 && text) r = sd_bus_message_append(m, "s", text->c_str());
        return r;
    });
}

// The same with a face record.
Request FaceCall(const char* withData, const char* without, std::optional<int32_t> handle,
                 int32_t signal, const std::optional<FaceRecord>& record) {
    return Sim(record ? withData : without, [handle, signal, record](sd_bus_message* m) {
        int r = handle ? sd_bus_message_append(m, "i", *handle) : 0;
        if (r >= 0) r = sd_bus_message_append(m, "i", signal);
        if (r >= 0 && record) r = AppendRecord(m, *record);
        return r;
    });
}

Request SimInt(const char* method, int32_t value) {
    return Sim(method, [value](sd_bus_message* m) { return sd_bus_message_append(m, "i", value); });
}

Request SimText(const char* method, const std::string& text) {
    return Sim(method,
               [text](sd_bus_message* m) { return sd_bus_message_append(m, "s", text.c_str()); });
}

}  // namespace

Request EmitGesture(int32_t signal, const std::optional<std::string>& text) {
    return MotionCall("EmitMotionSignal", "EmitMotionSignalWithoutData", std::nullopt, signal,
                      text);
}

Request EmitFace(int32_t signal, const std::optional<FaceRecord>& record) {
    return FaceCall("EmitFaceSignal", "EmitFaceSignalWithoutData", std::nullopt, signal, record);
}

Request InvokeMotionCallback(int32_t handle, int32_t signal,
                             const std::optional<std::string>& text) {
    return MotionCall("InvokeMotionCallback", "InvokeMotionCallbackWithoutData", handle, signal,
                      text);
}

Request InvokeFaceCallback(int32_t handle, int32_t signal,
                           const std::optional<FaceRecord>& record) {
    return FaceCall("InvokeFaceCallback", "InvokeFaceCallbackWithoutData", handle, signal, record);
}

Request SetFacesInView(const std::vector<FaceInView>& faces) {
    return Sim("SetFacesInView", [faces](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'a', "(iiiii)");
        for (const FaceInView& f : faces)
            if (r >= 0) r = sd_bus_message_append(m, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
        return r < 0 ? r : sd_bus_message_close_container(m);
    });
}

Request SetCamera(int32_t state) {
    return SimInt("SetCameraState", state);
}

Request SetCameraQueryResult(int32_t result) {
    return SimInt("SetCameraQueryResult", result);
}

Request GetSetting(const std::string& key) {
    return SimText("GetSetting", key);
}

Request SetSetting(const std::string& key, int32_t value) {
    return Sim("SetSetting", [key, value](sd_bus_message* m) {
        return sd_bus_message_append(m, "si", key.c_str(), value);
    });
}

Request LoadProfile(const std::string& path) {
    return SimText("LoadProfile", path);
}

Request SetModel(const std::string& model) {
    return SimText("SetModel", model);
}

Request SetFactoryItem(int32_t id, std::optional<int32_t> value) {
    if (!value) return SimInt("SetFactoryItemFailing", id);
    return Sim("SetFactoryItem", [id, value](sd_bus_message* m) {
        return sd_bus_message_append(m, "ii", id, *value);
    });
}

Request ForceResult(const std::string& entry, int32_t value) {
    return Sim("ForceResult", [entry, value](sd_bus_message* m) {
        return sd_bus_message_append(m, "si", entry.c_str(), value);
    });
}

Request ClearForcedResult(const std::optional<std::string>& entry) {
    return entry ? SimText("ClearForcedResult", *entry) : Simulator("ClearForcedResults");
}

Request SetHiddenMotionEntryPoints(const std::vector<std::string>& names) {
    return Sim("SetHiddenMotionEntryPoints", [names](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'a', "s");
        for (const std::string& n : names)
            if (r >= 0) r = sd_bus_message_append_basic(m, 's', n.c_str());
        return r < 0 ? r : sd_bus_message_close_container(m);
    });
}

Request SetNextHandle(bool face, int32_t handle) {
    return SimInt(face ? "SetNextFaceHandle" : "SetNextMotionHandle", handle);
}

Request SetFaceVersion(std::optional<double> version) {
    if (!version) return Simulator("ClearFaceVersion");
    return Sim("SetFaceVersion",
               [v = *version](sd_bus_message* m) { return sd_bus_message_append(m, "d", v); });
}

Request Simulator(const char* method) {
    return Sim(method, nullptr);
}

int ReadInt(sd_bus_message* reply, int32_t* value) {
    return sd_bus_message_read(reply, "i", value);
}

int ReadBool(sd_bus_message* reply, bool* value) {
    int b = 0;
    int r = sd_bus_message_read(reply, "b", &b);
    if (r >= 0) *value = b != 0;
    return r;
}

}  // namespace gxclient
