// The host process: command line, endpoint, signals and the sd-event loop that serves clients.
#include "EmpMain.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "HostLog.h"
#include "HostService.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"

#ifndef GXEMP_VERSION
#define GXEMP_VERSION "0"
#endif

namespace kiv {

namespace {

const char* g_Program = "gxemp";
// The application runs for the whole process; the caller never frees it, and keeping it here
// keeps it reachable (a leak checker sees it as the process's, not as lost).
CEmpAppBase* g_Application = nullptr;

struct Options {
    std::string address;
    std::string bus;  // "", "session" or "system"
    std::string logFile;
    size_t maxQueuedEvents = 1024;
};

enum ParseResult { PARSE_OK, PARSE_EXIT_OK, PARSE_ERROR };

constexpr int kOptHelp = 'h';
constexpr int kOptVersion = 'V';
constexpr int kOptAddress = 1000;
constexpr int kOptBus = 1001;
constexpr int kOptLog = 1002;
constexpr int kOptQueue = 1003;
constexpr int kOptExtensionBase = 2000;

void PrintHelp(FILE* out) {
    std::fprintf(out,
                 "Usage: %s [OPTION]...\n"
                 "Serves the recognition engines to D-Bus clients (object /org/gxemp/Host1).\n"
                 "\n"
                 "Where it listens (first that applies):\n"
                 "  --bus session|system   serve on that message bus, owning org.gxemp.Host1\n"
                 "  --address ADDR         peer-to-peer server socket at ADDR (unix:path=...)\n"
                 "  a socket passed by systemd (socket activation)\n"
                 "  %s (default)\n"
                 "\n"
                 "Options:\n"
                 "  --log FILE             write the log to FILE instead of standard error\n"
                 "  --max-queued-events N  events kept for a client that does not read "
                 "(default 1024)\n",
                 g_Program, gxhost::DefaultAddress().c_str());
    for (gxhost::Extension* ext : gxhost::Extensions())
        for (const gxhost::ExtensionOption& o : ext->Options()) {
            std::string left = "--" + o.name + " " + o.argName;
            std::fprintf(out, "  %-22s %s\n", left.c_str(), o.help.c_str());
        }
    std::fprintf(out,
                 "  -h, --help             show this help and exit\n"
                 "  -V, --version          show the version and exit\n"
                 "\n"
                 "SIGINT or SIGTERM destroys every engine and exits with status 0.\n"
                 "Exit status: 0 stopped normally; 1 could not start; 2 bad command line.\n");
}

ParseResult ParseOptions(int argc, char** argv, CEmpAppBase* app, Options* opts) {
    std::vector<struct option> table = {
        {"help", no_argument, nullptr, kOptHelp},
        {"version", no_argument, nullptr, kOptVersion},
        {"address", required_argument, nullptr, kOptAddress},
        {"bus", required_argument, nullptr, kOptBus},
        {"log", required_argument, nullptr, kOptLog},
        {"max-queued-events", required_argument, nullptr, kOptQueue},
    };
    // Extension options: keep their names alive while getopt looks at them.
    struct ExtOpt {
        gxhost::Extension* ext;
        std::string name;
    };
    std::vector<ExtOpt> extOpts;
    for (gxhost::Extension* ext : gxhost::Extensions())
        for (const gxhost::ExtensionOption& o : ext->Options()) extOpts.push_back({ext, o.name});
    for (size_t i = 0; i < extOpts.size(); ++i)
        table.push_back({extOpts[i].name.c_str(), required_argument, nullptr,
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
                    std::fprintf(stderr, "%s: --bus takes 'session' or 'system', not '%s'\n",
                                 g_Program, optarg);
                    return PARSE_ERROR;
                }
                opts->bus = optarg;
                break;
            case kOptLog:
                opts->logFile = optarg;
                break;
            case kOptQueue: {
                char* end = nullptr;
                errno = 0;
                unsigned long v = std::strtoul(optarg, &end, 10);
                if (errno != 0 || end == optarg || *end != '\0' || v == 0 || v > 1000000) {
                    std::fprintf(stderr, "%s: --max-queued-events takes 1..1000000, not '%s'\n",
                                 g_Program, optarg);
                    return PARSE_ERROR;
                }
                opts->maxQueuedEvents = v;
                break;
            }
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
                if (!extOpts[i].ext->HandleOption(extOpts[i].name, optarg, &error)) {
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
    if (chmod(path.c_str(), 0600) < 0 || listen(fd, 64) < 0) {
        Fail("cannot listen on " + path + ": " + std::strerror(errno));
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    return fd;
}

int OnSignal(sd_event_source* s, const struct signalfd_siginfo* si, void*) {
    HostLog(gxhost::kLogInfo, "signal %u: stopping", si->ssi_signo);
    return sd_event_exit(sd_event_source_get_event(s), 0);
}

int OnIdleFlush(sd_event_source*, void*) {
    for (gxhost::Extension* ext : gxhost::Extensions()) ext->FlushLog();
    return 0;
}

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
    OnIdleFlush(nullptr, nullptr);
    bool busy = now - last < kFlushCoalesceUsec;
    last = now;
    if (!busy) return 0;
    sd_event_source_set_enabled(s, SD_EVENT_OFF);
    sd_event_source_set_time_relative(g_FlushRearm, kFlushCoalesceUsec);
    return sd_event_source_set_enabled(g_FlushRearm, SD_EVENT_ONESHOT);
}

int OnFlushRearm(sd_event_source*, uint64_t, void*) {
    OnIdleFlush(nullptr, nullptr);
    return sd_event_source_set_enabled(g_FlushPost, SD_EVENT_ON);
}

// Log lines that library threads write without an event to wake the loop still reach the file.
int OnFlushTimer(sd_event_source* s, uint64_t usec, void*) {
    OnIdleFlush(nullptr, nullptr);
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

bool SetLog(const std::string& path) {
    for (gxhost::Extension* ext : gxhost::Extensions()) {
        std::string error;
        if (ext->SetLogFile(path, &error)) {
            if (!error.empty()) return Fail("--log " + path + ": " + error);
            return true;
        }
    }
    // No platform log to point elsewhere: the log is standard error, so move that.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return Fail("--log " + path + ": " + std::strerror(errno));
    dup2(fd, STDERR_FILENO);
    close(fd);
    return true;
}

void FlushLogs() {
    OnIdleFlush(nullptr, nullptr);
}

int Run(int argc, char** argv, CEmpAppBase* app) {
    g_Application = app;
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        g_Program = slash != nullptr ? slash + 1 : argv[0];
    }
    Options opts;
    switch (ParseOptions(argc, argv, app, &opts)) {
        case PARSE_EXIT_OK:
            return 0;
        case PARSE_ERROR:
            std::fprintf(stderr, "Try '%s --help'.\n", g_Program);
            return 2;
        case PARSE_OK:
            break;
    }
    if (!opts.logFile.empty() && !SetLog(opts.logFile)) return 1;
    for (gxhost::Extension* ext : gxhost::Extensions()) {
        std::string error;
        if (!ext->Start(&error)) {
            Fail(error);
            FlushLogs();
            return 1;
        }
    }

    // Blocked before any thread exists, so that every later thread inherits the mask and the
    // signals reach the loop's signalfd.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sd_event* event = nullptr;
    if (sd_event_new(&event) < 0) return Fail("cannot create the event loop"), 1;
    sd_event_add_signal(event, nullptr, SIGINT, &OnSignal, nullptr);
    sd_event_add_signal(event, nullptr, SIGTERM, &OnSignal, nullptr);
    sd_event_add_post(event, &g_FlushPost, &OnPostFlush, nullptr);
    sd_event_add_time_relative(event, &g_FlushRearm, CLOCK_MONOTONIC, kFlushCoalesceUsec, 1000,
                               &OnFlushRearm, nullptr);
    sd_event_source_set_enabled(g_FlushRearm, SD_EVENT_OFF);
    uint64_t now = 0;
    sd_event_now(event, CLOCK_MONOTONIC, &now);
    sd_event_add_time(event, nullptr, CLOCK_MONOTONIC, now + 500 * 1000, 100 * 1000, &OnFlushTimer,
                      nullptr);

    gxhost::HostLimits limits;
    limits.maxQueuedEvents = opts.maxQueuedEvents;
    int status = 1;
    std::string socketToRemove;
    sd_bus* bus = nullptr;
    {
        gxhost::HostService service(app, event, limits);
        int r = service.Init();
        bool ok = r >= 0 || Fail(std::string("cannot start: ") + std::strerror(-r));
        std::string where;
        if (ok && !opts.bus.empty()) {
            r = opts.bus == "system" ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
            if (r >= 0) r = sd_bus_add_filter(bus, nullptr, &OnBusMessage, event);
            if (r >= 0) r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
            if (r >= 0) r = service.ServeBus(bus);
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
            int fd = -1;
            int passed = opts.address.empty() ? sd_listen_fds(1) : 0;
            if (passed > 1) {
                ok = Fail("systemd passed " + std::to_string(passed) + " sockets; expected one");
            } else if (passed == 1) {
                fd = SD_LISTEN_FDS_START;
                if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0)
                    ok = Fail("the socket passed by systemd is not a listening unix socket");
                else
                    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
                where = "the socket passed by systemd";
            } else {
                std::string address =
                    opts.address.empty() ? gxhost::DefaultAddress() : opts.address;
                std::string path;
                if (!gxhost::UnixPathOfAddress(address, &path)) {
                    ok = Fail("unsupported address '" + address +
                              "': the service listens on unix:path=PATH");
                } else {
                    if (opts.address.empty()) {
                        std::string dir = path.substr(0, path.rfind('/'));
                        ok = PreparePrivateDirectory(dir);
                    }
                    if (ok) fd = ListenOn(path);
                    ok = ok && fd >= 0;
                    if (ok) socketToRemove = path;
                }
                where = address;
            }
            if (ok) {
                r = service.ServeListener(fd);
                if (r < 0) ok = Fail(std::string("cannot serve: ") + std::strerror(-r));
            }
        }
        if (ok) {
            HostLog(gxhost::kLogInfo, "serving on %s", where.c_str());
            sd_notify(0, "READY=1");
            r = sd_event_loop(event);
            status = r < 0 ? 1 : r;
            sd_notify(0, "STOPPING=1");
            HostLog(gxhost::kLogInfo, "stopping: destroying %zu engines", service.EngineCount());
        }
        service.Shutdown();
    }
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
    if (!socketToRemove.empty()) unlink(socketToRemove.c_str());
    for (gxhost::Extension* ext : gxhost::Extensions()) ext->Stop();
    HostLog(gxhost::kLogInfo, "stopped");
    FlushLogs();
    g_FlushPost = sd_event_source_unref(g_FlushPost);
    g_FlushRearm = sd_event_source_unref(g_FlushRearm);
    sd_event_unref(event);
    return status;
}

}  // namespace

int EmpMain(int argc, char** argv, CEmpAppBase* app) {
    return Run(argc, argv, app);
}

}  // namespace kiv
