// gxempctl: command-line client of the gxemp service and of the simulated TV. This file reads the
// global options and hands the rest to the command named next; each command family has its own
// source (see gxempctl.h).
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Verbs.h"
#include "gxempctl.h"

namespace gxempctl {
namespace {

const char kUsageHead[] =
    "Usage: gxempctl [--address ADDR | --bus session|system] [--timeout SEC]\n"
    "                COMMAND ...\n"
    "       gxempctl help [COMMAND] | COMMAND [SUBCOMMAND] --help | --version\n"
    "\n"
    "Client of the gxemp service (org.gxemp.Host1) and of the simulated TV\n"
    "(org.gxemp.Simulator1).\n"
    "\n"
    "Commands:\n";

const char kUsageTail[] =
    "\n"
    "The service is found at --address, else $GXEMP_ADDRESS, else\n"
    "unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock (/tmp/gxemp-$UID/host.sock without\n"
    "$XDG_RUNTIME_DIR).\n"
    "The plug-in's commands and events: docs/COMMANDS.md (installed under\n"
    "share/doc/gxemp/); this client: man gxempctl, docs/CLIENT.md.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the command was not served (call), monitor or record saw fewer than\n"
    "     --count events, an expectation of a scenario failed (play), or view\n"
    "     cannot listen on its port\n"
    "  2  usage error: unknown command, malformed or missing argument, a scenario\n"
    "     file that is missing or not valid (nothing is played)\n"
    "  3  the service is not running or cannot be reached\n"
    "  4  the service refused the request (D-Bus error, e.g. an unknown entry\n"
    "     point), or a scenario drives the simulated TV and the service has none\n";

int CmdHelp(Args& args);

// clang-format off
const Verb kCommands[] = {
    {"address", 0, 0, CmdAddress, "",
     "print the address of the service (for other D-Bus tools)", nullptr},
    {"info", 0, 0, CmdInfo, "",
     "the application's strings (JSON)", nullptr},
    {"call", 0, kAnyArgs, CmdCall, "[--app ID] [--json] COMMAND [ARG...]",
     "open an engine, run COMMAND with up to four arguments, print whether it was served and its "
     "result; a COMMAND the plug-in does not know gets suggestions on stderr", nullptr},
    {"session", 0, kAnyArgs, CmdSession, "[--app ID] [--linger SEC]",
     "one engine for the whole run; reads one command per line from standard input (shell "
     "quoting, or a JSON array of strings) and prints results and events as JSON lines", nullptr},
    {"monitor", 0, kAnyArgs, CmdMonitor,
     "[[--widget] NAME] [--no-motion] [--no-face] [--count N] [--timeout SEC]",
     "subscribe to every motion event under NAME and to face events; print events as JSON lines "
     "as they arrive", nullptr},
    {"play", 0, kAnyArgs, CmdPlay, "FILE... [--speed X] [--loop N] [--dry-run] [--json]",
     "run scenario files (JSON Lines, see docs/SCENARIOS.md): each step at its time; on a "
     "terminal one line per step and a summary, else (or with --json) steps, results and events "
     "as JSON lines; --dry-run only checks the files and prints the plan", nullptr},
    {"record", 0, kAnyArgs, CmdRecord, "FILE [--widget W] [--count N] [--duration S]",
     "subscribe like monitor and write each event received as a scenario step that re-creates "
     "it, then expects it", nullptr},
    {"sim", 0, kAnyArgs, CmdSim, "SUBCOMMAND [ARG...]", nullptr, &kSimTable},
    {"view", 0, kAnyArgs, CmdView, "[--port N] [--frame WxH]",
     "serve a live page of this client's own engine (gestures, face boxes, camera, voice guide) "
     "on 127.0.0.1:N (default 8765, 0: any free port); prints its URL, with the token the page "
     "needs; --frame is the camera's size (1280x720)", nullptr},
    {"log", 0, kAnyArgs, CmdLog, "[-f] [--priority P] [--tag T] [--worker PID] [--file FILE]",
     "the service's log (without --log: under $XDG_STATE_HOME/gxemp/); P a number or trace, "
     "info, notice, error; colours only on a terminal; -f follows", nullptr},
    {"help", 0, 3, CmdHelp, "[COMMAND]\nsim SUBCOMMAND",
     "this text, or one command's; for a command of the plug-in, where it is described", nullptr},
};
// clang-format on

// What `help` says of a name that is not one of ours: how to run a command of the plug-in, or
// the names closest to it.
int HelpOfPluginCommand(const std::string& name) {
    const std::vector<std::string> served = PluginCommands();
    if (std::find(served.begin(), served.end(), name) != served.end()) {
        std::cout << name << " is a command of the plug-in: run it with\n"
                  << "  gxempctl call " << name << " [ARG...]\n"
                  << "Its arguments, result and events: docs/COMMANDS.md (installed under\n"
                  << "share/doc/gxemp/).\n";
        return kExitOk;
    }
    std::vector<std::string> all = VerbNames(kCommandTable);
    all.insert(all.end(), served.begin(), served.end());
    Usage("no help for '" + name + "'" + DidYouMean(name, all));
}

int CmdHelp(Args& args) {
    if (args.empty()) {
        std::cout << kUsageHead;
        for (const Verb& v : kCommands)
            if (v.usage != nullptr) std::cout << VerbHelp(kCommandTable, v);
        std::cout << kUsageTail;
        return kExitOk;
    }
    const VerbTable* table = &kCommandTable;
    size_t used = 0;
    const Verb* verb = FindVerbPath(&table, args, &used);
    if (verb == nullptr) {
        if (args.size() > 1) Usage("help takes one COMMAND (sim: and a SUBCOMMAND)");
        return HelpOfPluginCommand(args[0]);
    }
    if (used < args.size() && verb->subverbs != nullptr)
        Usage("unknown " + std::string(verb->subverbs->kind) + " '" + args[used] + "'" +
              DidYouMean(args[used], VerbNames(*verb->subverbs)));
    if (used < args.size()) Usage("no help for '" + args[used] + "' of " + verb->name);
    std::cout << "Usage (after the global options of gxempctl --help):\n"
              << VerbHelp(*table, *verb);
    if (std::string(verb->name) == "call")
        std::cout << "\nThe plug-in's commands (docs/COMMANDS.md describes each):\n"
                  << WrapWords(PluginCommands(), 2, 79);
    return kExitOk;
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
            Args none;
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
    Args words(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    // `COMMAND [SUBCOMMAND] ... --help` is the help of what it names, without connecting.
    if (AsksForHelp(words)) {
        const VerbTable* table = &kCommandTable;
        size_t used = 0;
        if (FindVerbPath(&table, words, &used) != nullptr) {
            words.resize(used);
            return CmdHelp(words);
        }
    }
    return DispatchVerb(kCommandTable, words);
}

}  // namespace

const VerbTable kCommandTable = {"", "command", std::begin(kCommands), std::end(kCommands)};

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
