// See MethodTable.h.
#include "MethodTable.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Fanout.h"
#include "Methods.h"
#include "Relay.h"
#include "StateLink.h"
#include "gxsim/Wire.h"

namespace gxsimbus {

using gxsim::wire::kFaceRecord;
using gxsim::wire::kMotionStates;
using gxsim::wire::kStoredFaces;
using gxsim::wire::kTraceCalls;
using gxsim::wire::kViewFaces;

// clang-format off
const Method kMethods[] = {
    {"Reset",                           Reset,                           "", "", "", "", Combine::Nothing},
    {"LoadProfile",                     LoadProfile,                     "s", "path", "", "", Combine::Here},
    {"EmitMotionSignal",                EmitMotionSignal,                "is", "signal text", "i", "queued", Combine::Ring},
    {"EmitMotionSignalWithoutData",     EmitMotionSignalWithoutData,     "i", "signal", "i", "queued", Combine::Ring},
    {"EmitFaceSignal",                  EmitFaceSignal,                  "ia{sv}", "signal record", "i", "queued", Combine::Ring},
    {"EmitFaceSignalWithoutData",       EmitFaceSignalWithoutData,       "i", "signal", "i", "queued", Combine::Ring},
    {"InvokeMotionCallback",            InvokeMotionCallback,            "iis", "handle signal text", "b", "called", Combine::Any},
    {"InvokeMotionCallbackWithoutData", InvokeMotionCallbackWithoutData, "ii", "handle signal", "b", "called", Combine::Any},
    {"InvokeFaceCallback",              InvokeFaceCallback,              "iia{sv}", "handle signal record", "b", "called", Combine::Any},
    {"InvokeFaceCallbackWithoutData",   InvokeFaceCallbackWithoutData,   "ii", "handle signal", "b", "called", Combine::Any},
    {"Drain",                           Drain,                           "", "", "", "", Combine::Nothing},
    {"SetCameraState",                  SetCameraState,                  "i", "state", "", "", Combine::Here},
    {"SetCameraQueryResult",            SetCameraQueryResult,            "i", "result", "", "", Combine::Here},
    {"SetModel",                        SetModel,                        "s", "model", "", "", Combine::Here},
    {"ClearModel",                      ClearModel,                      "", "", "", "", Combine::Here},
    {"GetModel",                        GetModel,                        "", "", "bs", "present model", Combine::Here},
    {"SetFactoryItem",                  SetFactoryItem,                  "ii", "id value", "", "", Combine::Here},
    {"SetFactoryItemFailing",           SetFactoryItemFailing,           "i", "id", "", "", Combine::Here},
    {"ForceResult",                     ForceResult,                     "si", "entry value", "", "", Combine::Here},
    {"ClearForcedResult",               ClearForcedResult,               "s", "entry", "", "", Combine::Here},
    {"ClearForcedResults",              ClearForcedResults,              "", "", "", "", Combine::Here},
    {"MotionEntryPoints",               MotionEntryPoints,               "", "", "as", "names", Combine::Here},
    {"SetHiddenMotionEntryPoints",      SetHiddenMotionEntryPoints,      "as", "names", "", "", Combine::Here},
    {"SetNextMotionHandle",             SetNextMotionHandle,             "i", "handle", "", "", Combine::Here},
    {"SetNextFaceHandle",               SetNextFaceHandle,               "i", "handle", "", "", Combine::Here},
    {"Trace",                           Trace,                           "", "", kTraceCalls, "calls", Combine::Trace},
    {"ClearTrace",                      ClearTrace,                      "", "", "", "", Combine::Nothing},
    {"MotionStates",                    MotionStates,                    "", "", kMotionStates, "instances", Combine::Concat},
    {"SignalReaders",                   SignalReaders,                   "", "", "a(uttt)", "readers", Combine::Here},
    {"StoredFaces",                     StoredFaces,                     "", "", kStoredFaces, "faces", Combine::Here},
    {"SetFacesInView",                  SetFacesInView,                  kViewFaces, "faces", "", "", Combine::Here},
    {"SetFaceVersion",                  SetFaceVersion,                  "d", "version", "", "", Combine::Here},
    {"ClearFaceVersion",                ClearFaceVersion,                "", "", "", "", Combine::Here},
    {"SetFaceImageDirectory",           SetFaceImageDirectory,           "s", "path", "", "", Combine::Here},
    {"GetSetting",                      GetSetting,                      "s", "key", "i", "value", Combine::Here},
    {"SetSetting",                      SetSetting,                      "si", "key value", "", "", Combine::Here},
    {"GetSettingsPath",                 GetSettingsPath,                 "", "", "s", "path", Combine::Here},
};
// clang-format on
const size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

const Method* FindMethod(const char* name) {
    for (const Method& method : kMethods)
        if (std::strcmp(method.name, name) == 0) return &method;
    return nullptr;
}

namespace {

// Every method's input is checked against the limits before it runs or is relayed.
int RunHere(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    int r = CheckInputs(m, error);
    if (r < 0) return r;
    const Method* method = FindMethod(sd_bus_message_get_member(m));
    return method->handler(m, userdata, error);
}

int RelayToBroker(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    int r = CheckInputs(m, error);
    return r < 0 ? r : static_cast<Relay*>(userdata)->Forward(m);
}

int SpreadToWorkers(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const Method* method = FindMethod(sd_bus_message_get_member(m));
    return static_cast<Fanout*>(userdata)->Spread(m, method->combine);
}

int RetireTrace(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<Fanout*>(userdata)->Retire(m);
}

int OpenEditLink(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return static_cast<Fanout*>(userdata)->AcceptEditLink(m, error);
}

// sd-bus reads argument names as one string, each name ended by a NUL, in then out.
const char* NamesOf(std::deque<std::string>* kept, const char* in, const char* out) {
    std::string names;
    for (const char* list : {in, out}) {
        std::string all = list;
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find(' ', at);
            if (end == std::string::npos) end = all.size();
            names.append(all, at, end - at).push_back('\0');
            at = end + 1;
        }
    }
    kept->push_back(std::move(names));
    return kept->back().c_str();
}

sd_bus_vtable MethodEntry(const char* name, const char* in, const char* out, const char* names,
                          sd_bus_message_handler_t handler) {
    return SD_BUS_METHOD_WITH_NAMES(name, in, names, out, , handler, SD_BUS_VTABLE_UNPRIVILEGED);
}

std::vector<sd_bus_vtable> Build(Attachment attachment, std::deque<std::string>* names) {
    std::vector<sd_bus_vtable> vtable{SD_BUS_VTABLE_START(0)};
    for (const Method& method : kMethods) {
        bool here = method.combine == Combine::Here || method.combine == Combine::Ring;
        sd_bus_message_handler_t handler = attachment == Attachment::Local ? RunHere
                                           : attachment == Attachment::Spreading
                                               ? (here ? nullptr : SpreadToWorkers)
                                               : (here ? RunHere : RelayToBroker);
        if (handler == nullptr) continue;  // the broker's own link serves only what it spreads
        vtable.push_back(MethodEntry(method.name, method.in, method.out,
                                     NamesOf(names, method.inNames, method.outNames), handler));
    }
    if (attachment == Attachment::Spreading) {
        // A worker hands over the trace of its calls before it exits, and its edit link at start.
        vtable.push_back(MethodEntry("Retire", kTraceCalls, "", "calls\0", RetireTrace));
        vtable.push_back(MethodEntry("OpenEditLink", "h", "", "link\0", OpenEditLink));
    }
    vtable.push_back(SD_BUS_VTABLE_END);
    return vtable;
}

}  // namespace

const sd_bus_vtable* Vtable(Attachment attachment) {
    // Built once, kept for the process's life: sd-bus refers to them while an object is served.
    static std::deque<std::string> names;
    static const std::vector<sd_bus_vtable> kVtables[] = {
        Build(Attachment::Local, &names),
        Build(Attachment::Relaying, &names),
        Build(Attachment::Spreading, &names),
    };
    return kVtables[static_cast<int>(attachment)].data();
}

}  // namespace gxsimbus
