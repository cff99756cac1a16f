// What org.gxemp.Simulator1 puts on the wire beyond plain numbers and texts, for the service and
// for its clients (gxempctl): the errors it answers with, the signatures of its composite values
// and the encoding of the call trace. Depends on libsystemd only (libgxemp-sim-wire.a).
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <vector>

#include "gxsim/Sim.h"

namespace gxsim::wire {

// A refused change of the TV's state (see gxsim::Refusal); an invalid one is
// org.freedesktop.DBus.Error.InvalidArgs.
constexpr char kErrorTooLarge[] = "org.gxemp.Simulator1.Error.TooLarge";
constexpr char kErrorUnavailable[] = "org.gxemp.Simulator1.Error.Unavailable";
// The settings store could not be read or written.
constexpr char kErrorSettings[] = "org.gxemp.Simulator1.Error.Settings";

// One traced library call: sequence number, pid of the process that made it, function,
// arguments, result and what the pointers carried (gxsim::TraceEntry).
constexpr char kTraceCallFields[] = "tusasis";
constexpr char kTraceCall[] = "(tusasis)";
constexpr char kTraceCalls[] = "a(tusasis)";
// One live motion instance: pid, handle, status, enabled, hint, swipe, zoom and rotate triggers,
// subscribed signals.
constexpr char kMotionStateFields[] = "uiiiiiiiai";
constexpr char kMotionState[] = "(uiiiiiiiai)";
constexpr char kMotionStates[] = "a(uiiiiiiiai)";
// One stored face: id, whether a person is known, the person, image path, x, y, w, h.
constexpr char kStoredFace[] = "(ibisiiii)";
constexpr char kStoredFaces[] = "a(ibisiiii)";
// One face in view: person, x, y, w, h.
constexpr char kViewFace[] = "(iiiii)";
constexpr char kViewFaces[] = "a(iiiii)";
// A face record: "id", "x", "y", "w", "h" (int32) and "image_path" (string), each optional.
constexpr char kFaceRecord[] = "a{sv}";

// Appends `calls` as kTraceCalls; a negative errno when sd-bus refuses.
int AppendTrace(sd_bus_message* m, const std::vector<TraceEntry>& calls);
// Reads a kTraceCalls value at the message's read position into *calls (appended).
int ReadTrace(sd_bus_message* m, std::vector<TraceEntry>* calls);

// A Trace reply that leaves older calls out (it holds the newest that fit its bounds) starts with
// a note: an entry of sequence 0 and no function, whose result is how many were left out and
// whose detail says so.
bool IsOmissionNote(const TraceEntry& call);

}  // namespace gxsim::wire
