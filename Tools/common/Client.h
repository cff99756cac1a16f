// The calls a client makes of the service (org.gxemp.Host1) and of the simulated TV
// (org.gxemp.Simulator1), written once for gxempctl, the integration tests and the benchmarks.
//
// A builder (OpenEngine, Execute, EmitGesture, ...) returns a Request: the object, interface and
// method, and how the arguments go into the message. The same Request can then be called and
// waited for (Call), called with a reply handler (CallAsync) or sent with no reply asked for
// (Send). Readers take the reply apart. Nothing here throws or prints: every function returns a
// negative errno (or the Reply says what failed), so that each caller reports failures its way.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gxhost/BusRef.h"

namespace gxclient {

// Connects to the service at `address` ("unix:path=..."). busClient: say Hello first, as a client
// of a bus does; the service answers it like a bus, so gxempctl's code works on a bus too.
int Connect(const std::string& address, bool busClient, gxhost::BusRef* bus);

// One method call, ready to be built into a message.
struct Request {
    const char* path;
    const char* interface;
    const char* method;
    std::function<int(sd_bus_message*)> append;  // writes the arguments; empty: there are none
};

// The answer to a call: the reply message, or the error and the errno sd-bus returned.
struct Reply {
    int r = 0;
    gxhost::BusError error;
    gxhost::MessageRef message;

    bool ok() const { return r >= 0; }
    // The D-Bus error name; "" when the call succeeded.
    std::string ErrorName() const;
    // The error's message, or the errno's text when the error has none.
    std::string ErrorText() const;
};

int Build(sd_bus* bus, const Request& request, gxhost::MessageRef* message);
// Calls and waits for the reply (timeoutUsec 0: the connection's timeout). Returns reply->r.
int Call(sd_bus* bus, const Request& request, Reply* reply, uint64_t timeoutUsec = 0);
// Calls with `handler` for the reply; the call is cancelled when `slot` goes (a floating call
// that lives as long as the connection when `slot` is null).
int CallAsync(sd_bus* bus, const Request& request, sd_bus_message_handler_t handler, void* userdata,
              gxhost::SlotRef* slot);
// Queues the call without asking for a reply (sd_bus_flush writes it out).
int Send(sd_bus* bus, const Request& request);

// ---- The service -------------------------------------------------------------------------------

Request OpenEngine(const std::string& app);
// A command with up to four arguments: words[0] is the command; missing words are sent as "".
Request Execute(uint32_t engine, const std::vector<std::string>& words);
Request CloseEngine(uint32_t engine);
// The application's strings (the Info property).
Request GetInfo();
Request Ping();

struct ExecuteResult {
    bool served = false;
    char type = 0;  // 'i' or 's': which of the two the result is
    int32_t integer = 0;
    std::string text;
};

int ReadEngine(sd_bus_message* reply, uint32_t* engine);
int ReadExecuteResult(sd_bus_message* reply, ExecuteResult* result);
// An Event signal: the engine it is for, its code, name and data.
struct Event {
    uint32_t engine = 0;
    int32_t code = 0;
    std::string name, data;
};
int ReadEvent(sd_bus_message* signal, Event* event);
// Calls `handler` for every Event signal of the service on this connection.
int MatchEvents(sd_bus* bus, sd_bus_message_handler_t handler, void* userdata,
                gxhost::SlotRef* slot);

// ---- The simulated TV --------------------------------------------------------------------------

// A field of a face record ("id", "x", "y", "w", "h": integers; "image_path": text).
struct FaceField {
    std::string key;
    std::variant<int32_t, std::string> value;
};
using FaceRecord = std::vector<FaceField>;
struct FaceInView {
    int32_t person, x, y, w, h;
};

// A motion signal to every subscriber, with its text or with no data at all. Replies the number
// of subscribers it was queued for (ReadInt).
Request EmitGesture(int32_t signal, const std::optional<std::string>& text);
// A face signal with its record, or with no data at all. Replies as EmitGesture.
Request EmitFace(int32_t signal, const std::optional<FaceRecord>& record);
// A library's registered callback called with any handle. Replies whether one was (ReadBool).
Request InvokeMotionCallback(int32_t handle, int32_t signal,
                             const std::optional<std::string>& text);
Request InvokeFaceCallback(int32_t handle, int32_t signal, const std::optional<FaceRecord>& record);
Request SetFacesInView(const std::vector<FaceInView>& faces);
Request SetCamera(int32_t state);
Request SetCameraQueryResult(int32_t result);
Request GetSetting(const std::string& key);  // replies the value (ReadInt)
Request SetSetting(const std::string& key, int32_t value);
Request LoadProfile(const std::string& path);
Request SetModel(const std::string& model);
// A factory data item: its value, or (none) a read of it that fails.
Request SetFactoryItem(int32_t id, std::optional<int32_t> value);
Request ForceResult(const std::string& entry, int32_t value);
// Stops forcing `entry`, or (none) every entry point.
Request ClearForcedResult(const std::optional<std::string>& entry);
Request SetHiddenMotionEntryPoints(const std::vector<std::string>& names);
// The handle the next create of the motion (`face` false) or face library returns.
Request SetNextHandle(bool face, int32_t handle);
// The face library's version, or (none) a library that reports none.
Request SetFaceVersion(std::optional<double> version);
// A method without arguments: Drain, Reset, Trace, ClearTrace, GetModel, ClearModel,
// MotionEntryPoints, MotionStates, StoredFaces, GetSettingsPath.
Request Simulator(const char* method);

int ReadInt(sd_bus_message* reply, int32_t* value);
int ReadBool(sd_bus_message* reply, bool* value);

}  // namespace gxclient
