// gxempctl play: runs scenario files against the service, each step at its time.
//
// Time is kept on the monotonic clock with sd-event timers (1 µs accuracy), so the engine's events
// are read while the player waits. Steps go out in file order, one call at a time: a step is sent
// at its time, or as soon as the reply to the step before it has arrived, so that a gesture never
// overtakes the subscription written above it. The lateness of every step shows in its "time".
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "Scenario.h"
#include "gxempctl.h"

namespace gxempctl {
namespace {

constexpr int kExitExpectation = 1;

uint64_t NowUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

double Seconds(uint64_t usec) {
    return static_cast<double>(usec) / 1e6;
}

// Microseconds of a duration in seconds, capped far beyond any scenario (30 years) so that a huge
// time or a tiny --speed cannot overflow the clock.
uint64_t Usec(double seconds) {
    return static_cast<uint64_t>(std::llround(std::min(seconds * 1e6, 1e15)));
}

struct Options {
    std::vector<std::string> files;
    double speed = 1;
    long loops = 1;
    bool dryRun = false;
    bool json = false;  // JSON lines (--json, or stdout is not a terminal), else a line per step
};

// A step as a reader would say it, e.g. "face-enrolment.jsonl:12  faces [[1,120,80,64,64]]"; a
// command with its words, an expected event as having arrived (it is printed when it did).
std::string StepText(const Step& s) {
    std::string where = s.file.substr(s.file.rfind('/') + 1) + ":" + std::to_string(s.line);
    std::string what;
    if (s.action == Action::Command) {
        for (const std::string& w : s.words) what += (what.empty() ? "" : " ") + w;
    } else if (s.action == Action::ExpectEvent) {
        what = s.expect["name"].asString() + " arrived" +
               (s.expect.isMember("data") ? " with the data expected" : "");
    } else {
        what = s.key + " " + JsonLine(s.source[s.key]);
    }
    return where + "  " + what;
}

void PrintText(double seconds, const std::string& text) {
    std::printf("%8.2fs  %s\n", seconds, text.c_str());
    std::fflush(stdout);
}

// The arguments of a simulator method for a step.
int AppendSimulatorCall(sd_bus_message* m, const Step& s) {
    switch (s.action) {
        case Action::Gesture:
            return s.data ? sd_bus_message_append(m, "is", s.number, s.data->c_str())
                          : sd_bus_message_append(m, "i", s.number);
        case Action::Face: {
            int r = sd_bus_message_append(m, "i", s.number);
            if (r < 0 || !s.record) return r;
            r = sd_bus_message_open_container(m, 'a', "{sv}");
            for (const std::string& key : s.record->getMemberNames()) {
                const Json::Value& v = (*s.record)[key];
                if (r >= 0)
                    r = v.isString()
                            ? sd_bus_message_append(m, "{sv}", key.c_str(), "s", v.asCString())
                            : sd_bus_message_append(m, "{sv}", key.c_str(), "i",
                                                    static_cast<int32_t>(v.asInt()));
            }
            return r < 0 ? r : sd_bus_message_close_container(m);
        }
        case Action::Faces: {
            int r = sd_bus_message_open_container(m, 'a', "(iiiii)");
            for (const auto& f : s.faces)
                if (r >= 0) r = sd_bus_message_append(m, "(iiiii)", f[0], f[1], f[2], f[3], f[4]);
            return r < 0 ? r : sd_bus_message_close_container(m);
        }
        case Action::Camera:
            return sd_bus_message_append(m, "i", s.number);
        case Action::Setting:
            return sd_bus_message_append(m, "si", s.text.c_str(), s.number);
        case Action::Profile:
            return sd_bus_message_append(m, "s", s.text.c_str());
        case Action::Command:
        case Action::ExpectEvent:
            break;
    }
    return -EINVAL;
}

const char* SimulatorMethod(const Step& s) {
    switch (s.action) {
        case Action::Gesture:
            return s.data ? "EmitMotionSignal" : "EmitMotionSignalWithoutData";
        case Action::Face:
            return s.record ? "EmitFaceSignal" : "EmitFaceSignalWithoutData";
        case Action::Faces:
            return "SetFacesInView";
        case Action::Camera:
            return "SetCameraState";
        case Action::Setting:
            return "SetSetting";
        case Action::Profile:
            return "LoadProfile";
        case Action::Command:
        case Action::ExpectEvent:
            break;
    }
    return nullptr;
}

// The line printed for a step: the step as written, where it comes from and when it ran.
Json::Value StepLine(const Step& s, const Options& o, long loop) {
    Json::Value v = s.source;
    v["type"] = "step";
    v["file"] = s.file;
    v["line"] = s.line;
    if (o.loops > 1) v["loop"] = static_cast<Json::Int64>(loop + 1);
    return v;
}

class Player : public Loop {
public:
    Player(const std::vector<Scenario>& scenarios, const Options& options)
        : m_Scenarios(scenarios), m_Options(options) {}
    ~Player() override {
        sd_bus_slot_unref(m_Pending);
        sd_event_source_disable_unref(m_StepTimer);
        sd_event_source_disable_unref(m_DeadlineTimer);
    }

    int Play() {
        sd_event_add_time(event, &m_StepTimer, CLOCK_MONOTONIC, 0, 1, &Player::OnStepTimer, this);
        sd_event_add_time(event, &m_DeadlineTimer, CLOCK_MONOTONIC, 0, 1, &Player::OnDeadline,
                          this);
        sd_event_source_set_enabled(m_StepTimer, SD_EVENT_OFF);
        sd_event_source_set_enabled(m_DeadlineTimer, SD_EVENT_OFF);
        StartRun(0);
        Continue();
        // Not sd_event_loop: leaving it closes the connection, and the engine is closed after.
        while (!m_Finished && sd_event_get_state(event) != SD_EVENT_FINISHED)
            if (sd_event_run(event, UINT64_MAX) < 0) break;
        return exitCode;
    }

    long steps = 0, expectations = 0;
    size_t Events() const { return m_Received.size(); }

private:
    struct Expectation {
        const Step* step;
        uint64_t deadline;
    };
    struct Received {
        std::string name, data;
        bool matched = false;
    };

    const Scenario& Current() const { return m_Scenarios[m_Run % m_Scenarios.size()]; }
    long LoopIndex() const { return static_cast<long>(m_Run / m_Scenarios.size()); }
    uint64_t Due(const Step& s) const { return m_Start + Usec(s.at / m_Options.speed); }

    void StartRun(size_t run) {
        m_Run = run;
        m_Next = 0;
        m_Start = NowUsec();
    }

    // Sends every step that is due, then waits for the next one's time, a reply or the last
    // expectations of the run; a finished run starts the next file (or loop).
    void Continue() {
        while (!m_Finished) {
            const std::vector<Step>& all = Current().steps;
            if (m_Next < all.size()) {
                const Step& s = all[m_Next];
                // An expectation sends nothing, so it need not wait for a reply.
                if (m_InFlight != nullptr && s.action != Action::ExpectEvent) return;
                uint64_t due = Due(s);
                if (due > NowUsec()) {
                    sd_event_source_set_time(m_StepTimer, due);
                    sd_event_source_set_enabled(m_StepTimer, SD_EVENT_ONESHOT);
                    return;
                }
                ++m_Next;
                Send(s, due);
                continue;
            }
            if (m_InFlight != nullptr || !m_Waiting.empty()) return;
            if (m_Run + 1 == m_Scenarios.size() * static_cast<size_t>(m_Options.loops))
                return Finish(kExitOk);
            StartRun(m_Run + 1);
        }
    }

    void Send(const Step& s, uint64_t due) {
        uint64_t now = NowUsec();
        Json::Value line = StepLine(s, m_Options, LoopIndex());
        line["time"] = Seconds(now - m_Start);
        // As text, a command is printed with its result and an expectation once it is met.
        if (m_Options.json)
            PrintJson(line);
        else if (s.action != Action::Command && s.action != Action::ExpectEvent)
            PrintText(Seconds(now - m_Start), StepText(s));
        ++steps;
        if (s.action == Action::ExpectEvent) {
            m_Waiting.push_back({&s, due + Usec(s.within)});
            Match();
            return;
        }
        sd_bus_message* m = nullptr;
        int r;
        if (s.action == Action::Command) {
            r = sd_bus_message_new_method_call(bus.bus, &m, gxhost::kBusName, gxhost::kHostPath,
                                               gxhost::kHostInterface, "Execute");
            if (r >= 0) r = AppendExecute(m, engine, s.words);
        } else {
            r = sd_bus_message_new_method_call(bus.bus, &m, gxhost::kBusName,
                                               gxhost::kSimulatorPath, gxhost::kSimulatorInterface,
                                               SimulatorMethod(s));
            if (r >= 0) r = AppendSimulatorCall(m, s);
        }
        if (r >= 0) r = sd_bus_call_async(bus.bus, &m_Pending, m, &Player::OnReply, this, 0);
        sd_bus_message_unref(m);
        if (r < 0) {
            std::fprintf(stderr, "gxempctl: %s:%d: cannot send '%s': %s\n", s.file.c_str(), s.line,
                         s.key.c_str(), std::strerror(-r));
            return Finish(kExitUnreachable);
        }
        m_InFlight = &s;
    }

    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Player*>(userdata);
        const Step& s = *self->m_InFlight;
        self->m_Pending = sd_bus_slot_unref(self->m_Pending);
        self->m_InFlight = nullptr;
        const sd_bus_error* error = sd_bus_message_get_error(m);
        if (error != nullptr) {
            std::string where = s.file + ":" + std::to_string(s.line) + ": '" + s.key + "': ";
            try {
                ThrowCallError(*error, -sd_bus_message_get_errno(m),
                               s.words.empty() ? s.key : s.words[0]);
            } catch (const ServiceError& e) {
                std::fprintf(stderr, "gxempctl: %s%s\n", where.c_str(), e.message.c_str());
                self->Finish(e.code);
            }
            return 0;
        }
        if (s.action == Action::Command) {
            Json::Value v(Json::objectValue);
            v["type"] = "result";
            v["command"] = s.words[0];
            try {
                ReadExecuteReply(m, &v);
            } catch (const ServiceError& e) {
                std::fprintf(stderr, "gxempctl: %s\n", e.message.c_str());
                self->Finish(e.code);
                return 0;
            }
            if (self->m_Options.json) {
                PrintJson(v);
            } else {
                std::string result =
                    v["result"].isString() ? JsonLine(v["result"]) : v["result"].asString();
                PrintText(
                    Seconds(NowUsec() - self->m_Start),
                    StepText(s) + "  -> " + (v["served"].asBool() ? "" : "not served, ") + result);
            }
            const Json::Value& want = s.expect;
            if (!want.isNull()) {
                Json::Value got(Json::objectValue);
                got["served"] = v["served"];
                got["result"] = v["result"];
                if ((want.isMember("served") && want["served"] != got["served"]) ||
                    (want.isMember("result") && want["result"] != got["result"])) {
                    self->Failed(s, want, got);
                    return 0;
                }
                ++self->expectations;
            }
        }
        self->Continue();
        return 0;
    }

    void OnEngineEvent(Json::Value v) override {
        v["time"] = Seconds(NowUsec() - m_Start);
        if (m_Options.json) PrintJson(v);
        m_Received.push_back({v["name"].asString(), v["data"].asString()});
        Match();
        Continue();
    }

    // Each waiting expectation, in step order, takes the first event after the one the
    // expectation before it took: expected events must arrive in the order they are written.
    void Match() {
        while (!m_Waiting.empty() && !m_Finished) {
            const Json::Value& want = m_Waiting.front().step->expect;
            size_t i = m_Cursor;
            while (i < m_Received.size() &&
                   (m_Received[i].name != want["name"].asString() ||
                    (want.isMember("data") && !DataMatches(want["data"], m_Received[i].data))))
                ++i;
            if (i == m_Received.size()) break;
            m_Received[i].matched = true;
            m_Cursor = i + 1;
            if (!m_Options.json)
                PrintText(Seconds(NowUsec() - m_Start), StepText(*m_Waiting.front().step));
            m_Waiting.pop_front();
            ++expectations;
        }
        uint64_t first = UINT64_MAX;
        for (const Expectation& e : m_Waiting) first = std::min(first, e.deadline);
        sd_event_source_set_enabled(m_DeadlineTimer, SD_EVENT_OFF);
        if (first != UINT64_MAX) {
            sd_event_source_set_time(m_DeadlineTimer, first);
            sd_event_source_set_enabled(m_DeadlineTimer, SD_EVENT_ONESHOT);
        }
    }

    static int OnStepTimer(sd_event_source*, uint64_t, void* userdata) {
        static_cast<Player*>(userdata)->Continue();
        return 0;
    }

    static int OnDeadline(sd_event_source*, uint64_t, void* userdata) {
        auto* self = static_cast<Player*>(userdata);
        uint64_t now = NowUsec();
        for (const Expectation& e : self->m_Waiting) {
            if (e.deadline > now) continue;
            Json::Value want = e.step->expect;
            want["within"] = e.step->within;
            // What came instead: the events no expectation took.
            Json::Value got(Json::arrayValue);
            for (const Received& r : self->m_Received) {
                if (r.matched) continue;
                Json::Value ev(Json::objectValue);
                ev["name"] = r.name;
                ev["data"] = r.data;
                got.append(ev);
            }
            self->Failed(*e.step, want, got);
            return 0;
        }
        self->Match();  // re-arms for the next deadline
        return 0;
    }

    void Failed(const Step& s, const Json::Value& expected, const Json::Value& got) {
        Json::Value v(Json::objectValue);
        v["type"] = "failed";
        v["file"] = s.file;
        v["line"] = s.line;
        v["expected"] = expected;
        v["got"] = got;
        if (m_Options.json) PrintJson(v);
        std::string what = got.isArray() && got.empty() ? "no event" : JsonLine(got);
        std::fprintf(stderr, "gxempctl: %s:%d: '%s' failed: expected %s, got %s\n", s.file.c_str(),
                     s.line, s.key.c_str(), JsonLine(expected).c_str(), what.c_str());
        Finish(kExitExpectation);
    }

    void Finish(int code) {
        if (m_Finished) return;
        m_Finished = true;
        exitCode = code;
    }

    const std::vector<Scenario>& m_Scenarios;
    Options m_Options;
    size_t m_Run = 0, m_Next = 0, m_Cursor = 0;
    uint64_t m_Start = 0;
    bool m_Finished = false;
    const Step* m_InFlight = nullptr;
    sd_bus_slot* m_Pending = nullptr;
    sd_event_source* m_StepTimer = nullptr;
    sd_event_source* m_DeadlineTimer = nullptr;
    std::deque<Expectation> m_Waiting;
    std::vector<Received> m_Received;
};

const Step* FirstSimulatorStep(const std::vector<Scenario>& scenarios) {
    for (const Scenario& sc : scenarios)
        for (const Step& s : sc.steps)
            if (s.OnSimulator()) return &s;
    return nullptr;
}

double PositiveNumber(const std::string& text, const char* what) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v > 0) || !std::isfinite(v))
        Usage(std::string(what) + " takes a number above 0, not '" + text + "'");
    return v;
}

}  // namespace

int CmdPlay(std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--speed" && i + 1 < args.size()) {
            o.speed = PositiveNumber(args[++i], "--speed");
        } else if (args[i] == "--loop" && i + 1 < args.size()) {
            o.loops = ParseIntIn(args[++i], "--loop", 1, INT32_MAX);
        } else if (args[i] == "--dry-run") {
            o.dryRun = true;
        } else if (args[i] == "--json") {
            o.json = true;
        } else if (args[i].compare(0, 2, "--") == 0) {
            Usage("unknown option for play: " + args[i]);
        } else {
            o.files.push_back(args[i]);
        }
    }
    if (o.files.empty()) Usage("play needs a scenario FILE");
    if (!isatty(STDOUT_FILENO)) o.json = true;
    std::vector<Scenario> scenarios;
    for (const std::string& f : o.files) scenarios.push_back(LoadScenario(f));
    if (o.dryRun) {
        for (long loop = 0; loop < o.loops; ++loop)
            for (const Scenario& sc : scenarios)
                for (const Step& s : sc.steps) {
                    Json::Value line = StepLine(s, o, loop);
                    line["due"] = s.at / o.speed;
                    PrintJson(line);
                }
        return kExitOk;
    }
    Player player(scenarios, o);
    player.Start();
    // A file that drives the simulated TV needs a service that has one: ask before playing.
    if (const Step* s = FirstSimulatorStep(scenarios)) {
        try {
            SimCallNoArgs(player.bus, "Drain");
        } catch (const ServiceError& e) {
            if (e.code != kExitServiceError) throw;
            throw ServiceError{kExitServiceError,
                               s->file + ":" + std::to_string(s->line) + ": '" + s->key +
                                   "' needs the simulated TV, which this service lacks (" +
                                   e.message + ")"};
        }
    }
    player.engine = OpenEngine(player.bus, "gxempctl-play");
    Json::Value opened(Json::objectValue);
    opened["type"] = "open";
    opened["engine"] = player.engine;
    if (o.json) PrintJson(opened);
    int code = player.Play();
    if (code != kExitUnreachable) {
        Reply closed;
        Call(
            player.bus, gxhost::kHostPath, gxhost::kHostInterface, "Close",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", player.engine); },
            &closed);
    }
    if (code == kExitOk) {
        Json::Value done(Json::objectValue);
        done["type"] = "passed";
        done["steps"] = static_cast<Json::Int64>(player.steps);
        done["expectations"] = static_cast<Json::Int64>(player.expectations);
        if (o.json) PrintJson(done);
    }
    if (!o.json) {
        std::printf("%s: %ld steps, %ld expectations met, %zu events received\n",
                    code == kExitOk ? "passed" : "FAILED", player.steps, player.expectations,
                    player.Events());
    }
    return code;
}

}  // namespace gxempctl
