// What the service's process holds while it runs: its options, its loop and the loop's own
// sources. One object for the life of the process, made by kiv::EmpMain and passed to every step
// of Run and, as userdata, to the loop's signal and log-flush handlers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EmpAppBase.h"
#include "gxhost/BusRef.h"
#include "service/Options.h"

namespace gxhost {

class Broker;

struct ServiceContext {
    kiv::CEmpAppBase* app = nullptr;  // runs for the whole process (see kiv::EmpMain)
    std::string argv0 = "gxemp";      // how the program was started, for its workers
    std::string program = "gxemp";    // its name, in the messages on standard error
    // The process's own argument strings: a worker forked from the template writes its role
    // over the template's in them, so that its command line (ps, /proc/PID/cmdline) names it.
    int argc = 0;
    char** argv = nullptr;
    Options options;

    EventRef event;
    std::vector<EventSourceRef> signalSources;  // SIGINT, SIGTERM, SIGHUP
    // The log's flush (see Loop.cpp): after a loop iteration, a re-arm while busy, and a timer.
    EventSourceRef flushPost;
    EventSourceRef flushRearm;
    EventSourceRef flushTimer;
    uint64_t lastFlush = 0;  // when the post source last flushed

    Broker* broker = nullptr;  // while a broker serves: what the signals stop and pass on

    // The one connection whose end stops the process (the bus, or a worker's link to the
    // broker): what the log says then, and the exit status.
    const char* goneWhat = "";
    int goneStatus = 0;
};

}  // namespace gxhost
