// gxempctl: what the command families share. One source per family:
//   Connection.cpp  connecting, calling methods (built by Tools/common/Client.h), mapping errors
//                   to exit codes, JSON output, the event loop of session, monitor, record, play
//   Call.cpp        info, call, monitor; Session.cpp: session
//   Sim.cpp         sim ... (the table of its subcommands); SimQuery.cpp: its read-backs
//   Scenario.cpp    scenario files (Scenario.h); Play.cpp: play, Player.cpp: the player;
//                   Record.cpp: record
//   Log.cpp         log (the service's log file)
//   View.cpp        view (View.h; ViewHttp.cpp its web server; the page is under view/,
//                   embedded at build time)
//   Suggest.cpp     the plug-in's command names, suggestions for a mistyped name
//   Verbs.cpp       dispatching a verb of a table, the help generated from the tables
//   main.cpp        global options, the usage text and the table of commands, help
#pragma once

#include <json/json.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Client.h"
#include "Verbs.h"
#include "gxhost/BusRef.h"
#include "gxhost/Endpoint.h"

namespace gxempctl {

// Exit codes (kept in step with the --help text and docs/CLIENT.md).
constexpr int kExitOk = 0;
constexpr int kExitNotServed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr int kExitServiceError = 4;

// Thrown for a malformed command line (exit 2) and for a failure of the service (its code).
struct UsageError {
    std::string message;
};
struct ServiceError {
    int code;
    std::string message;
};

[[noreturn]] void Usage(const std::string& message);

// The global options.
struct Globals {
    std::string address;
    std::string bus;
    uint64_t timeoutUsec = 25 * 1000 * 1000;
};
extern Globals g;

// One JSON value on one line, as every JSON-printing command writes it.
std::string JsonLine(const Json::Value& v);
void PrintJson(const Json::Value& v);
int32_t ParseInt(const std::string& text, const char* what);

// ---- Connection --------------------------------------------------------------------------------

// The connection to the service. Commands connect at their first call (Get), once their
// arguments have been checked.
struct Bus {
    gxhost::BusRef bus;
    sd_bus* Get();
};

void Connect(Bus* b);

// Turns a failed call into the right exit code: a broken connection means the service is gone.
[[noreturn]] void ThrowCallError(const sd_bus_error& error, int r, const std::string& what);

// Calls and waits for the reply; a failure throws ServiceError with the exit code it means.
gxhost::MessageRef Call(Bus& b, const gxclient::Request& request);

void CheckRead(int r, const char* what);

// ---- Host calls --------------------------------------------------------------------------------

uint32_t OpenEngine(Bus& b, const std::string& app);
void CloseEngine(Bus& b, uint32_t engine);
// Reads the (b served, v result) of Execute into JSON: the result as an integer or a string.
void ReadExecuteReply(sd_bus_message* m, Json::Value* out);

// The commands the plug-in serves, read from its source when gxempctl is built.
const std::vector<std::string>& PluginCommands();
// "; did you mean A or B?" with the names closest to `word` (case aside: a small edit distance,
// or a name that holds it); "" when none is close.
std::string DidYouMean(const std::string& word, const std::vector<std::string>& names);
// The names as lines of at most `width` columns, each indented by `indent` blanks.
std::string WrapWords(const std::vector<std::string>& names, size_t indent, size_t width);
// An integer within [min, max]; a usage error names the range ("face signal must be 0..5").
int32_t ParseIntIn(const std::string& text, const char* what, int32_t min, int32_t max);

// Every motion event name a client can subscribe to and receive, with its signal number.
const std::map<std::string, int>& MotionEvents();

// A connection with an event loop that handles the events of one engine: by default prints them
// (session, monitor) and ends the loop after countLeft of them.
struct Loop {
    Bus bus;
    gxhost::EventRef event;
    uint32_t engine = 0;
    long countLeft = -1;  // monitor --count
    int exitCode = kExitOk;
    virtual ~Loop() = default;

    void Start();
    // Ends the loop after `seconds` (monitor --timeout, record --duration).
    void ExitAfter(double seconds);
    // `received`: {"type": "event", "engine", "code", "name", "data"}, as monitor prints it.
    virtual void OnEngineEvent(Json::Value received);
    static int OnLocal(sd_bus_message* m, void* userdata, sd_bus_error*);
};

// Runs one command on an engine; the reply as JSON (served, result).
Json::Value Execute(Bus& bus, uint32_t engine, const std::vector<std::string>& words);
// The argument of "SetMotionSubscribeInfo" that subscribes every motion event.
Json::Value MotionSubscription();
// What monitor, record and view subscribe to: every motion event under `widget` (when `motion`)
// and face events (when `face`). Returns the results by group, as monitor prints them.
Json::Value Subscribe(Bus& bus, uint32_t engine, const std::string& widget, bool motion, bool face);
// Reads an Event signal into JSON (engine, code, name, data); false when it is not `engine`'s.
bool ReadEvent(sd_bus_message* m, uint32_t engine, Json::Value* out);

// ---- Commands: each takes the words after its name and returns the exit code ------------------

int CmdAddress(Args& args);
int CmdInfo(Args& args);
int CmdCall(Args& args);
int CmdSession(Args& args);
int CmdMonitor(Args& args);
int CmdSim(Args& args);
int CmdPlay(Args& args);
int CmdRecord(Args& args);
int CmdView(Args& args);
int CmdLog(Args& args);
}  // namespace gxempctl
