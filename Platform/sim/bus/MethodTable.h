// org.gxemp.Simulator1's methods, in one table: each method's handler, its signatures with the
// names of its arguments, and where it runs. The TV's state (camera, model, faces in view, forced
// results...) is shared by every process serving the TV, so a method that reads or changes it
// runs where it is called. What lives in each process's own libraries (instances, subscriptions,
// signals, the trace) is reached in every worker: a signal through the ring in the shared
// segment, anything else relayed by a worker to the broker, which spreads it over every worker's
// control link and combines their answers as the table says.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>

namespace gxsimbus {

// How the broker combines the workers' answers to a method that reaches every worker; Here: the
// method runs in the process it is called in; Ring: so does a signal's emit, which reaches every
// worker through the ring in the TV's shared segment (the simulator's Broadcast.cpp) and answers
// for all of them.
enum class Combine {
    Here,
    Ring,
    Nothing,  // no answer but that it is done
    Any,      // a boolean: whether any said true
    Concat,   // an array: every element of theirs, worker after worker
    Trace,    // the trace: every call, with those of the workers that have ended, in order
};

struct Method {
    const char* name;
    sd_bus_message_handler_t handler;  // where it runs in this process
    const char* in;                    // signature and argument names (space-separated)
    const char* inNames;
    const char* out;
    const char* outNames;
    Combine combine;
};

// Every method, and their number.
extern const Method kMethods[];
extern const size_t kMethodCount;
// The method called `name`, or null.
const Method* FindMethod(const char* name);

// How one connection serves the object: the vtable to register it with, whose userdata is as said.
enum class Attachment {
    Local,      // every method runs here (a single process; a worker on its control link)
    Relaying,   // a worker's clients: what reaches every worker goes to the broker (Relay*)
    Spreading,  // the broker on a worker's control link: spreads those calls (Fanout*)
};
const sd_bus_vtable* Vtable(Attachment attachment);

}  // namespace gxsimbus
