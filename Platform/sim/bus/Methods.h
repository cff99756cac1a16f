// The handlers of org.gxemp.Simulator1's methods where they run in this process (the table that
// says where each runs is MethodTable.cpp), and what they share to read calls and answer them.
// Each calls the gxsim:: API of Sim.h.
#pragma once

#include <systemd/sd-bus.h>

#include <string>

#include "gxhost/BusRef.h"

namespace gxsimbus {

// The library signals and callbacks, instances and the trace: per process (SignalMethods.cpp).
int Reset(sd_bus_message* m, void*, sd_bus_error*);
int EmitMotionSignal(sd_bus_message* m, void*, sd_bus_error*);
int EmitMotionSignalWithoutData(sd_bus_message* m, void*, sd_bus_error*);
int EmitFaceSignal(sd_bus_message* m, void*, sd_bus_error* error);
int EmitFaceSignalWithoutData(sd_bus_message* m, void*, sd_bus_error*);
int InvokeMotionCallback(sd_bus_message* m, void*, sd_bus_error*);
int InvokeMotionCallbackWithoutData(sd_bus_message* m, void*, sd_bus_error*);
int InvokeFaceCallback(sd_bus_message* m, void*, sd_bus_error* error);
int InvokeFaceCallbackWithoutData(sd_bus_message* m, void*, sd_bus_error*);
int Drain(sd_bus_message* m, void*, sd_bus_error*);
int Trace(sd_bus_message* m, void*, sd_bus_error*);
int ClearTrace(sd_bus_message* m, void*, sd_bus_error*);
int MotionStates(sd_bus_message* m, void*, sd_bus_error*);
int SignalReaders(sd_bus_message* m, void*, sd_bus_error*);

// The TV's state, shared by every process that serves the TV (StateMethods.cpp).
int LoadProfile(sd_bus_message* m, void*, sd_bus_error* error);
int SetCameraState(sd_bus_message* m, void*, sd_bus_error* error);
int SetCameraQueryResult(sd_bus_message* m, void*, sd_bus_error* error);
int SetModel(sd_bus_message* m, void*, sd_bus_error* error);
int ClearModel(sd_bus_message* m, void*, sd_bus_error* error);
int GetModel(sd_bus_message* m, void*, sd_bus_error*);
int SetFactoryItem(sd_bus_message* m, void*, sd_bus_error* error);
int SetFactoryItemFailing(sd_bus_message* m, void*, sd_bus_error* error);
int ForceResult(sd_bus_message* m, void*, sd_bus_error* error);
int ClearForcedResult(sd_bus_message* m, void*, sd_bus_error* error);
int ClearForcedResults(sd_bus_message* m, void*, sd_bus_error* error);
int MotionEntryPoints(sd_bus_message* m, void*, sd_bus_error*);
int SetHiddenMotionEntryPoints(sd_bus_message* m, void*, sd_bus_error* error);
int SetNextMotionHandle(sd_bus_message* m, void*, sd_bus_error* error);
int SetNextFaceHandle(sd_bus_message* m, void*, sd_bus_error* error);
int StoredFaces(sd_bus_message* m, void*, sd_bus_error*);
int SetFacesInView(sd_bus_message* m, void*, sd_bus_error* error);
int SetFaceVersion(sd_bus_message* m, void*, sd_bus_error* error);
int ClearFaceVersion(sd_bus_message* m, void*, sd_bus_error* error);
int SetFaceImageDirectory(sd_bus_message* m, void*, sd_bus_error* error);
int GetSetting(sd_bus_message* m, void*, sd_bus_error* error);
int SetSetting(sd_bus_message* m, void*, sd_bus_error* error);
int GetSettingsPath(sd_bus_message* m, void*, sd_bus_error*);

// ---- Answers -----------------------------------------------------------------------------------

inline int InvalidArgs(sd_bus_error* error, const std::string& message) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, message.c_str());
}
inline int ReplyEmpty(sd_bus_message* m) {
    return sd_bus_reply_method_return(m, "");
}

// Answers `m` with what `fill(reply)` appends (a negative errno from it stops there).
template <class Fill>
int ReplyWith(sd_bus_message* m, Fill&& fill) {
    gxhost::MessageRef reply;
    int r = sd_bus_message_new_method_return(m, reply.out());
    if (r >= 0) r = fill(reply.get());
    if (r >= 0) r = sd_bus_send(nullptr, reply.get(), nullptr);
    return r;
}

}  // namespace gxsimbus
