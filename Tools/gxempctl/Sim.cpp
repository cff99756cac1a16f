// gxempctl sim ...: the controls of the simulated TV (org.gxemp.Simulator1), one function per
// subcommand and their table; the read-backs are in SimQuery.cpp.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "Sim.h"
#include "gxempctl.h"

namespace gxempctl {

namespace {

int32_t MotionSignalOf(const std::string& name) {
    auto it = MotionEvents().find(name);
    if (it != MotionEvents().end()) return it->second;
    if (name == "EVENT_MOTION_START_ENGINE") return 1000;
    if (!name.empty() && (std::isdigit(static_cast<unsigned char>(name[0])) || name[0] == '-'))
        return ParseInt(name, "the signal");
    std::vector<std::string> names{"EVENT_MOTION_START_ENGINE"};
    for (const auto& e : MotionEvents()) names.push_back(e.first);
    std::sort(names.begin(), names.end());
    Usage("unknown motion event '" + name + "'" + DidYouMean(name, names) +
          "\nIt is a signal number or one of:\n" + WrapWords(names, 2, 79) +
          "(docs/COMMANDS.md: which signal each is)");
}

// FIELD=VALUE words of a face record from `first` on, or --no-data (nullopt).
std::optional<gxclient::FaceRecord> FaceFields(const Args& a, size_t first) {
    if (a.size() == first + 1 && a[first] == "--no-data") return std::nullopt;
    gxclient::FaceRecord fields;
    for (size_t i = first; i < a.size(); ++i) {
        const std::string& w = a[i];
        size_t eq = w.find('=');
        if (eq == std::string::npos) Usage("a face record field is FIELD=VALUE, not '" + w + "'");
        std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        if (key == "path") key = "image_path";
        if (key != "id" && key != "image_path" && key != "x" && key != "y" && key != "w" &&
            key != "h")
            Usage("unknown face record field '" + key + "' (id, path, x, y, w, h)");
        if (key == "image_path")
            fields.push_back({key, value});
        else
            fields.push_back({key, ParseInt(value, key.c_str())});
    }
    return fields;
}

std::optional<std::string> TextAt(const Args& a, size_t i) {
    return i < a.size() ? std::optional<std::string>(a[i]) : std::nullopt;
}

// Emits a signal, waits until it was delivered and says to how many subscribers.
int Emit(const gxclient::Request& request, const std::string& what) {
    Bus b;
    gxhost::MessageRef reply = Call(b, request);
    int32_t queued = 0;
    CheckRead(gxclient::ReadInt(reply.get(), &queued), request.method);
    Call(b, gxclient::Simulator("Drain"));
    std::cout << what << " delivered to " << queued << " subscriber(s)\n";
    return kExitOk;
}

// Calls a library's callback, waits until it ran and says whether there was one.
int Invoke(const gxclient::Request& request, const char* library) {
    Bus b;
    gxhost::MessageRef reply = Call(b, request);
    bool called = false;
    CheckRead(gxclient::ReadBool(reply.get(), &called), request.method);
    Call(b, gxclient::Simulator("Drain"));
    std::cout << (called ? "called\n" : "no " + std::string(library) + " callback is registered\n");
    return called ? kExitOk : kExitNotServed;
}

// A call whose reply says nothing.
int Do(const gxclient::Request& request) {
    Bus b;
    Call(b, request);
    return kExitOk;
}

int SimGesture(Args& a) {
    int32_t signal = MotionSignalOf(a[0]);
    return Emit(gxclient::EmitGesture(signal, TextAt(a, 1)), "signal " + std::to_string(signal));
}

int SimFaceSignal(Args& a) {
    int32_t signal = ParseIntIn(a[0], "face signal", 0, 5);
    return Emit(gxclient::EmitFace(signal, FaceFields(a, 1)),
                "face signal " + std::to_string(signal));
}

int SimMotionCallback(Args& a) {
    int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
    return Invoke(gxclient::InvokeMotionCallback(handle, signal, TextAt(a, 2)), "motion");
}

int SimFaceCallback(Args& a) {
    int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
    return Invoke(gxclient::InvokeFaceCallback(handle, signal, FaceFields(a, 2)), "face");
}

int SimFaces(Args& a) {
    std::vector<gxclient::FaceInView> faces;
    for (const std::string& f : a) {
        gxclient::FaceInView face{};
        char tail = 0;
        if (std::sscanf(f.c_str(), "%d:%d,%d,%d,%d%c", &face.person, &face.x, &face.y, &face.w,
                        &face.h, &tail) != 5)
            Usage("a face in view is PERSON:X,Y,W,H, not '" + f + "'");
        faces.push_back(face);
    }
    Do(gxclient::SetFacesInView(faces));
    std::cout << faces.size() << " face(s) in view\n";
    return kExitOk;
}

int SimCamera(Args& a) {
    int32_t state = ParseInt(a[0], "the camera state");
    std::optional<int32_t> rc;
    if (a.size() == 2) rc = ParseInt(a[1], "the query result");
    Bus b;
    Call(b, gxclient::SetCamera(state));
    if (rc) Call(b, gxclient::SetCameraQueryResult(*rc));
    return kExitOk;
}

int SimModel(Args& a) {
    if (!a.empty())
        return Do(a[0] == "--none" ? gxclient::Simulator("ClearModel") : gxclient::SetModel(a[0]));
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("GetModel"));
    int present = 0;
    const char* model = nullptr;
    CheckRead(sd_bus_message_read(reply.get(), "bs", &present, &model), "GetModel");
    std::cout << (present ? model : "(none)") << "\n";
    return kExitOk;
}

int SimFactory(Args& a) {
    int32_t id = ParseInt(a[0], "the item id");
    std::optional<int32_t> value;
    if (a[1] != "fail") value = ParseInt(a[1], "the value");
    return Do(gxclient::SetFactoryItem(id, value));
}

int SimForce(Args& a) {
    if (a[0] == "--clear") return Do(gxclient::ClearForcedResult(TextAt(a, 1)));
    if (a.size() != 2) VerbUsage(kSimTable, "force", "");
    int32_t value = ParseInt(a[1], "the value");
    return Do(gxclient::ForceResult(a[0], value));
}

int SimHide(Args& a) {
    return Do(gxclient::SetHiddenMotionEntryPoints(a));
}

int SimNextHandle(Args& a) {
    int32_t handle = ParseInt(a[1], "the handle");
    if (a[0] != "motion" && a[0] != "face") Usage("next-handle takes 'motion' or 'face'");
    return Do(gxclient::SetNextHandle(a[0] == "face", handle));
}

int SimFaceVersion(Args& a) {
    std::optional<double> version;
    if (a[0] != "none") {
        char* end = nullptr;
        version = std::strtod(a[0].c_str(), &end);
        if (a[0].empty() || *end != '\0') Usage("the face version must be a number");
    }
    return Do(gxclient::SetFaceVersion(version));
}

int SettingsGet(Args& a) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::GetSetting(a[0]));
    int32_t value = 0;
    CheckRead(gxclient::ReadInt(reply.get(), &value), "GetSetting");
    std::cout << value << "\n";
    return kExitOk;
}

int SettingsSet(Args& a) {
    int32_t value = ParseInt(a[1], "the value");
    return Do(gxclient::SetSetting(a[0], value));
}

int SettingsPath(Args&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("GetSettingsPath"));
    const char* path = nullptr;
    CheckRead(sd_bus_message_read(reply.get(), "s", &path), "GetSettingsPath");
    std::cout << path << "\n";
    return kExitOk;
}

int SimDrain(Args&) {
    return Do(gxclient::Simulator("Drain"));
}

int SimReset(Args&) {
    return Do(gxclient::Simulator("Reset"));
}

int SimProfile(Args& a) {
    char* abs = realpath(a[0].c_str(), nullptr);
    std::string path = abs != nullptr ? abs : a[0];
    free(abs);
    return Do(gxclient::LoadProfile(path));
}

// clang-format off
const Verb kSettingsVerbs[] = {
    {"get", 1, 1, SettingsGet, "KEY",
     "a value of the settings store (the voice guide: db/menu/accessibility/tts)", nullptr},
    {"set", 2, 2, SettingsSet, "KEY VALUE", "set one", nullptr},
    {"path", 0, 0, SettingsPath, "", "the settings store's file", nullptr},
};
const VerbTable kSettingsTable = {"sim settings ", "sim settings subcommand",
                                  std::begin(kSettingsVerbs), std::end(kSettingsVerbs)};

int SimSettings(Args& a) {
    return DispatchVerb(kSettingsTable, a);
}

// The subcommands of sim, in the order of the help. An entry without usage is another name of
// the one before it.
const Verb kSimVerbs[] = {
    {"gesture", 1, 2, SimGesture, "EVENT|SIGNAL [TEXT]",
     "emit a motion signal (no TEXT: no data)", nullptr},
    {"motion-signal", 1, 2, SimGesture, nullptr, nullptr, nullptr},
    {"face-signal", 1, 7, SimFaceSignal, "SIGNAL [--no-data | FIELD=VALUE...]",
     "emit a face signal 0..5; fields id, path, x, y, w, h", nullptr},
    {"motion-callback", 2, 3, SimMotionCallback, "HANDLE SIGNAL [TEXT]",
     "call the motion library's registered callback with any handle", nullptr},
    {"face-callback", 2, 8, SimFaceCallback, "HANDLE SIGNAL [--no-data | FIELD=VALUE...]",
     "call the face library's registered callback with any handle", nullptr},
    {"faces", 0, kAnyArgs, SimFaces, "[PERSON:X,Y,W,H...]", "faces in view (none: nobody)", nullptr},
    {"camera", 1, 2, SimCamera, "STATE [QUERY_RESULT]", "camera state and the query's result", nullptr},
    {"model", 0, 1, SimModel, "[TEXT | --none]", "show or set the model text", nullptr},
    {"factory", 2, 2, SimFactory, "ID VALUE|fail", "a factory data item", nullptr},
    {"force", 1, 2, SimForce, "ENTRY VALUE\n--clear [ENTRY]",
     "force (or stop forcing) a library entry point's result", nullptr},
    {"hide", 0, kAnyArgs, SimHide, "[ENTRY...]",
     "motion entry points the next load lacks (none: all there)", nullptr},
    {"entry-points", 0, 0, SimEntryPoints, "", "the motion library's entry points", nullptr},
    {"next-handle", 2, 2, SimNextHandle, "motion|face N", "the handle the next create returns", nullptr},
    {"face-version", 1, 1, SimFaceVersion, "VERSION|none",
     "the face library's version (none: it reports none)", nullptr},
    {"trace", 0, 1, SimTrace, "[--json]\nclear",
     "the library calls so far (every worker's, in order: SEQ [WORKER] CALL = RESULT DETAIL), or "
     "forget them", nullptr},
    {"motion-state", 0, 0, SimMotionState, "", "every live motion instance (JSON lines)", nullptr},
    {"ring", 0, 0, SimRing, "",
     "every worker reading the signal ring and the slots it lost (JSON lines)", nullptr},
    {"stored-faces", 0, 0, SimStoredFaces, "",
     "the faces the face library has stored (JSON lines)", nullptr},
    {"settings", 0, kAnyArgs, SimSettings, "SUBCOMMAND [ARG...]", nullptr, &kSettingsTable},
    {"drain", 0, 0, SimDrain, "", "wait until every signal queued has been delivered", nullptr},
    {"reset", 0, 0, SimReset, "", "the simulated TV's built-in start state", nullptr},
    {"profile", 1, 1, SimProfile, "FILE", "apply a profile of the TV's state", nullptr},
};
// clang-format on

}  // namespace

const VerbTable kSimTable = {"sim ", "sim subcommand", std::begin(kSimVerbs), std::end(kSimVerbs)};

int CmdSim(Args& args) {
    return DispatchVerb(kSimTable, args);
}

}  // namespace gxempctl
