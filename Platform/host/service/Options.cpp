// The service's command line. See Options.h.
#include "service/Options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

namespace {

using namespace std::string_literals;

// "" when the value is taken, else why it is refused.
using Handler = std::string (*)(const char* value, Options* opts);

std::string Bad(const char* option, const std::string& expected, const char* value) {
    return std::string("--") + option + " takes " + expected + ", not '" + value + "'";
}

std::string ParseCount(const char* option, const char* value, unsigned long max, size_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || value[0] == '-' || v == 0 || v > max)
        return Bad(option, "1.." + std::to_string(max), value);
    *out = v;
    return "";
}

std::string ParseLogLevel(const char* value, Options* opts) {
    static const std::pair<const char*, int> kNames[] = {
        {"trace", 2}, {"debug", 2}, {"info", 4}, {"notice", 5}, {"error", 16}};
    for (const auto& n : kNames)
        if (std::strcmp(value, n.first) == 0) {
            opts->logLevel = value;
            opts->logPriority = n.second;
            return "";
        }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || v < 0 || v > 1000)
        return Bad("log-level", "a priority (a number, trace, info, notice or error)", value);
    opts->logLevel = value;
    opts->logPriority = static_cast<int>(v);
    return "";
}

std::string ParseBus(const char* value, Options* opts) {
    if (std::strcmp(value, "session") != 0 && std::strcmp(value, "system") != 0)
        return Bad("bus", "'session' or 'system'", value);
    opts->bus = value;
    return "";
}

std::string ParseAuthTimeout(const char* value, Options* opts) {
    char* end = nullptr;
    double sec = std::strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(sec) || sec <= 0 || sec > 3600)
        return Bad("auth-timeout", "seconds (more than 0, at most 3600)", value);
    opts->limits.authTimeoutUsec = static_cast<uint64_t>(sec * 1e6);
    return "";
}

std::string ParseSpareWorkers(const char* value, Options* opts) {
    char* end = nullptr;
    unsigned long n = std::strtoul(value, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || n > 16)
        return Bad("spare-workers", "0..16", value);
    opts->spareWorkers = n;
    return "";
}

struct BuiltIn {
    const char* name;
    int hasArg;
    Handler handle;
};

// Options of every process; `val` in getopt's table is kBuiltInBase + the index here.
const BuiltIn kBuiltIns[] = {
    {"address", required_argument, [](const char* v, Options* o) { return o->address = v, ""s; }},
    {"bus", required_argument, ParseBus},
    {"log", required_argument, [](const char* v, Options* o) { return o->logFile = v, ""s; }},
    {"log-level", required_argument, ParseLogLevel},
    {"max-queued-events", required_argument,
     [](const char* v, Options* o) {
         return ParseCount("max-queued-events", v, 1000000, &o->limits.maxQueuedEvents);
     }},
    {"max-clients", required_argument,
     [](const char* v, Options* o) {
         return ParseCount("max-clients", v, 100000, &o->limits.maxClients);
     }},
    {"auth-timeout", required_argument, ParseAuthTimeout},
    {"single-process", no_argument,
     [](const char*, Options* o) { return o->singleProcess = true, ""s; }},
    {"spare-workers", required_argument, ParseSpareWorkers},
    {"exec-workers", no_argument,
     [](const char*, Options* o) { return o->execWorkers = true, ""s; }},
    // Internal: how the broker starts a worker (worker/WorkerProtocol.h).
    {kWorkerOption, required_argument,
     [](const char* v, Options* o) { return o->worker = v, ""s; }},
    {kWorkerSpareOption, no_argument, [](const char*, Options* o) { return o->spare = true, ""s; }},
    {kWorkerTemplateOption, no_argument,
     [](const char*, Options* o) { return o->workerTemplate = true, ""s; }},
    {kWorkerFdsOption, required_argument,
     [](const char* v, Options* o) {
         return ParseWorkerFds(v, &o->workerFds)
                    ? ""s
                    : Bad(kWorkerFdsOption, "descriptors separated by commas", v);
     }},
};
constexpr int kBuiltInBase = 1000;
constexpr int kExtensionBase = 2000;

// getopt's table: the built-in options, then the extensions' (whose names it keeps alive).
struct OptionTable {
    struct ExtensionOption {
        Extension* ext;
        std::string name;
        bool takesValue;
    };
    std::vector<ExtensionOption> extensions;
    std::vector<struct option> longOptions;

    OptionTable() {
        longOptions.push_back({"help", no_argument, nullptr, 'h'});
        longOptions.push_back({"version", no_argument, nullptr, 'V'});
        for (size_t i = 0; i < std::size(kBuiltIns); ++i)
            longOptions.push_back({kBuiltIns[i].name, kBuiltIns[i].hasArg, nullptr,
                                   kBuiltInBase + static_cast<int>(i)});
        for (Extension* ext : Extensions())
            for (const gxhost::ExtensionOption& o : ext->Options())
                extensions.push_back({ext, o.name, !o.argName.empty()});
        for (size_t i = 0; i < extensions.size(); ++i)
            longOptions.push_back({extensions[i].name.c_str(),
                                   extensions[i].takesValue ? required_argument : no_argument,
                                   nullptr, kExtensionBase + static_cast<int>(i)});
        longOptions.push_back({nullptr, 0, nullptr, 0});
    }
};

// One option that getopt returned as `c`: "" when taken, else why it is refused.
std::string TakeOption(int c, const OptionTable& table, char** argv, ParsedOptions* parsed) {
    const char* value = optarg != nullptr ? optarg : "";
    if (c == ':') return std::string("option '") + argv[optind - 1] + "' needs a value";
    if (c == '?') return std::string("unknown option '") + argv[optind - 1] + "'";
    size_t builtIn = static_cast<size_t>(c - kBuiltInBase);
    if (c >= kBuiltInBase && builtIn < std::size(kBuiltIns))
        return kBuiltIns[builtIn].handle(value, &parsed->options);
    size_t i = static_cast<size_t>(c - kExtensionBase);
    if (c < kExtensionBase || i >= table.extensions.size()) return "unknown option";
    std::string error;
    if (!table.extensions[i].ext->HandleOption(table.extensions[i].name, value, &error))
        return "--" + table.extensions[i].name + ": " + error;
    return "";
}

ParsedOptions Refused(std::string error) {
    ParsedOptions parsed;
    parsed.action = Action::Refuse;
    parsed.error = std::move(error);
    return parsed;
}

}  // namespace

ParsedOptions ParseOptions(int argc, char** argv) {
    OptionTable table;
    ParsedOptions parsed;
    optind = 0;  // getopt starts over, even after a parse that stopped half-way
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", table.longOptions.data(), nullptr)) != -1) {
        if (c == 'h' || c == 'V') {
            parsed.action = c == 'h' ? Action::Help : Action::Version;
            return parsed;
        }
        std::string error = TakeOption(c, table, argv, &parsed);
        if (!error.empty()) return Refused(std::move(error));
    }
    if (optind < argc) return Refused(std::string("unexpected argument '") + argv[optind] + "'");
    if (!parsed.options.bus.empty() && !parsed.options.address.empty())
        return Refused("--bus and --address exclude each other");
    return parsed;
}

void PrintHelp(FILE* out, const char* program) {
    std::fprintf(out,
                 "Usage: %s [OPTION]...\n"
                 "Serves the recognition engines to D-Bus clients (object /org/gxemp/Host1).\n"
                 "Each client is served by a worker process of its own, so that applications\n"
                 "cannot break or overhear each other.\n"
                 "\n"
                 "Where it listens (first that applies):\n"
                 "  --bus session|system   serve on that message bus, owning org.gxemp.Host1\n"
                 "                         (one process serves every client)\n"
                 "  --address ADDR         peer-to-peer server socket at ADDR (unix:path=...)\n"
                 "  a socket passed by systemd (socket activation)\n"
                 "  %s (default)\n"
                 "\n"
                 "Options:\n"
                 "  --single-process       serve every client in this one process\n"
                 "  --max-clients N        clients served at once; more are refused (default 64)\n"
                 "  --spare-workers N      workers kept started for the next clients, so that a\n"
                 "                         new client need not wait for one (default 1; 0: start\n"
                 "                         each client's worker when it connects)\n"
                 "  --exec-workers         start each worker by exec, not by forking it from the\n"
                 "                         worker template (costs each worker more memory and\n"
                 "                         time; for tools that follow exec)\n"
                 "  --auth-timeout SEC     close a connection that sends no message within SEC\n"
                 "                         seconds of connecting (default 5)\n"
                 "  --max-queued-events N  events kept for a client that does not read\n"
                 "                         (default 1024)\n"
                 "  --log FILE             write the log to FILE; SIGHUP opens FILE again (after\n"
                 "                         it was rotated). Default: the journal under systemd,\n"
                 "                         else $XDG_STATE_HOME/gxemp/gxemp.log (kept below\n"
                 "                         4 MiB, the older part in gxemp.log.1), and only the\n"
                 "                         service's notices and errors on standard error;\n"
                 "                         gxempctl log shows it\n"
                 "  --log-level PRIORITY   drop log lines below PRIORITY: a number, or trace (2),\n"
                 "                         info (4), notice (5), error (16) (default: keep every\n"
                 "                         line)\n",
                 program, DefaultAddress().c_str());
    for (Extension* ext : Extensions())
        for (const ExtensionOption& o : ext->Options()) {
            std::string left = "--" + o.name + (o.argName.empty() ? "" : " " + o.argName);
            std::fprintf(out, "  %-22s %s\n", left.c_str(), o.help.c_str());
        }
    std::fprintf(out,
                 "  -h, --help             show this help and exit\n"
                 "  -V, --version          show the version and exit\n"
                 "\n"
                 "SIGINT or SIGTERM destroys every engine (each worker its own, in the order\n"
                 "they were opened) and exits with status 0.\n"
                 "Exit status: 0 stopped normally; 1 could not start; 2 bad command line.\n");
}

}  // namespace gxhost
