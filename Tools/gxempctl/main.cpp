// gxempctl: command-line client of the gxemp service and of the simulated TV. This file reads the
// global options and hands the rest to the command named next; each command family has its own
// source (see gxempctl.h).
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "gxempctl.h"

namespace gxempctl {
namespace {

const char kUsageHead[] =
    "Usage: gxempctl [--address ADDR | --bus session|system] [--timeout SEC] COMMAND ...\n"
    "       gxempctl help [COMMAND] | COMMAND --help | --version\n"
    "\n"
    "Client of the gxemp service (org.gxemp.Host1) and of the simulated TV\n"
    "(org.gxemp.Simulator1).\n"
    "\n"
    "Commands:\n";

const char kUsageTail[] =
    "\n"
    "The service is found at --address, else $GXEMP_ADDRESS, else\n"
    "unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock (/tmp/gxemp-$UID/host.sock without it).\n"
    "The plug-in's commands and events: docs/COMMANDS.md (installed under\n"
    "share/doc/gxemp/); this client: man gxempctl, docs/CLIENT.md.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the command was not served (call), monitor or record saw fewer than --count\n"
    "     events, an expectation of a scenario failed (play), or view cannot listen on\n"
    "     its port\n"
    "  2  usage error: unknown command, malformed or missing argument, a scenario file\n"
    "     that is missing or not valid (nothing is played)\n"
    "  3  the service is not running or cannot be reached\n"
    "  4  the service refused the request (D-Bus error, e.g. an unknown entry point), or\n"
    "     a scenario drives the simulated TV and the service has none\n";

int CmdHelp(std::vector<std::string>& args);

// The commands by name, with their lines of the usage text. Each gets the words after its name
// and connects by itself; `COMMAND --help` prints its lines without connecting.
struct Command {
    const char* name;
    int (*run)(std::vector<std::string>& args);
    const char* help;
};
const Command kCommands[] = {
    {"address", CmdAddress,
     "  address                      print the address of the service (for other D-Bus tools)\n"},
    {"info", CmdInfo, "  info                         the application's strings (JSON)\n"},
    {"call", CmdCall,
     "  call [--app ID] [--json] COMMAND [ARG...]\n"
     "                               open an engine, run COMMAND with up to four arguments,\n"
     "                               print whether it was served and its result; a COMMAND\n"
     "                               the plug-in does not know gets suggestions on stderr\n"},
    {"session", CmdSession,
     "  session [--app ID] [--linger SEC]\n"
     "                               one engine for the whole run; reads one command per line\n"
     "                               from standard input (shell quoting, or a JSON array of\n"
     "                               strings) and prints results and events as JSON lines\n"},
    {"monitor", CmdMonitor,
     "  monitor [[--widget] NAME] [--no-motion] [--no-face] [--count N] [--timeout SEC]\n"
     "                               subscribe to every motion event under NAME and to face\n"
     "                               events; print events as JSON lines as they arrive\n"},
    {"play", CmdPlay,
     "  play FILE... [--speed X] [--loop N] [--dry-run] [--json]\n"
     "                               run scenario files (JSON Lines, see docs/SCENARIOS.md): each\n"
     "                               step at its time; on a terminal one line per step and a\n"
     "                               summary, else (or with --json) steps, results and events\n"
     "                               as JSON lines; --dry-run only checks the files and prints\n"
     "                               the plan\n"},
    {"record", CmdRecord,
     "  record FILE [--widget W] [--count N] [--duration S]\n"
     "                               subscribe like monitor and write each event received as a\n"
     "                               scenario step that re-creates it, then expects it\n"},
    {"sim", CmdSim,
     "  sim gesture EVENT|SIGNAL [TEXT]   emit a motion signal (no TEXT: no data)\n"
     "  sim face-signal SIGNAL [--no-data | FIELD=VALUE...]\n"
     "                               emit a face signal 0..5; fields id, path, x, y, w, h\n"
     "  sim motion-callback HANDLE SIGNAL [TEXT]\n"
     "  sim face-callback HANDLE SIGNAL [--no-data | FIELD=VALUE...]\n"
     "                               call a library's registered callback with any handle\n"
     "  sim faces [PERSON:X,Y,W,H...]  faces in view (none: nobody)\n"
     "  sim camera STATE [QUERY_RESULT]  camera state and the query's result\n"
     "  sim model [TEXT | --none]    show or set the model text\n"
     "  sim factory ID VALUE|fail    a factory data item\n"
     "  sim force ENTRY VALUE | sim force --clear [ENTRY]\n"
     "                               force (or stop forcing) a library entry point's result\n"
     "  sim hide [ENTRY...]          motion entry points the next load lacks (none: all there)\n"
     "  sim entry-points             the motion library's entry points\n"
     "  sim next-handle motion|face N  the handle the next create returns\n"
     "  sim face-version VERSION|none\n"
     "  sim trace [--json] | sim trace clear\n"
     "                               the library calls so far (every worker's, in order:\n"
     "                               SEQ [WORKER] CALL = RESULT  DETAIL), or forget them\n"
     "  sim motion-state             every live motion instance (JSON lines)\n"
     "  sim stored-faces             the faces the face library has stored (JSON lines)\n"
     "  sim settings get KEY | sim settings set KEY VALUE | sim settings path\n"
     "                               the settings store (voice guide: db/menu/accessibility/tts)\n"
     "  sim drain | sim reset | sim profile FILE\n"},
    {"view", CmdView,
     "  view [--port N] [--frame WxH]\n"
     "                               serve a live page of this client's own engine (gestures,\n"
     "                               face boxes, camera, voice guide) on 127.0.0.1:N (default\n"
     "                               8765, 0: any free port); prints its URL, with the token\n"
     "                               the page needs; --frame is the camera's size (1280x720)\n"},
    {"log", CmdLog,
     "  log [-f] [--priority P] [--tag T] [--worker PID] [--file FILE]\n"
     "                               the service's log (without --log: under\n"
     "                               $XDG_STATE_HOME/gxemp/); P a number or trace, info,\n"
     "                               notice, error; colours only on a terminal; -f follows\n"},
    {"help", CmdHelp,
     "  help [COMMAND]               this text, or one command's; for a command of the\n"
     "                               plug-in, where it is described\n"},
};

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const Command& c : kCommands) names.push_back(c.name);
    return names;
}

[[noreturn]] void UnknownCommand(const std::string& name) {
    Usage("unknown command '" + name + "'" + DidYouMean(name, CommandNames()));
}

int CmdHelp(std::vector<std::string>& args) {
    if (args.size() > 1) Usage("help takes at most one COMMAND");
    if (args.empty()) {
        std::cout << kUsageHead;
        for (const Command& c : kCommands) std::cout << c.help;
        std::cout << kUsageTail;
        return kExitOk;
    }
    for (const Command& c : kCommands) {
        if (args[0] != c.name) continue;
        std::cout << "Usage (after the global options of gxempctl --help):\n" << c.help;
        if (args[0] == "call")
            std::cout << "\nThe plug-in's commands (docs/COMMANDS.md describes each):\n"
                      << WrapWords(PluginCommands(), 2, 79);
        return kExitOk;
    }
    const std::vector<std::string> served = PluginCommands();
    if (std::find(served.begin(), served.end(), args[0]) != served.end()) {
        std::cout << args[0] << " is a command of the plug-in: run it with\n"
                  << "  gxempctl call " << args[0] << " [ARG...]\n"
                  << "Its arguments, result and events: docs/COMMANDS.md (installed under\n"
                  << "share/doc/gxemp/).\n";
        return kExitOk;
    }
    std::vector<std::string> all = CommandNames();
    all.insert(all.end(), served.begin(), served.end());
    Usage("no help for '" + args[0] + "'" + DidYouMean(args[0], all));
}

// Whether the words after a command ask for its help (before a "--" that ends the options).
bool AsksForHelp(const std::vector<std::string>& words) {
    for (const std::string& w : words) {
        if (w == "--") return false;
        if (w == "--help" || w == "-h") return true;
    }
    return false;
}

int Run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 1, "-") == 0; ++i) {
        const std::string& o = args[i];
        if (o == "-h" || o == "--help") {
            std::vector<std::string> none;
            return CmdHelp(none);
        } else if (o == "-V" || o == "--version") {
            std::cout << "gxempctl " << GXEMP_VERSION << "\n";
            return kExitOk;
        } else if (o == "--address" && i + 1 < args.size()) {
            g.address = args[++i];
        } else if (o.compare(0, 10, "--address=") == 0) {
            g.address = o.substr(10);
        } else if (o == "--bus" && i + 1 < args.size()) {
            g.bus = args[++i];
            if (g.bus != "session" && g.bus != "system") Usage("--bus takes session or system");
        } else if (o == "--timeout" && i + 1 < args.size()) {
            int32_t sec = ParseIntIn(args[++i], "--timeout", 1, INT32_MAX);
            g.timeoutUsec = static_cast<uint64_t>(sec) * 1000000;
        } else {
            Usage("unknown option " + o);
        }
    }
    if (i >= args.size()) Usage("no command given");
    std::string name = args[i];
    std::vector<std::string> rest(args.begin() + i + 1, args.end());
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        if (AsksForHelp(rest)) {
            std::vector<std::string> which{name};
            return CmdHelp(which);
        }
        return c.run(rest);
    }
    UnknownCommand(name);
}

}  // namespace
}  // namespace gxempctl

int main(int argc, char** argv) {
    using namespace gxempctl;
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "gxempctl: %s\nTry 'gxempctl --help'.\n", e.message.c_str());
        return kExitUsage;
    } catch (const ServiceError& e) {
        std::fprintf(stderr, "gxempctl: %s\n", e.message.c_str());
        return e.code;
    }
}
