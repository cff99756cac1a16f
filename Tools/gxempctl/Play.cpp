// gxempctl play: checks scenario files, prints the plan (--dry-run) or plays them (Player.h) and
// says how it went.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "Player.h"

namespace gxempctl {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

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

PlayOptions ReadOptions(const Args& args) {
    PlayOptions o;
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
    return o;
}

// A file that drives the simulated TV needs a service that has one: ask before playing.
void CheckSimulator(Player& player, const std::vector<Scenario>& scenarios) {
    const Step* s = FirstSimulatorStep(scenarios);
    if (s == nullptr) return;
    try {
        Call(player.bus, gxclient::Simulator("Drain"));
    } catch (const ServiceError& e) {
        if (e.code != kExitServiceError) throw;
        throw ServiceError{kExitServiceError, s->file + ":" + std::to_string(s->line) + ": '" +
                                                  s->key +
                                                  "' needs the simulated TV, which this service "
                                                  "lacks (" +
                                                  e.message + ")"};
    }
}

int Report(const Player& player, const PlayOptions& o, int code) {
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

}  // namespace

std::string StepText(const Step& s) {
    std::string where = s.file.substr(s.file.rfind('/') + 1) + ":" + std::to_string(s.line);
    std::string what = std::visit(
        Overloaded{[](const step::Command& c) {
                       std::string words;
                       for (const std::string& w : c.words) words += (words.empty() ? "" : " ") + w;
                       return words;
                   },
                   [](const step::ExpectEvent& e) {
                       return e.expect["name"].asString() + " arrived" +
                              (e.expect.isMember("data") ? " with the data expected" : "");
                   },
                   [&s](const auto&) { return s.key + " " + JsonLine(s.source[s.key]); }},
        s.action);
    return where + "  " + what;
}

void PrintText(double seconds, const std::string& text) {
    std::printf("%8.2fs  %s\n", seconds, text.c_str());
    std::fflush(stdout);
}

Json::Value StepLine(const Step& s, const PlayOptions& o, long loop) {
    Json::Value v = s.source;
    v["type"] = "step";
    v["file"] = s.file;
    v["line"] = s.line;
    if (o.loops > 1) v["loop"] = static_cast<Json::Int64>(loop + 1);
    return v;
}

int CmdPlay(Args& args) {
    PlayOptions o = ReadOptions(args);
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
    CheckSimulator(player, scenarios);
    player.engine = OpenEngine(player.bus, "gxempctl-play");
    Json::Value opened(Json::objectValue);
    opened["type"] = "open";
    opened["engine"] = player.engine;
    if (o.json) PrintJson(opened);
    int code = player.Play();
    if (code != kExitUnreachable) CloseEngine(player.bus, player.engine);
    return Report(player, o, code);
}

}  // namespace gxempctl
