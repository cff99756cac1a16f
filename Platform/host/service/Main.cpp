// The host process: command line, endpoint, signals and the sd-event loop that serves clients.
//
// On a peer-to-peer socket the process is a broker that starts a worker process per client (see
// Broker.h); with --single-process, and on a bus (where one process owns the name), one process
// serves every client. A worker is this program again, started by the broker with --worker.
#include "EmpMain.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "service/HostLog.h"
#include "bus/Host1.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"

#ifndef GXEMP_VERSION
#define GXEMP_VERSION "0"
#endif

namespace kiv {

namespace {

const char* g_Program = "gxemp";
std::string g_Argv0 = "gxemp";
// The application runs for the whole process; the caller never frees it, and keeping it here
// keeps it reachable (a leak checker sees it as the process's, not as lost).
CEmpAppBase* g_Application = nullptr;

struct Options {
    std::string address;
    std::string bus;  // "", "session" or "system"
    std::string logFile;
    std::string logLevel;  // as given, for the workers
    std::optional<int> logPriority;
    gxhost::HostLimits limits;
    bool singleProcess = false;
    // Worker mode: the unique name of the one client this process serves, and the descriptor of
    // each extension's shared state (-1 for none), in registration order.
    std::string worker;
    std::vector<int> workerFds;
    // A spare worker: started before its client, which the broker hands over on descriptor 3.
    bool spare = false;
    size_t spareWorkers = 1;  // the broker's, see --spare-workers
};

enum ParseResult { PARSE_OK, PARSE_EXIT_OK, PARSE_ERROR };

constexpr int kOptHelp = 'h';
constexpr int kOptVersion = 'V';
constexpr int kOptAddress = 1000;
constexpr int kOptBus = 1001;
constexpr int kOptLog = 1002;
constexpr int kOptQueue = 1003;
constexpr int kOptLogLevel = 1004;
constexpr int kOptMaxClients = 1005;
constexpr int kOptAuthTimeout = 1006;
constexpr int kOptSingle = 1007;
constexpr int kOptWorker = 1008;
constexpr int kOptWorkerFds = 1009;
constexpr int kOptSpareWorkers = 1010;
constexpr int kOptWorkerSpare = 1011;
constexpr int kOptExtensionBase = 2000;

void PrintHelp(FILE* out) {
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
                 "  --auth-timeout SEC     close a connection that sends no message within SEC\n"
                 "                         seconds of connecting (default 5)\n"
                 "  --max-queued-events N  events kept for a client that does not read "
                 "(default 1024)\n"
                 "  --log FILE             write the log to FILE; SIGHUP opens FILE again (after\n"
                 "                         it was rotated). Default: the journal under systemd,\n"
                 "                         else $XDG_STATE_HOME/gxemp/gxemp.log (kept below\n"
                 "                         4 MiB, the older part in gxemp.log.1), and only the\n"
                 "                         service's notices and errors on standard error;\n"
                 "                         gxempctl log shows it\n"
                 "  --log-level PRIORITY   drop log lines below PRIORITY: a number, or trace (2),\n"
                 "                         info (4), notice (5), error (16) (default: keep every\n"
                 "                         line)\n",
                 g_Program, gxhost::DefaultAddress().c_str());
    for (gxhost::Extension* ext : gxhost::Extensions())
        for (const gxhost::ExtensionOption& o : ext->Options()) {
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

bool Bad(const char* option, const char* expected, const char* value) {
    std::fprintf(stderr, "%s: --%s takes %s, not '%s'\n", g_Program, option, expected, value);
    return false;
}

bool ParseCount(const char* option, const char* value, unsigned long max, size_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || value[0] == '-' || v == 0 || v > max) {
        std::string range = "1.." + std::to_string(max);
        return Bad(option, range.c_str(), value);
    }
    *out = v;
    return true;
}

bool ParseLogLevel(const char* value, int* out) {
    static const std::pair<const char*, int> kNames[] = {
        {"trace", 2}, {"debug", 2}, {"info", 4}, {"notice", 5}, {"error", 16}};
    for (const auto& n : kNames)
        if (std::strcmp(value, n.first) == 0) return *out = n.second, true;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || v < 0 || v > 1000)
        return Bad("log-level", "a priority (a number, trace, info, notice or error)", value);
    *out = static_cast<int>(v);
    return true;
}

bool ParseWorkerFds(const char* value, std::vector<int>* out) {
    std::string text = value;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
        char* end = nullptr;
        long fd = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || fd < -1 || fd > 1000) return false;
        out->push_back(static_cast<int>(fd));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

ParseResult ParseOptions(int argc, char** argv, CEmpAppBase* app, Options* opts) {
    std::vector<struct option> table = {
        {"help", no_argument, nullptr, kOptHelp},
        {"version", no_argument, nullptr, kOptVersion},
        {"address", required_argument, nullptr, kOptAddress},
        {"bus", required_argument, nullptr, kOptBus},
        {"log", required_argument, nullptr, kOptLog},
        {"log-level", required_argument, nullptr, kOptLogLevel},
        {"max-queued-events", required_argument, nullptr, kOptQueue},
        {"max-clients", required_argument, nullptr, kOptMaxClients},
        {"auth-timeout", required_argument, nullptr, kOptAuthTimeout},
        {"single-process", no_argument, nullptr, kOptSingle},
        // Internal: how the broker starts a worker.
        {"worker", required_argument, nullptr, kOptWorker},
        {"worker-fds", required_argument, nullptr, kOptWorkerFds},
        {"worker-spare", no_argument, nullptr, kOptWorkerSpare},
        {"spare-workers", required_argument, nullptr, kOptSpareWorkers},
    };
    // Extension options: keep their names alive while getopt looks at them.
    struct ExtOpt {
        gxhost::Extension* ext;
        std::string name;
        bool takesValue;
    };
    std::vector<ExtOpt> extOpts;
    for (gxhost::Extension* ext : gxhost::Extensions())
        for (const gxhost::ExtensionOption& o : ext->Options())
            extOpts.push_back({ext, o.name, !o.argName.empty()});
    for (size_t i = 0; i < extOpts.size(); ++i)
        table.push_back({extOpts[i].name.c_str(),
                         extOpts[i].takesValue ? required_argument : no_argument, nullptr,
                         kOptExtensionBase + static_cast<int>(i)});
    table.push_back({nullptr, 0, nullptr, 0});

    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", table.data(), nullptr)) != -1) {
        switch (c) {
            case kOptHelp:
                PrintHelp(stdout);
                return PARSE_EXIT_OK;
            case kOptVersion:
                std::printf("%s %s (application %s %s)\n", g_Program, GXEMP_VERSION,
                            app->m_strName.c_str(), app->m_strVersion.c_str());
                return PARSE_EXIT_OK;
            case kOptAddress:
                opts->address = optarg;
                break;
            case kOptBus:
                if (std::strcmp(optarg, "session") != 0 && std::strcmp(optarg, "system") != 0) {
                    Bad("bus", "'session' or 'system'", optarg);
                    return PARSE_ERROR;
                }
                opts->bus = optarg;
                break;
            case kOptLog:
                opts->logFile = optarg;
                break;
            case kOptLogLevel: {
                int priority = 0;
                if (!ParseLogLevel(optarg, &priority)) return PARSE_ERROR;
                opts->logLevel = optarg;
                opts->logPriority = priority;
                break;
            }
            case kOptQueue:
                if (!ParseCount("max-queued-events", optarg, 1000000,
                                &opts->limits.maxQueuedEvents))
                    return PARSE_ERROR;
                break;
            case kOptMaxClients:
                if (!ParseCount("max-clients", optarg, 100000, &opts->limits.maxClients))
                    return PARSE_ERROR;
                break;
            case kOptAuthTimeout: {
                char* end = nullptr;
                double sec = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !std::isfinite(sec) || sec <= 0 ||
                    sec > 3600) {
                    Bad("auth-timeout", "seconds (more than 0, at most 3600)", optarg);
                    return PARSE_ERROR;
                }
                opts->limits.authTimeoutUsec = static_cast<uint64_t>(sec * 1e6);
                break;
            }
            case kOptSingle:
                opts->singleProcess = true;
                break;
            case kOptWorker:
                opts->worker = optarg;
                break;
            case kOptWorkerSpare:
                opts->spare = true;
                break;
            case kOptSpareWorkers: {
                char* end = nullptr;
                unsigned long n = std::strtoul(optarg, &end, 10);
                if (!std::isdigit(static_cast<unsigned char>(optarg[0])) || *end != '\0' ||
                    n > 16) {
                    Bad("spare-workers", "0..16", optarg);
                    return PARSE_ERROR;
                }
                opts->spareWorkers = n;
                break;
            }
            case kOptWorkerFds:
                if (!ParseWorkerFds(optarg, &opts->workerFds)) {
                    Bad("worker-fds", "descriptors separated by commas", optarg);
                    return PARSE_ERROR;
                }
                break;
            case ':':
                std::fprintf(stderr, "%s: option '%s' needs a value\n", g_Program,
                             argv[optind - 1]);
                return PARSE_ERROR;
            case '?':
                std::fprintf(stderr, "%s: unknown option '%s'\n", g_Program, argv[optind - 1]);
                return PARSE_ERROR;
            default: {
                size_t i = static_cast<size_t>(c - kOptExtensionBase);
                if (c < kOptExtensionBase || i >= extOpts.size()) return PARSE_ERROR;
                std::string error;
                if (!extOpts[i].ext->HandleOption(extOpts[i].name, optarg ? optarg : "", &error)) {
                    std::fprintf(stderr, "%s: --%s: %s\n", g_Program, extOpts[i].name.c_str(),
                                 error.c_str());
                    return PARSE_ERROR;
                }
            }
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", g_Program, argv[optind]);
        return PARSE_ERROR;
    }
    if (!opts->bus.empty() && !opts->address.empty()) {
        std::fprintf(stderr, "%s: --bus and --address exclude each other\n", g_Program);
        return PARSE_ERROR;
    }
    return PARSE_OK;
}

bool Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", g_Program, message.c_str());
    HostLog(gxhost::kLogError, "%s", message.c_str());
    return false;
}

// ---- The log -----------------------------------------------------------------------------------

// The platform's logging service, when an extension provides one.
gxhost::Extension* LogService() {
    for (gxhost::Extension* ext : gxhost::Extensions())
        if (ext->OwnsLog()) return ext;
    return nullptr;
}

// Without a logging service the log is standard error, so --log moves that.
bool RedirectStderr(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    dup2(fd, STDERR_FILENO);
    close(fd);
    return true;
}

bool OpenLog(const Options& opts) {
    std::string error;
    gxhost::Extension* service = LogService();
    // The logging service names a worker in each of its lines, the plug-in's too.
    if (service != nullptr && (!opts.worker.empty() || opts.spare))
        setenv("GXEMP_LOG_WORKER", std::to_string(getpid()).c_str(), 1);
    bool ok = service != nullptr ? service->OpenLog(opts.logFile, &error)
                                 : opts.logFile.empty() || RedirectStderr(opts.logFile, &error);
    if (!ok) return Fail("--log " + opts.logFile + ": " + error);
    if (opts.logPriority) {
        if (service != nullptr)
            service->SetLogLevel(*opts.logPriority);
        else
            HostLog(gxhost::kLogError, "--log-level: this platform's log has no levels");
    }
    return true;
}

void ReopenLog(const Options& opts) {
    if (opts.logFile.empty()) return;
    std::string error;
    gxhost::Extension* service = LogService();
    bool ok =
        service != nullptr ? service->ReopenLog(&error) : RedirectStderr(opts.logFile, &error);
    if (ok)
        HostLog(gxhost::kLogInfo, "log file %s opened again", opts.logFile.c_str());
    else
        HostLog(gxhost::kLogError,
                "cannot open the log file %s again: %s (still writing to the old one)",
                opts.logFile.c_str(), error.c_str());
}

void FlushLogs() {
    for (gxhost::Extension* ext : gxhost::Extensions()) ext->FlushLog();
}

// ---- Endpoint ----------------------------------------------------------------------------------

// The directory of the default socket is private to the user.
bool PreparePrivateDirectory(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST)
        return Fail("cannot create " + dir + ": " + std::strerror(errno));
    struct stat st {};
    if (lstat(dir.c_str(), &st) < 0 || !S_ISDIR(st.st_mode))
        return Fail(dir + " is not a directory");
    if (st.st_uid != getuid()) return Fail(dir + " belongs to another user");
    if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) < 0)
        return Fail("cannot make " + dir + " private: " + std::strerror(errno));
    return true;
}

// Binds and listens on a unix socket path, replacing a stale socket that a killed service left
// behind but never one that a running service still answers on.
int ListenOn(const std::string& path) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        Fail("socket path too long: " + path);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        Fail(std::string("cannot create a socket: ") + std::strerror(errno));
        return -1;
    }
    for (int attempt = 0;; ++attempt) {
        mode_t old = umask(0177);
        int r = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        int err = errno;
        umask(old);
        if (r == 0) break;
        if (err != EADDRINUSE || attempt > 0) {
            Fail("cannot listen on " + path + ": " + std::strerror(err));
            close(fd);
            return -1;
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
            Fail("cannot listen on " + path + ": the path exists and is not a socket");
            close(fd);
            return -1;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 &&
                     connect(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) close(probe);
        if (alive) {
            Fail("cannot listen on " + path +
                 ": address in use (another service is running there)");
            close(fd);
            return -1;
        }
        HostLog(gxhost::kLogInfo, "removing the stale socket %s", path.c_str());
        unlink(path.c_str());
    }
    if (chmod(path.c_str(), 0600) < 0 || listen(fd, SOMAXCONN) < 0) {
        Fail("cannot listen on " + path + ": " + std::strerror(errno));
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    return fd;
}

// The listening socket: systemd's, or one bound here. *bound is the path to remove at exit.
int OpenListener(const Options& opts, std::string* where, std::string* bound) {
    int passed = opts.address.empty() ? sd_listen_fds(1) : 0;
    if (passed > 1) {
        Fail("systemd passed " + std::to_string(passed) + " sockets; expected one");
        return -1;
    }
    if (passed == 1) {
        int fd = SD_LISTEN_FDS_START;
        *where = "the socket passed by systemd";
        if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
            Fail("the socket passed by systemd is not a listening unix socket");
            return -1;
        }
        // Nothing started from here may inherit it.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        return fd;
    }
    std::string address = opts.address.empty() ? gxhost::DefaultAddress() : opts.address;
    *where = address;
    std::string path;
    if (!gxhost::UnixPathOfAddress(address, &path)) {
        Fail("unsupported address '" + address + "': the service listens on unix:path=PATH");
        return -1;
    }
    if (opts.address.empty() && !PreparePrivateDirectory(path.substr(0, path.rfind('/'))))
        return -1;
    int fd = ListenOn(path);
    if (fd >= 0) *bound = path;
    return fd;
}

// A flood of connections must not run the service out of descriptors early: the soft limit
// goes up to the hard one.
void RaiseDescriptorLimit() {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// ---- The loop ----------------------------------------------------------------------------------

// A flush is a write(2), which cost each command about 3 us when it came after every loop
// iteration. So while the loop is busy (a second flush within kFlushCoalesceUsec of the last)
// the post source rests, and a one-shot timer flushes what came meanwhile and wakes it again:
// lines still reach the log within kFlushCoalesceUsec. The timer does not make the post source
// run (it is re-enabled after the timer's dispatch marked the post sources), and an idle service
// never arms it, so it sleeps as long as before.
constexpr uint64_t kFlushCoalesceUsec = 10 * 1000;
sd_event_source* g_FlushPost = nullptr;
sd_event_source* g_FlushRearm = nullptr;

int OnPostFlush(sd_event_source* s, void*) {
    static uint64_t last = 0;
    uint64_t now = 0;
    sd_event_now(sd_event_source_get_event(s), CLOCK_MONOTONIC, &now);
    FlushLogs();
    bool busy = now - last < kFlushCoalesceUsec;
    last = now;
    if (!busy) return 0;
    sd_event_source_set_enabled(s, SD_EVENT_OFF);
    sd_event_source_set_time_relative(g_FlushRearm, kFlushCoalesceUsec);
    return sd_event_source_set_enabled(g_FlushRearm, SD_EVENT_ONESHOT);
}

int OnFlushRearm(sd_event_source*, uint64_t, void*) {
    FlushLogs();
    return sd_event_source_set_enabled(g_FlushPost, SD_EVENT_ON);
}

// Log lines that library threads write without an event to wake the loop still reach the file.
int OnFlushTimer(sd_event_source* s, uint64_t usec, void*) {
    FlushLogs();
    sd_event_source_set_time(s, usec + 500 * 1000);
    return sd_event_source_set_enabled(s, SD_EVENT_ON);
}

int OnBusMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        HostLog(gxhost::kLogError, "the message bus went away: stopping");
        sd_event_exit(static_cast<sd_event*>(userdata), 1);
        return 1;
    }
    return 0;
}

int OnControlMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        HostLog(gxhost::kLogError, "the broker went away: stopping");
        sd_event_exit(static_cast<sd_event*>(userdata), 0);
        return 1;
    }
    return 0;
}

// What the signals do; set by the mode before the loop runs.
struct Loop {
    sd_event* event = nullptr;
    const Options* opts = nullptr;
    gxhost::Broker* broker = nullptr;
    ~Loop() {
        g_FlushPost = sd_event_source_unref(g_FlushPost);
        g_FlushRearm = sd_event_source_unref(g_FlushRearm);
        sd_event_unref(event);
    }
};
Loop g_Loop;

int OnStopSignal(sd_event_source* s, const struct signalfd_siginfo* si, void*) {
    HostLog(gxhost::kLogInfo, "signal %u: stopping", si->ssi_signo);
    sd_event* event = sd_event_source_get_event(s);
    if (g_Loop.broker != nullptr)
        g_Loop.broker->Stop([event] { sd_event_exit(event, 0); });
    else
        sd_event_exit(event, 0);
    return 0;
}

int OnHangUp(sd_event_source*, const struct signalfd_siginfo*, void*) {
    ReopenLog(*g_Loop.opts);
    if (g_Loop.broker != nullptr) g_Loop.broker->Signal(SIGHUP);
    return 0;
}

// Blocks the signals the loop handles (before any thread exists, so that every later thread
// inherits the mask) and builds the loop with its signal and log-flush sources.
bool MakeLoop(const Options& opts, bool reapChildren) {
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&mask, sig);
    if (reapChildren) sigaddset(&mask, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    g_Loop.opts = &opts;
    if (sd_event_new(&g_Loop.event) < 0) return Fail("cannot create the event loop");
    sd_event* event = g_Loop.event;
    sd_event_add_signal(event, nullptr, SIGINT, &OnStopSignal, nullptr);
    sd_event_add_signal(event, nullptr, SIGTERM, &OnStopSignal, nullptr);
    sd_event_add_signal(event, nullptr, SIGHUP, &OnHangUp, nullptr);
    sd_event_add_post(event, &g_FlushPost, &OnPostFlush, nullptr);
    sd_event_add_time_relative(event, &g_FlushRearm, CLOCK_MONOTONIC, kFlushCoalesceUsec, 1000,
                               &OnFlushRearm, nullptr);
    sd_event_source_set_enabled(g_FlushRearm, SD_EVENT_OFF);
    uint64_t now = 0;
    sd_event_now(event, CLOCK_MONOTONIC, &now);
    sd_event_add_time(event, nullptr, CLOCK_MONOTONIC, now + 500 * 1000, 100 * 1000, &OnFlushTimer,
                      nullptr);
    return true;
}

bool StartExtensions(gxhost::Role role, const std::vector<int>& fds) {
    const auto& exts = gxhost::Extensions();
    for (size_t i = 0; i < exts.size(); ++i) {
        std::string error;
        if (!exts[i]->Start(role, i < fds.size() ? fds[i] : -1, &error)) return Fail(error);
    }
    return true;
}

void StopExtensions() {
    for (gxhost::Extension* ext : gxhost::Extensions()) ext->Stop();
}

// ---- The three modes ---------------------------------------------------------------------------

// Serves the client on `fd` (which it takes) until it goes. 1: served; 0: the client has left
// already; a negative errno: it cannot be served.
int ServeClient(gxhost::HostService* service, sd_event* event, int fd, const std::string& name) {
    struct ucred peer {};
    socklen_t len = sizeof peer;
    getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len);
    int r = service->ServeConnection(fd, peer, name);
    if (gxhost::HostService::ClientLeft(r)) return 0;
    if (r < 0) {
        Fail(std::string("cannot serve the client: ") + std::strerror(-r));
        return r;
    }
    service->OnLastClientGone([event] { sd_event_exit(event, 0); });
    return 1;
}

struct SpareWait {
    gxhost::HostService* service;
    sd_event* event;
    sd_event_source* source;
};

// A spare's client: its connection and unique name, in one message on the hand-off socket. The
// socket's end (nothing read) means the broker needs this spare no more.
int OnHandOff(sd_event_source* s, int fd, uint32_t, void* userdata) {
    auto* wait = static_cast<SpareWait*>(userdata);
    char name[128];
    struct iovec iov = {name, sizeof name};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control{};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    int client = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&client, CMSG_DATA(c), sizeof(int));
    sd_event_source_set_enabled(s, SD_EVENT_OFF);
    close(fd);
    if (n <= 0 || client < 0 || (msg.msg_flags & MSG_TRUNC) != 0) {
        if (client >= 0) close(client);
        HostLog(gxhost::kLogInfo, "no client comes: stopping");
        return sd_event_exit(wait->event, 0);
    }
    int r =
        ServeClient(wait->service, wait->event, client, std::string(name, static_cast<size_t>(n)));
    if (r <= 0) sd_event_exit(wait->event, r == 0 ? 0 : 1);
    return 0;
}

// A worker: serves the one client connection the broker accepted (descriptor 3) and ends when the
// client goes, or when the broker stops it (SIGTERM) or goes away. A spare worker gets that
// connection on descriptor 3 once a client comes (see Broker.h).
int RunWorker(CEmpAppBase* app, const Options& opts) {
    constexpr int kClientFd = 3, kControlFd = 4;
    std::string prefix = "[worker " + std::to_string(getpid()) + "] ";
    gxhost::SetLogPrefix(prefix.c_str());
    if (!MakeLoop(opts, false) || !StartExtensions(gxhost::Role::Worker, opts.workerFds)) return 1;
    sd_event* event = g_Loop.event;

    sd_bus* control = nullptr;
    int r = sd_bus_new(&control);
    if (r >= 0) r = sd_bus_set_fd(control, kControlFd, kControlFd);
    if (r >= 0) r = sd_bus_add_filter(control, nullptr, &OnControlMessage, event);
    if (r >= 0) r = sd_bus_start(control);
    if (r >= 0) r = sd_bus_attach_event(control, event, SD_EVENT_PRIORITY_NORMAL);
    // The link outlives the loop: extensions still use it while the worker stops.
    if (r >= 0) r = sd_bus_set_close_on_exit(control, 0);
    for (gxhost::Extension* ext : gxhost::Extensions())
        if (r >= 0) r = ext->AttachControl(control, 0);
    // The worker speaks first on its link, and waits for the answer: see Broker::OnFirstMessage.
    if (r >= 0)
        r = sd_bus_call_method(control, nullptr, "/", "org.freedesktop.DBus.Peer", "Ping", nullptr,
                               nullptr, "");
    if (r < 0) {
        Fail(std::string("no control link to the broker: ") + std::strerror(-r));
        sd_bus_close_unref(control);
        return 1;
    }

    int status = 1;
    {
        gxhost::HostService service(app, event, opts.limits);
        r = service.Init();
        if (r < 0) {
            Fail(std::string("cannot serve the client: ") + std::strerror(-r));
        } else if (opts.spare) {
            // Ready: the client comes when the broker has one (OnHandOff).
            SpareWait wait{&service, event, nullptr};
            r = sd_event_add_io(event, &wait.source, kClientFd, EPOLLIN, &OnHandOff, &wait);
            if (r < 0) {
                Fail(std::string("cannot wait for a client: ") + std::strerror(-r));
            } else {
                r = sd_event_loop(event);
                status = r < 0 ? 1 : r;
            }
            sd_event_source_disable_unref(wait.source);
        } else {
            r = ServeClient(&service, event, kClientFd, opts.worker);
            if (r > 0) {
                r = sd_event_loop(event);
                status = r < 0 ? 1 : r;
            } else {
                status = r == 0 ? 0 : 1;
            }
        }
        service.Shutdown();
    }
    StopExtensions();
    sd_bus_flush_close_unref(control);
    HostLog(gxhost::kLogInfo, "stopped");
    FlushLogs();
    return status;
}

// The program a worker runs: this executable, by its path (so that the worker's process name is
// this program's, not that of a /proc link).
std::string OwnExecutable() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    path[n] = '\0';
    // Replaced on disk (an upgrade): only the link still reaches the program that runs here.
    static const char kDeleted[] = " (deleted)";
    size_t len = static_cast<size_t>(n);
    if (len > sizeof kDeleted && std::strcmp(path + len - (sizeof kDeleted - 1), kDeleted) == 0)
        return "/proc/self/exe";
    return path;
}

// What every worker is told on its command line: where to log, and the limits of its client.
std::vector<std::string> WorkerArgs(const Options& opts) {
    std::vector<std::string> args;
    if (!opts.logFile.empty()) args.push_back("--log=" + opts.logFile);
    if (!opts.logLevel.empty()) args.push_back("--log-level=" + opts.logLevel);
    args.push_back("--max-queued-events=" + std::to_string(opts.limits.maxQueuedEvents));
    char timeout[32];
    std::snprintf(timeout, sizeof timeout, "%.6f",
                  static_cast<double>(opts.limits.authTimeoutUsec) / 1e6);
    args.push_back(std::string("--auth-timeout=") + timeout);
    for (gxhost::Extension* ext : gxhost::Extensions())
        for (std::string& o : ext->WorkerOptions()) args.push_back(std::move(o));
    return args;
}

int RunService(CEmpAppBase* app, const Options& opts) {
    bool single = opts.singleProcess || !opts.bus.empty();
    if (!MakeLoop(opts, !single) ||
        !StartExtensions(single ? gxhost::Role::Single : gxhost::Role::Broker, {}))
        return 1;
    sd_event* event = g_Loop.event;

    int status = 1;
    std::string where, bound;
    sd_bus* bus = nullptr;
    {
        // A single process serves the clients itself; a broker hands each to a worker.
        std::optional<gxhost::HostService> service;
        std::unique_ptr<gxhost::Broker> broker;
        bool ok = true;
        if (single) {
            service.emplace(app, event, opts.limits);
            int r = service->Init();
            ok = r >= 0 || Fail(std::string("cannot start: ") + std::strerror(-r));
        } else {
            broker = std::make_unique<gxhost::Broker>(
                event, gxhost::BrokerOptions{OwnExecutable(), g_Argv0, WorkerArgs(opts),
                                             opts.limits.maxClients, opts.spareWorkers});
        }
        int r = 0;
        if (ok && !opts.bus.empty()) {
            r = opts.bus == "system" ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
            if (r >= 0) r = sd_bus_add_filter(bus, nullptr, &OnBusMessage, event);
            if (r >= 0) r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
            if (r >= 0) r = service->ServeBus(bus);
            if (r < 0) ok = Fail("cannot serve on the " + opts.bus + " bus: " + std::strerror(-r));
            if (ok) {
                r = sd_bus_request_name(bus, gxhost::kBusName, 0);
                if (r == -EEXIST)
                    ok = Fail(std::string(gxhost::kBusName) + " is already owned on the " +
                              opts.bus + " bus (another service is running)");
                else if (r < 0)
                    ok = Fail("cannot own " + std::string(gxhost::kBusName) + ": " +
                              std::strerror(-r));
            }
            where = opts.bus + " bus as " + gxhost::kBusName;
        } else if (ok) {
            int fd = OpenListener(opts, &where, &bound);
            ok = fd >= 0;
            if (ok) {
                r = single ? service->ServeListener(fd) : broker->Serve(fd);
                if (r < 0) ok = Fail(std::string("cannot serve: ") + std::strerror(-r));
            }
        }
        if (ok) {
            g_Loop.broker = broker.get();
            HostLog(gxhost::kLogNotice, "serving on %s (%s)", where.c_str(),
                    single ? "one process for every client" : "a worker process per client");
            sd_notify(0, "READY=1");
            r = sd_event_loop(event);
            status = r < 0 ? 1 : r;
            sd_notify(0, "STOPPING=1");
            if (single)
                HostLog(gxhost::kLogInfo, "stopping: destroying %zu engines",
                        service->EngineCount());
        }
        g_Loop.broker = nullptr;
        if (service) service->Shutdown();
    }
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
    if (!bound.empty()) unlink(bound.c_str());
    StopExtensions();
    HostLog(gxhost::kLogNotice, "stopped");
    FlushLogs();
    return status;
}

int Run(int argc, char** argv, CEmpAppBase* app) {
    g_Application = app;
    if (argc > 0 && argv[0] != nullptr) {
        g_Argv0 = argv[0];
        const char* slash = std::strrchr(argv[0], '/');
        g_Program = slash != nullptr ? slash + 1 : argv[0];
    }
    Options opts;
    ParseResult parsed = ParseOptions(argc, argv, app, &opts);
    if (parsed != PARSE_OK) {
        // Nothing is served: what was logged while starting up is of no use to anyone.
        for (gxhost::Extension* ext : gxhost::Extensions()) ext->DiscardEarlyLog();
        if (parsed == PARSE_ERROR) std::fprintf(stderr, "Try '%s --help'.\n", g_Program);
        return parsed == PARSE_ERROR ? 2 : 0;
    }
    if (!OpenLog(opts)) return 1;
    RaiseDescriptorLimit();
    bool worker = !opts.worker.empty() || opts.spare;
    int status = worker ? RunWorker(app, opts) : RunService(app, opts);
    return status;
}

}  // namespace

int EmpMain(int argc, char** argv, CEmpAppBase* app) {
    return Run(argc, argv, app);
}

}  // namespace kiv
