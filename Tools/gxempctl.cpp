// gxempctl: command-line client of the gxemp service and of the simulated TV.
#include <errno.h>
#include <glib.h>
#include <json/json.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gxhost/Endpoint.h"

namespace {

// Exit codes (kept in step with the --help text and docs/CLIENT.md).
constexpr int kExitOk = 0;
constexpr int kExitNotServed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr int kExitServiceError = 4;

const char kUsage[] =
    "Usage: gxempctl [--address ADDR | --bus session|system] [--timeout SEC] COMMAND ...\n"
    "\n"
    "Client of the gxemp service (org.gxemp.Host1) and of the simulated TV\n"
    "(org.gxemp.Simulator1).\n"
    "\n"
    "Commands:\n"
    "  info                         the application's strings (JSON)\n"
    "  call [--app ID] [--json] COMMAND [ARG...]\n"
    "                               open an engine, run COMMAND with up to four arguments,\n"
    "                               print whether it was served and its result\n"
    "  session [--app ID] [--linger SEC]\n"
    "                               one engine for the whole run; reads one command per line\n"
    "                               from standard input (shell quoting, or a JSON array of\n"
    "                               strings) and prints results and events as JSON lines\n"
    "  monitor [[--widget] NAME] [--no-motion] [--no-face] [--count N] [--timeout SEC]\n"
    "                               subscribe to every motion event under NAME and to face\n"
    "                               events; print events as JSON lines as they arrive\n"
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
    "                               the library calls so far, or forget them\n"
    "  sim settings get KEY | sim settings set KEY VALUE | sim settings path\n"
    "                               the settings store (voice guide: db/menu/accessibility/tts)\n"
    "  sim drain | sim reset | sim profile FILE\n"
    "\n"
    "The service is found at --address, else $GXEMP_ADDRESS, else\n"
    "unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock (/tmp/gxemp-$UID/host.sock without it).\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the command was not served (call), or monitor saw fewer than --count events\n"
    "  2  usage error: unknown command, malformed or missing argument\n"
    "  3  the service is not running or cannot be reached\n"
    "  4  the service refused the request (D-Bus error, e.g. an unknown entry point)\n";

struct UsageError {
    std::string message;
};
struct ServiceError {
    int code;
    std::string message;
};

[[noreturn]] void Usage(const std::string& message) {
    throw UsageError{message};
}

struct Globals {
    std::string address;
    std::string bus;
    uint64_t timeoutUsec = 25 * 1000 * 1000;
} g;

std::string JsonLine(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, v);
}

void PrintJson(const Json::Value& v) {
    std::string line = JsonLine(v) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int32_t ParseInt(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        Usage(std::string(what) + " must be an integer, not '" + text + "'");
    return static_cast<int32_t>(v);
}

// ---- Connection --------------------------------------------------------------------------------

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() { sd_bus_flush_close_unref(bus); }
};

void Connect(Bus* b) {
    int r;
    std::string where;
    if (g.bus == "session" || g.bus == "system") {
        r = g.bus == "system" ? sd_bus_open_system(&b->bus) : sd_bus_open_user(&b->bus);
        where = "the " + g.bus + " bus";
    } else {
        std::string address = gxhost::ClientAddress(g.address.c_str());
        where = address;
        r = sd_bus_new(&b->bus);
        if (r >= 0) r = sd_bus_set_address(b->bus, address.c_str());
        // The service answers Hello like a bus, so the same client code works on a bus too.
        if (r >= 0) r = sd_bus_set_bus_client(b->bus, 1);
        if (r >= 0) r = sd_bus_start(b->bus);
    }
    if (r < 0)
        throw ServiceError{kExitUnreachable, "cannot reach the gxemp service at " + where + ": " +
                                                 std::strerror(-r) +
                                                 " (is it running? see --address)"};
    sd_bus_set_method_call_timeout(b->bus, g.timeoutUsec);
}

// Turns a failed call into the right exit code: a broken connection means the service is gone.
[[noreturn]] void ThrowCallError(const sd_bus_error& error, int r, const std::string& what) {
    std::string message =
        what + ": " + (error.message != nullptr ? error.message : std::strerror(-r));
    std::string name = error.name != nullptr ? error.name : "";
    // sd-bus reports a local failure as "System.Error.<errno>"; a connection that broke (the
    // service went away, or refused us) is an unreachable service, not a refused request.
    bool local = name.empty() || name.compare(0, 13, "System.Error.") == 0;
    if ((local && (r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ECONNREFUSED)) ||
        name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_DISCONNECTED)
        throw ServiceError{kExitUnreachable, message};
    if (name == SD_BUS_ERROR_UNKNOWN_OBJECT)
        message += " (is the service running on the simulated TV?)";
    throw ServiceError{kExitServiceError, message};
}

struct Reply {
    sd_bus_message* m = nullptr;
    ~Reply() { sd_bus_message_unref(m); }
};

// Calls a method built by `fill` (which appends the arguments) and returns the reply.
template <typename Fill>
void Call(Bus& b, const char* path, const char* interface, const char* method, Fill fill,
          Reply* reply) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(b.bus, &m, gxhost::kBusName, path, interface, method);
    if (r >= 0) r = fill(m);
    if (r < 0) {
        sd_bus_message_unref(m);
        throw ServiceError{kExitUsage, std::string("cannot build the call: ") + std::strerror(-r)};
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    r = sd_bus_call(b.bus, m, 0, &error, &reply->m);
    sd_bus_message_unref(m);
    if (r < 0) {
        std::string what = method;
        sd_bus_error copy = SD_BUS_ERROR_NULL;
        sd_bus_error_copy(&copy, &error);
        sd_bus_error_free(&error);
        try {
            ThrowCallError(copy, r, what);
        } catch (...) {
            sd_bus_error_free(&copy);
            throw;
        }
    }
}

void CheckRead(int r, const char* what) {
    if (r < 0)
        throw ServiceError{kExitServiceError,
                           std::string("unexpected reply to ") + what + ": " + std::strerror(-r)};
}

// ---- Host calls --------------------------------------------------------------------------------

uint32_t OpenEngine(Bus& b, const std::string& app) {
    Reply reply;
    Call(
        b, gxhost::kHostPath, gxhost::kHostInterface, "Open",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", app.c_str()); }, &reply);
    uint32_t id = 0;
    CheckRead(sd_bus_message_read(reply.m, "u", &id), "Open");
    return id;
}

// Reads the (b served, v result) of Execute into JSON: the result as an integer or a string.
void ReadExecuteReply(sd_bus_message* m, Json::Value* out) {
    int served = 0;
    CheckRead(sd_bus_message_read(m, "b", &served), "Execute");
    (*out)["served"] = served != 0;
    const char* contents = nullptr;
    CheckRead(sd_bus_message_peek_type(m, nullptr, &contents), "Execute");
    if (contents != nullptr && std::strcmp(contents, "i") == 0) {
        int32_t v = 0;
        CheckRead(sd_bus_message_read(m, "v", "i", &v), "Execute");
        (*out)["result"] = v;
    } else {
        const char* s = nullptr;
        CheckRead(sd_bus_message_read(m, "v", "s", &s), "Execute");
        (*out)["result"] = s;
    }
}

int AppendExecute(sd_bus_message* m, uint32_t engine, const std::vector<std::string>& words) {
    std::string a[5];
    for (size_t i = 0; i < words.size() && i < 5; ++i) a[i] = words[i];
    return sd_bus_message_append(m, "usssss", engine, a[0].c_str(), a[1].c_str(), a[2].c_str(),
                                 a[3].c_str(), a[4].c_str());
}

int CmdInfo(Bus& b, std::vector<std::string>& args) {
    if (!args.empty()) Usage("info takes no arguments");
    Reply reply;
    Call(
        b, gxhost::kHostPath, "org.freedesktop.DBus.Properties", "Get",
        [](sd_bus_message* m) {
            return sd_bus_message_append(m, "ss", gxhost::kHostInterface, "Info");
        },
        &reply);
    Json::Value info(Json::objectValue);
    CheckRead(sd_bus_message_enter_container(reply.m, 'v', "a{ss}"), "Info");
    CheckRead(sd_bus_message_enter_container(reply.m, 'a', "{ss}"), "Info");
    const char *key = nullptr, *value = nullptr;
    int r;
    while ((r = sd_bus_message_read(reply.m, "{ss}", &key, &value)) > 0) info[key] = value;
    CheckRead(r, "Info");
    std::cout << info.toStyledString();
    return kExitOk;
}

int CmdCall(Bus& b, std::vector<std::string>& args) {
    std::string app = "gxempctl";
    bool json = false;
    while (!args.empty() && args[0].compare(0, 2, "--") == 0) {
        if (args[0] == "--json") {
            json = true;
            args.erase(args.begin());
        } else if (args[0] == "--app" && args.size() > 1) {
            app = args[1];
            args.erase(args.begin(), args.begin() + 2);
        } else if (args[0] == "--") {
            args.erase(args.begin());
            break;
        } else {
            Usage("unknown option for call: " + args[0]);
        }
    }
    if (args.empty()) Usage("call needs a COMMAND");
    if (args.size() > 5) Usage("a command takes at most four arguments");
    uint32_t engine = OpenEngine(b, app);
    Reply reply;
    Call(
        b, gxhost::kHostPath, gxhost::kHostInterface, "Execute",
        [&](sd_bus_message* m) { return AppendExecute(m, engine, args); }, &reply);
    Json::Value out(Json::objectValue);
    out["command"] = args[0];
    ReadExecuteReply(reply.m, &out);
    if (json) {
        PrintJson(out);
    } else {
        std::cout << "served: " << (out["served"].asBool() ? "yes" : "no") << "\n";
        if (out["result"].isInt())
            std::cout << "result: " << out["result"].asInt() << "\n";
        else if (out["result"].asString().empty())
            std::cout << "result: (none)\n";
        else
            std::cout << "result: " << out["result"].asString() << "\n";
    }
    Reply closed;
    Call(
        b, gxhost::kHostPath, gxhost::kHostInterface, "Close",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", engine); }, &closed);
    return out["served"].asBool() ? kExitOk : kExitNotServed;
}

// ---- Event-driven commands (session, monitor) --------------------------------------------------

int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*);

struct Loop {
    Bus bus;
    sd_event* event = nullptr;
    uint32_t engine = 0;
    long countLeft = -1;  // monitor --count
    int exitCode = kExitOk;
    ~Loop() { sd_event_unref(event); }

    void Start() {
        Connect(&bus);
        sd_event_new(&event);
        sd_bus_attach_event(bus.bus, event, 0);
        int r = sd_bus_match_signal(bus.bus, nullptr, nullptr, gxhost::kHostPath,
                                    gxhost::kHostInterface, "Event", &OnEvent, this);
        if (r < 0)
            throw ServiceError{kExitUnreachable,
                               std::string("cannot subscribe to events: ") + std::strerror(-r)};
        sd_bus_add_filter(bus.bus, nullptr, &Loop::OnLocal, this);
    }

    static int OnLocal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Loop*>(userdata);
        if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
            std::fprintf(stderr, "gxempctl: the service closed the connection\n");
            self->exitCode = kExitUnreachable;
            sd_event_exit(self->event, 0);
        }
        return 0;
    }
};

int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* loop = static_cast<Loop*>(userdata);
    uint32_t engine = 0;
    int32_t code = 0;
    const char *name = nullptr, *data = nullptr;
    if (sd_bus_message_read(m, "uiss", &engine, &code, &name, &data) < 0) return 0;
    if (engine != loop->engine) return 0;
    Json::Value v(Json::objectValue);
    v["type"] = "event";
    v["engine"] = engine;
    v["code"] = code;
    v["name"] = name;
    v["data"] = data;
    PrintJson(v);
    if (loop->countLeft > 0 && --loop->countLeft == 0) sd_event_exit(loop->event, 0);
    return 0;
}

struct Session : Loop {
    std::deque<std::string> lines;
    std::string partial;
    bool eof = false;
    bool busy = false;
    double linger = 0;
    sd_event_source* input = nullptr;
    sd_bus_slot* pending = nullptr;
    std::string pendingCommand;

    // Splits a line into the command and its arguments: a JSON array of strings, or shell
    // words. Returns false (with *error) when it cannot.
    static bool Words(const std::string& line, std::vector<std::string>* words,
                      std::string* error) {
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] == '[') {
            Json::CharReaderBuilder builder;
            Json::Value root;
            std::string errs;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            if (!reader->parse(line.data(), line.data() + line.size(), &root, &errs) ||
                !root.isArray()) {
                *error = "not a JSON array: " + errs;
                return false;
            }
            for (const Json::Value& w : root) {
                if (!w.isString()) {
                    *error = "every element of the JSON array must be a string";
                    return false;
                }
                words->push_back(w.asString());
            }
            return true;
        }
        gint argc = 0;
        gchar** argv = nullptr;
        GError* gerror = nullptr;
        if (!g_shell_parse_argv(line.c_str(), &argc, &argv, &gerror)) {
            *error = gerror->message;
            g_error_free(gerror);
            return false;
        }
        for (gint i = 0; i < argc; ++i) words->push_back(argv[i]);
        g_strfreev(argv);
        return true;
    }

    void Next() {
        while (!busy && !lines.empty()) {
            std::string line = lines.front();
            lines.pop_front();
            size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#') continue;
            std::vector<std::string> words;
            std::string error;
            Json::Value v(Json::objectValue);
            if (!Words(line, &words, &error) || words.empty() || words.size() > 5) {
                v["type"] = "error";
                v["line"] = line;
                v["error"] = "parse";
                v["message"] = !error.empty()  ? error
                               : words.empty() ? "no command"
                                               : "a command takes at most four arguments";
                PrintJson(v);
                exitCode = kExitUsage;
                continue;
            }
            sd_bus_message* m = nullptr;
            int r = sd_bus_message_new_method_call(bus.bus, &m, gxhost::kBusName, gxhost::kHostPath,
                                                   gxhost::kHostInterface, "Execute");
            if (r >= 0) r = AppendExecute(m, engine, words);
            if (r >= 0) r = sd_bus_call_async(bus.bus, &pending, m, &Session::OnReply, this, 0);
            sd_bus_message_unref(m);
            if (r < 0) {
                v["type"] = "error";
                v["command"] = words[0];
                v["error"] = "send";
                v["message"] = std::strerror(-r);
                PrintJson(v);
                exitCode = kExitUnreachable;
                sd_event_exit(event, 0);
                return;
            }
            pendingCommand = words[0];
            busy = true;
        }
        if (!busy && lines.empty() && eof) Finish();
    }

    // Closes the engine while the connection is still up: sd-bus closes an attached connection
    // when its event loop exits.
    void Close() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(bus.bus, gxhost::kBusName, gxhost::kHostPath,
                                   gxhost::kHostInterface, "Close", &error, nullptr, "u", engine);
        if (r < 0) {
            std::fprintf(stderr, "gxempctl: Close: %s\n",
                         error.message != nullptr ? error.message : std::strerror(-r));
            if (exitCode == kExitOk) exitCode = kExitServiceError;
        }
        sd_bus_error_free(&error);
    }

    void Finish() {
        if (linger > 0) {
            sd_event_add_time_relative(
                event, nullptr, CLOCK_MONOTONIC, static_cast<uint64_t>(linger * 1e6), 0,
                [](sd_event_source*, uint64_t, void* userdata) {
                    auto* self = static_cast<Session*>(userdata);
                    self->Close();
                    return sd_event_exit(self->event, 0);
                },
                this);
            linger = 0;
            return;
        }
        Close();
        sd_event_exit(event, 0);
    }

    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        self->pending = sd_bus_slot_unref(self->pending);
        self->busy = false;
        Json::Value v(Json::objectValue);
        v["command"] = self->pendingCommand;
        const sd_bus_error* error = sd_bus_message_get_error(m);
        if (error != nullptr) {
            v["type"] = "error";
            v["error"] = error->name != nullptr ? error->name : "";
            v["message"] = error->message != nullptr ? error->message : "";
            self->exitCode = kExitServiceError;
        } else {
            v["type"] = "result";
            try {
                ReadExecuteReply(m, &v);
            } catch (const ServiceError& e) {
                v["type"] = "error";
                v["message"] = e.message;
            }
        }
        PrintJson(v);
        self->Next();
        return 0;
    }

    void Take(const char* data, size_t n) {
        partial.append(data, n);
        size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
            lines.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
        }
    }

    void AtEof() {
        eof = true;
        if (!partial.empty()) lines.push_back(partial);
        partial.clear();
        input = sd_event_source_disable_unref(input);
    }

    static int OnInput(sd_event_source*, int fd, uint32_t, void* userdata) {
        auto* self = static_cast<Session*>(userdata);
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        if (n <= 0)
            self->AtEof();
        else
            self->Take(buf, static_cast<size_t>(n));
        self->Next();
        return 0;
    }
};

int CmdSession(std::vector<std::string>& args) {
    Session s;
    std::string app = "gxempctl";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--app" && i + 1 < args.size()) {
            app = args[++i];
        } else if (args[i] == "--linger" && i + 1 < args.size()) {
            char* end = nullptr;
            s.linger = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || s.linger < 0) Usage("--linger takes seconds");
        } else {
            Usage("unknown argument for session: " + args[i]);
        }
    }
    s.Start();
    s.engine = OpenEngine(s.bus, app);
    Json::Value opened(Json::objectValue);
    opened["type"] = "open";
    opened["engine"] = s.engine;
    PrintJson(opened);
    int r = sd_event_add_io(s.event, &s.input, STDIN_FILENO, EPOLLIN, &Session::OnInput, &s);
    if (r == -EPERM) {
        // A regular file (or /dev/null) cannot be polled: it is all there, so read it now.
        char buf[65536];
        ssize_t n;
        while ((n = read(STDIN_FILENO, buf, sizeof buf)) > 0) s.Take(buf, static_cast<size_t>(n));
        s.AtEof();
    } else if (r < 0) {
        throw ServiceError{kExitUsage,
                           std::string("cannot read standard input: ") + std::strerror(-r)};
    }
    s.Next();
    sd_event_loop(s.event);
    s.pending = sd_bus_slot_unref(s.pending);
    s.input = sd_event_source_disable_unref(s.input);
    return s.exitCode;
}

// Every motion event name a client can subscribe to and receive.
const std::map<std::string, int>& MotionEvents() {
    static const std::map<std::string, int> events = {
        {"EVENT_MOTION_SLAP_LEFT", 1000},   {"EVENT_MOTION_SLAP_RIGHT", 1001},
        {"EVENT_MOTION_SLAP_UP", 1002},     {"EVENT_MOTION_SLAP_DOWN", 1003},
        {"EVENT_MOTION_CIRCLE", 1004},      {"EVENT_MOTION_GRAB", 1005},
        {"EVENT_MOTION_UNGRAB", 1007},      {"EVENT_MOTION_PRIMARY_HAND_LOST", 1015},
        {"EVENT_MOTION_RAW_DATA", 1024},    {"EVENT_MOTION_BEGIN_MONITOR", 1028},
        {"EVENT_MOTION_END_MONITOR", 1029},
    };
    return events;
}

int CmdMonitor(std::vector<std::string>& args) {
    Loop loop;
    std::string widget = "gxempctl";
    bool widgetGiven = false;
    bool motion = true, face = true;
    double timeout = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--widget" && i + 1 < args.size()) {
            widget = args[++i];
            widgetGiven = true;
        } else if (args[i] == "--no-motion") {
            motion = false;
        } else if (args[i] == "--no-face") {
            face = false;
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            loop.countLeft = ParseInt(args[++i], "--count");
            if (loop.countLeft <= 0) Usage("--count must be positive");
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            char* end = nullptr;
            timeout = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || timeout <= 0) Usage("--timeout takes seconds");
        } else if (args[i].compare(0, 1, "-") != 0 && !widgetGiven) {
            widget = args[i];  // `monitor WIDGET` is short for `monitor --widget WIDGET`
            widgetGiven = true;
        } else {
            Usage("unknown argument for monitor: " + args[i]);
        }
    }
    loop.Start();
    loop.engine = OpenEngine(loop.bus, "gxempctl-monitor");
    Json::Value ready(Json::objectValue);
    ready["type"] = "subscribed";
    ready["engine"] = loop.engine;
    auto execute = [&](const std::vector<std::string>& words) {
        Reply reply;
        Call(
            loop.bus, gxhost::kHostPath, gxhost::kHostInterface, "Execute",
            [&](sd_bus_message* m) { return AppendExecute(m, loop.engine, words); }, &reply);
        Json::Value v(Json::objectValue);
        ReadExecuteReply(reply.m, &v);
        return v;
    };
    if (motion) {
        Json::Value list(Json::arrayValue);
        for (const auto& e : MotionEvents()) {
            Json::Value item(Json::objectValue);
            item["itemType"] = e.first;
            list.append(item);
        }
        Json::Value root(Json::objectValue);
        root["motionEventList"] = list;
        ready["widget"] = widget;
        ready["motion"] = execute({"SetMotionSubscribeInfo", widget, JsonLine(root)});
    }
    if (face) {
        Json::Value init = execute({"InitializeFace"});
        Json::Value sub = execute({"SubscribeFaceEvent", widget});
        ready["face"] = sub;
        ready["face"]["initialize"] = init;
    }
    PrintJson(ready);
    if (timeout > 0)
        sd_event_add_time_relative(
            loop.event, nullptr, CLOCK_MONOTONIC, static_cast<uint64_t>(timeout * 1e6), 0,
            [](sd_event_source* s, uint64_t, void*) {
                return sd_event_exit(sd_event_source_get_event(s), 0);
            },
            nullptr);
    sd_event_loop(loop.event);
    if (loop.exitCode == kExitUnreachable) return kExitUnreachable;
    return loop.countLeft > 0 ? kExitNotServed : kExitOk;
}

// ---- Simulator ---------------------------------------------------------------------------------

template <typename Fill>
void SimCall(Bus& b, const char* method, Fill fill, Reply* reply) {
    Call(b, gxhost::kSimulatorPath, gxhost::kSimulatorInterface, method, fill, reply);
}

void SimCallNoArgs(Bus& b, const char* method) {
    Reply r;
    SimCall(
        b, method, [](sd_bus_message*) { return 0; }, &r);
}

int32_t MotionSignalOf(const std::string& name) {
    auto it = MotionEvents().find(name);
    if (it != MotionEvents().end()) return it->second;
    if (name == "EVENT_MOTION_START_ENGINE") return 1000;
    if (!name.empty() && (std::isdigit(static_cast<unsigned char>(name[0])) || name[0] == '-'))
        return ParseInt(name, "the signal");
    Usage("unknown motion event '" + name + "' (an EVENT_MOTION_* name or a signal number)");
}

// FIELD=VALUE words of a face record, or --no-data. Returns nullopt for --no-data.
std::optional<std::vector<std::pair<std::string, std::string>>> FaceFields(
    const std::vector<std::string>& words) {
    if (words.size() == 1 && words[0] == "--no-data") return std::nullopt;
    std::vector<std::pair<std::string, std::string>> fields;
    for (const std::string& w : words) {
        size_t eq = w.find('=');
        if (eq == std::string::npos) Usage("a face record field is FIELD=VALUE, not '" + w + "'");
        std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        if (key == "path") key = "image_path";
        if (key != "id" && key != "image_path" && key != "x" && key != "y" && key != "w" &&
            key != "h")
            Usage("unknown face record field '" + key + "' (id, path, x, y, w, h)");
        if (key != "image_path") ParseInt(value, key.c_str());
        fields.emplace_back(key, value);
    }
    return fields;
}

int AppendRecord(sd_bus_message* m, const std::vector<std::pair<std::string, std::string>>& f) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& kv : f) {
        if (r < 0) break;
        if (kv.first == "image_path")
            r = sd_bus_message_append(m, "{sv}", kv.first.c_str(), "s", kv.second.c_str());
        else
            r = sd_bus_message_append(m, "{sv}", kv.first.c_str(), "i",
                                      static_cast<int32_t>(std::atoi(kv.second.c_str())));
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

void Need(const std::vector<std::string>& a, size_t min, size_t max, const char* usage) {
    if (a.size() < min || a.size() > max) Usage(std::string("usage: gxempctl sim ") + usage);
}

int CmdSim(Bus& b, std::vector<std::string>& args) {
    if (args.empty()) Usage("sim needs a subcommand (see --help)");
    std::string sub = args[0];
    std::vector<std::string> a(args.begin() + 1, args.end());
    Reply reply;
    if (sub == "gesture" || sub == "motion-signal") {
        Need(a, 1, 2, "gesture EVENT|SIGNAL [TEXT]");
        int32_t signal = MotionSignalOf(a[0]);
        if (a.size() == 2)
            SimCall(
                b, "EmitMotionSignal",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "is", signal, a[1].c_str());
                },
                &reply);
        else
            SimCall(
                b, "EmitMotionSignalWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", signal); }, &reply);
        int32_t queued = 0;
        CheckRead(sd_bus_message_read(reply.m, "i", &queued), "EmitMotionSignal");
        SimCallNoArgs(b, "Drain");
        std::cout << "signal " << signal << " delivered to " << queued << " subscriber(s)\n";
    } else if (sub == "face-signal") {
        Need(a, 1, 7, "face-signal SIGNAL [--no-data | FIELD=VALUE...]");
        int32_t signal = ParseInt(a[0], "the signal");
        auto fields = FaceFields(std::vector<std::string>(a.begin() + 1, a.end()));
        if (fields)
            SimCall(
                b, "EmitFaceSignal",
                [&](sd_bus_message* m) {
                    int r = sd_bus_message_append(m, "i", signal);
                    return r < 0 ? r : AppendRecord(m, *fields);
                },
                &reply);
        else
            SimCall(
                b, "EmitFaceSignalWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", signal); }, &reply);
        int32_t queued = 0;
        CheckRead(sd_bus_message_read(reply.m, "i", &queued), "EmitFaceSignal");
        SimCallNoArgs(b, "Drain");
        std::cout << "face signal " << signal << " delivered to " << queued << " subscriber(s)\n";
    } else if (sub == "motion-callback") {
        Need(a, 2, 3, "motion-callback HANDLE SIGNAL [TEXT]");
        int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
        if (a.size() == 3)
            SimCall(
                b, "InvokeMotionCallback",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "iis", handle, signal, a[2].c_str());
                },
                &reply);
        else
            SimCall(
                b, "InvokeMotionCallbackWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", handle, signal); },
                &reply);
        int called = 0;
        CheckRead(sd_bus_message_read(reply.m, "b", &called), "InvokeMotionCallback");
        SimCallNoArgs(b, "Drain");
        std::cout << (called ? "called\n" : "no motion callback is registered\n");
        return called ? kExitOk : kExitNotServed;
    } else if (sub == "face-callback") {
        Need(a, 2, 8, "face-callback HANDLE SIGNAL [--no-data | FIELD=VALUE...]");
        int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
        auto fields = FaceFields(std::vector<std::string>(a.begin() + 2, a.end()));
        if (fields)
            SimCall(
                b, "InvokeFaceCallback",
                [&](sd_bus_message* m) {
                    int r = sd_bus_message_append(m, "ii", handle, signal);
                    return r < 0 ? r : AppendRecord(m, *fields);
                },
                &reply);
        else
            SimCall(
                b, "InvokeFaceCallbackWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", handle, signal); },
                &reply);
        int called = 0;
        CheckRead(sd_bus_message_read(reply.m, "b", &called), "InvokeFaceCallback");
        SimCallNoArgs(b, "Drain");
        std::cout << (called ? "called\n" : "no face callback is registered\n");
        return called ? kExitOk : kExitNotServed;
    } else if (sub == "faces") {
        struct Face {
            int32_t person, x, y, w, h;
        };
        std::vector<Face> faces;
        for (const std::string& f : a) {
            Face face{};
            char tail = 0;
            if (std::sscanf(f.c_str(), "%d:%d,%d,%d,%d%c", &face.person, &face.x, &face.y, &face.w,
                            &face.h, &tail) != 5)
                Usage("a face in view is PERSON:X,Y,W,H, not '" + f + "'");
            faces.push_back(face);
        }
        SimCall(
            b, "SetFacesInView",
            [&](sd_bus_message* m) {
                int r = sd_bus_message_open_container(m, 'a', "(iiiii)");
                for (const Face& f : faces)
                    if (r >= 0)
                        r = sd_bus_message_append(m, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            &reply);
        std::cout << faces.size() << " face(s) in view\n";
    } else if (sub == "camera") {
        Need(a, 1, 2, "camera STATE [QUERY_RESULT]");
        int32_t state = ParseInt(a[0], "the camera state");
        std::optional<int32_t> rc;
        if (a.size() == 2) rc = ParseInt(a[1], "the query result");
        SimCall(
            b, "SetCameraState",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", state); }, &reply);
        if (rc) {
            Reply r2;
            SimCall(
                b, "SetCameraQueryResult",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", *rc); }, &r2);
        }
    } else if (sub == "model") {
        Need(a, 0, 1, "model [TEXT | --none]");
        if (a.empty()) {
            SimCall(
                b, "GetModel", [](sd_bus_message*) { return 0; }, &reply);
            int present = 0;
            const char* model = nullptr;
            CheckRead(sd_bus_message_read(reply.m, "bs", &present, &model), "GetModel");
            std::cout << (present ? model : "(none)") << "\n";
        } else if (a[0] == "--none") {
            SimCallNoArgs(b, "ClearModel");
        } else {
            SimCall(
                b, "SetModel",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[0].c_str()); },
                &reply);
        }
    } else if (sub == "factory") {
        Need(a, 2, 2, "factory ID VALUE|fail");
        int32_t id = ParseInt(a[0], "the item id");
        if (a[1] == "fail") {
            SimCall(
                b, "SetFactoryItemFailing",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", id); }, &reply);
        } else {
            int32_t value = ParseInt(a[1], "the value");
            SimCall(
                b, "SetFactoryItem",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", id, value); },
                &reply);
        }
    } else if (sub == "force") {
        if (!a.empty() && a[0] == "--clear") {
            Need(a, 1, 2, "force --clear [ENTRY]");
            if (a.size() == 2)
                SimCall(
                    b, "ClearForcedResult",
                    [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[1].c_str()); },
                    &reply);
            else
                SimCallNoArgs(b, "ClearForcedResults");
        } else {
            Need(a, 2, 2, "force ENTRY VALUE");
            int32_t value = ParseInt(a[1], "the value");
            SimCall(
                b, "ForceResult",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "si", a[0].c_str(), value);
                },
                &reply);
        }
    } else if (sub == "hide") {
        SimCall(
            b, "SetHiddenMotionEntryPoints",
            [&](sd_bus_message* m) {
                int r = sd_bus_message_open_container(m, 'a', "s");
                for (const std::string& n : a)
                    if (r >= 0) r = sd_bus_message_append_basic(m, 's', n.c_str());
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            &reply);
    } else if (sub == "entry-points") {
        Need(a, 0, 0, "entry-points");
        SimCall(
            b, "MotionEntryPoints", [](sd_bus_message*) { return 0; }, &reply);
        char** names = nullptr;
        CheckRead(sd_bus_message_read_strv(reply.m, &names), "MotionEntryPoints");
        for (char** p = names; p && *p; ++p) {
            std::cout << *p << "\n";
            free(*p);
        }
        free(names);
    } else if (sub == "next-handle") {
        Need(a, 2, 2, "next-handle motion|face N");
        int32_t handle = ParseInt(a[1], "the handle");
        const char* method = a[0] == "motion" ? "SetNextMotionHandle"
                             : a[0] == "face" ? "SetNextFaceHandle"
                                              : nullptr;
        if (method == nullptr) Usage("next-handle takes 'motion' or 'face'");
        SimCall(
            b, method, [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", handle); },
            &reply);
    } else if (sub == "face-version") {
        Need(a, 1, 1, "face-version VERSION|none");
        if (a[0] == "none") {
            SimCallNoArgs(b, "ClearFaceVersion");
        } else {
            char* end = nullptr;
            double v = std::strtod(a[0].c_str(), &end);
            if (a[0].empty() || *end != '\0') Usage("the face version must be a number");
            SimCall(
                b, "SetFaceVersion",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "d", v); }, &reply);
        }
    } else if (sub == "trace") {
        Need(a, 0, 1, "trace [--json] | trace clear");
        if (a.size() == 1 && a[0] == "clear") {
            SimCallNoArgs(b, "ClearTrace");
            return kExitOk;
        }
        bool json = a.size() == 1 && a[0] == "--json";
        if (a.size() == 1 && !json) Usage("usage: gxempctl sim trace [--json] | trace clear");
        SimCall(
            b, "Trace", [](sd_bus_message*) { return 0; }, &reply);
        CheckRead(sd_bus_message_enter_container(reply.m, 'a', "(sasi)"), "Trace");
        while (sd_bus_message_enter_container(reply.m, 'r', "sasi") > 0) {
            const char* fn = nullptr;
            CheckRead(sd_bus_message_read(reply.m, "s", &fn), "Trace");
            char** argv = nullptr;
            CheckRead(sd_bus_message_read_strv(reply.m, &argv), "Trace");
            int32_t result = 0;
            CheckRead(sd_bus_message_read(reply.m, "i", &result), "Trace");
            CheckRead(sd_bus_message_exit_container(reply.m), "Trace");
            Json::Value entry(Json::objectValue);
            entry["function"] = fn;
            entry["args"] = Json::Value(Json::arrayValue);
            std::string line = std::string(fn) + "(";
            for (char** p = argv; p && *p; ++p) {
                entry["args"].append(*p);
                line += (p == argv ? "" : ", ") + std::string(*p);
                free(*p);
            }
            free(argv);
            entry["result"] = result;
            if (json)
                PrintJson(entry);
            else
                std::cout << line << ") = " << result << "\n";
        }
    } else if (sub == "settings") {
        if (!a.empty() && a[0] == "get") {
            Need(a, 2, 2, "settings get KEY");
            SimCall(
                b, "GetSetting",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[1].c_str()); },
                &reply);
            int32_t value = 0;
            CheckRead(sd_bus_message_read(reply.m, "i", &value), "GetSetting");
            std::cout << value << "\n";
        } else if (!a.empty() && a[0] == "set") {
            Need(a, 3, 3, "settings set KEY VALUE");
            int32_t value = ParseInt(a[2], "the value");
            SimCall(
                b, "SetSetting",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "si", a[1].c_str(), value);
                },
                &reply);
        } else if (!a.empty() && a[0] == "path") {
            Need(a, 1, 1, "settings path");
            SimCall(
                b, "GetSettingsPath", [](sd_bus_message*) { return 0; }, &reply);
            const char* path = nullptr;
            CheckRead(sd_bus_message_read(reply.m, "s", &path), "GetSettingsPath");
            std::cout << path << "\n";
        } else {
            Usage("usage: gxempctl sim settings get KEY | set KEY VALUE | path");
        }
    } else if (sub == "drain" || sub == "reset") {
        Need(a, 0, 0, sub == "drain" ? "drain" : "reset");
        SimCallNoArgs(b, sub == "drain" ? "Drain" : "Reset");
    } else if (sub == "profile") {
        Need(a, 1, 1, "profile FILE");
        char* abs = realpath(a[0].c_str(), nullptr);
        std::string path = abs != nullptr ? abs : a[0];
        free(abs);
        SimCall(
            b, "LoadProfile",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", path.c_str()); }, &reply);
    } else {
        Usage("unknown sim subcommand '" + sub + "'");
    }
    return kExitOk;
}

int Run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 1, "-") == 0; ++i) {
        const std::string& o = args[i];
        if (o == "-h" || o == "--help") {
            std::cout << kUsage;
            return kExitOk;
        } else if (o == "--address" && i + 1 < args.size()) {
            g.address = args[++i];
        } else if (o.compare(0, 10, "--address=") == 0) {
            g.address = o.substr(10);
        } else if (o == "--bus" && i + 1 < args.size()) {
            g.bus = args[++i];
            if (g.bus != "session" && g.bus != "system") Usage("--bus takes session or system");
        } else if (o == "--timeout" && i + 1 < args.size()) {
            int32_t sec = ParseInt(args[++i], "--timeout");
            if (sec <= 0) Usage("--timeout must be positive");
            g.timeoutUsec = static_cast<uint64_t>(sec) * 1000000;
        } else {
            Usage("unknown option " + o);
        }
    }
    if (i >= args.size()) Usage("no command given");
    std::string command = args[i];
    std::vector<std::string> rest(args.begin() + i + 1, args.end());
    if (command == "session") return CmdSession(rest);
    if (command == "monitor") return CmdMonitor(rest);
    if (command != "info" && command != "call" && command != "sim")
        Usage("unknown command '" + command + "'");
    Bus bus;
    Connect(&bus);
    if (command == "info") return CmdInfo(bus, rest);
    if (command == "call") return CmdCall(bus, rest);
    return CmdSim(bus, rest);
}

}  // namespace

int main(int argc, char** argv) {
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
