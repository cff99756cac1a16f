// The service's command line. ParseOptions reads it without printing or exiting, so that what it
// accepts and refuses can be checked on its own; kiv::EmpMain reports what it returns.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bus/HostLimits.h"

namespace gxhost {

struct Options {
    std::string address;
    std::string bus;  // "", "session" or "system"
    std::string logFile;
    std::string logLevel;  // as given, for the workers
    std::optional<int> logPriority;
    HostLimits limits;
    bool singleProcess = false;
    // Worker mode: the unique name of the one client this process serves, and the descriptor of
    // each extension's shared state (-1 for none), in registration order.
    std::string worker;
    std::vector<int> workerFds;
    // A spare worker: started before its client, which the broker hands over later.
    bool spare = false;
    // The worker template (worker/Template.h): forks the broker's workers.
    bool workerTemplate = false;
    size_t spareWorkers = 1;   // the broker's, see --spare-workers
    bool execWorkers = false;  // the broker's: exec each worker, no template (--exec-workers)

    // Whether this process is a worker the broker started.
    bool IsWorker() const { return !worker.empty() || spare; }
};

enum class Action {
    Serve,    // run as the options say
    Help,     // --help: show the help and exit
    Version,  // --version: show the version and exit
    Refuse,   // a bad command line: `error` says why
};

struct ParsedOptions {
    Action action = Action::Serve;
    Options options;
    std::string error;  // with Action::Refuse, e.g. "unknown option '--x'"
};

// Reads the command line, the registered extensions' options included (each extension is told of
// its own, and may refuse it). argv[0] is not looked at.
ParsedOptions ParseOptions(int argc, char** argv);

// The text of --help, for a program called `program`.
void PrintHelp(FILE* out, const char* program);

}  // namespace gxhost
