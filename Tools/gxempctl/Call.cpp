// gxempctl info, call, session, monitor: commands on an engine of the service, and its events.
#include <errno.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gxempctl.h"

namespace gxempctl {

int CmdInfo(std::vector<std::string>& args) {
    Bus b;
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

int CmdCall(std::vector<std::string>& args) {
    Bus b;
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
    // The call was sent as given (the plug-in decides); a name it does not know gets a hint.
    const std::vector<std::string>& known = PluginCommands();
    if (std::find(known.begin(), known.end(), args[0]) == known.end()) {
        std::string hint = DidYouMean(args[0], known);
        std::cerr << "gxempctl: the plug-in has no command '" << args[0] << "'"
                  << (hint.empty() ? "; gxempctl help call lists them" : hint) << "\n";
    }
    return out["served"].asBool() ? kExitOk : kExitNotServed;
}

// ---- Event-driven commands (session, monitor) --------------------------------------------------

namespace {

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

}  // namespace

int CmdSession(std::vector<std::string>& args) {
    Session s;
    std::string app = "gxempctl";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--app" && i + 1 < args.size()) {
            app = args[++i];
        } else if (args[i] == "--linger" && i + 1 < args.size()) {
            char* end = nullptr;
            s.linger = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || !(s.linger >= 0)) Usage("--linger takes seconds, 0 or more");
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

Json::Value Execute(Bus& bus, uint32_t engine, const std::vector<std::string>& words) {
    Reply reply;
    Call(
        bus, gxhost::kHostPath, gxhost::kHostInterface, "Execute",
        [&](sd_bus_message* m) { return AppendExecute(m, engine, words); }, &reply);
    Json::Value v(Json::objectValue);
    ReadExecuteReply(reply.m, &v);
    return v;
}

Json::Value MotionSubscription() {
    Json::Value list(Json::arrayValue);
    for (const auto& e : MotionEvents()) {
        Json::Value item(Json::objectValue);
        item["itemType"] = e.first;
        list.append(item);
    }
    Json::Value root(Json::objectValue);
    root["motionEventList"] = list;
    return root;
}

Json::Value Subscribe(Bus& bus, uint32_t engine, const std::string& widget, bool motion,
                      bool face) {
    Json::Value done(Json::objectValue);
    if (motion) {
        done["widget"] = widget;
        done["motion"] = Execute(
            bus, engine, {"SetMotionSubscribeInfo", widget, JsonLine(MotionSubscription())});
    }
    if (face) {
        Json::Value init = Execute(bus, engine, {"InitializeFace"});
        done["face"] = Execute(bus, engine, {"SubscribeFaceEvent", widget});
        done["face"]["initialize"] = init;
    }
    return done;
}

bool ReadEvent(sd_bus_message* m, uint32_t engine, Json::Value* out) {
    uint32_t from = 0;
    int32_t code = 0;
    const char *name = nullptr, *data = nullptr;
    if (sd_bus_message_read(m, "uiss", &from, &code, &name, &data) < 0 || from != engine)
        return false;
    (*out)["engine"] = from;
    (*out)["code"] = code;
    (*out)["name"] = name;
    (*out)["data"] = data;
    return true;
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
            loop.countLeft = ParseIntIn(args[++i], "--count", 1, INT32_MAX);
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            char* end = nullptr;
            timeout = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || !(timeout > 0)) Usage("--timeout takes seconds above 0");
        } else if (args[i].compare(0, 1, "-") != 0 && !widgetGiven) {
            widget = args[i];  // `monitor WIDGET` is short for `monitor --widget WIDGET`
            widgetGiven = true;
        } else {
            Usage("unknown argument for monitor: " + args[i]);
        }
    }
    loop.Start();
    loop.engine = OpenEngine(loop.bus, "gxempctl-monitor");
    Json::Value ready = Subscribe(loop.bus, loop.engine, widget, motion, face);
    ready["type"] = "subscribed";
    ready["engine"] = loop.engine;
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

}  // namespace gxempctl
