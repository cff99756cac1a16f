// gxempctl session: one engine for the whole run, fed one command per line from standard input;
// results and events come out as JSON lines in the order they happen.
#include <errno.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "gxempctl.h"

namespace gxempctl {

namespace {

struct Session : Loop {
    std::deque<std::string> lines;
    std::string partial;
    bool eof = false;
    bool busy = false;
    double linger = 0;
    // Switched off with its handle: standard input must not be read for a session gone.
    gxhost::Ref<sd_event_source, sd_event_source_disable_unref> input;
    gxhost::SlotRef pending;
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
            int r = gxclient::CallAsync(bus.bus.get(), gxclient::Execute(engine, words),
                                        &Session::OnReply, this, &pending);
            if (r < 0) {
                v["type"] = "error";
                v["command"] = words[0];
                v["error"] = "send";
                v["message"] = std::strerror(-r);
                PrintJson(v);
                exitCode = kExitUnreachable;
                sd_event_exit(event.get(), 0);
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
        gxclient::Reply reply;
        if (gxclient::Call(bus.bus.get(), gxclient::CloseEngine(engine), &reply) < 0) {
            std::fprintf(stderr, "gxempctl: Close: %s\n", reply.ErrorText().c_str());
            if (exitCode == kExitOk) exitCode = kExitServiceError;
        }
    }

    void Finish() {
        if (linger > 0) {
            sd_event_add_time_relative(
                event.get(), nullptr, CLOCK_MONOTONIC, static_cast<uint64_t>(linger * 1e6), 0,
                [](sd_event_source*, uint64_t, void* userdata) {
                    auto* self = static_cast<Session*>(userdata);
                    self->Close();
                    return sd_event_exit(self->event.get(), 0);
                },
                this);
            linger = 0;
            return;
        }
        Close();
        sd_event_exit(event.get(), 0);
    }

    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        self->pending.reset();
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
        input.reset();
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
    int r =
        sd_event_add_io(s.event.get(), s.input.out(), STDIN_FILENO, EPOLLIN, &Session::OnInput, &s);
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
    sd_event_loop(s.event.get());
    s.pending.reset();
    s.input.reset();
    return s.exitCode;
}

}  // namespace gxempctl
