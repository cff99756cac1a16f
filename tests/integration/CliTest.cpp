// gxempctl helps whoever types at it: help and --version without a service, a suggestion for a
// mistyped name, ranges in the messages for numbers out of range, and play's lines for a reader.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

struct CliRow {
    std::vector<std::string> args;
    bool online;  // false: --address names a socket that does not exist (nothing may connect)
    int status;
    const char* out;  // a text stdout holds ("" for anything)
    const char* err;  // a text stderr holds; nullptr: stderr must be empty
};

class CliTest : public ::testing::TestWithParam<CliRow> {
protected:
    static Service* service;
    static void SetUpTestSuite() { service = new Service(); }
    static void TearDownTestSuite() { delete service; }
};
Service* CliTest::service = nullptr;

TEST_P(CliTest, PrintsWhatHelps) {
    const CliRow& row = GetParam();
    std::vector<std::string> argv = {GXEMPCTL_BIN, "--address",
                                     row.online ? service->address() : "unix:path=/nonexistent/s"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    ProcessResult r = RunProgram(argv);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    if (row.err == nullptr)
        EXPECT_EQ(r.err, "");
    else
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, CliTest, ::testing::Values(
    CliRow{{"--version"},                       false, 0, "gxempctl " GXEMP_VERSION "\n", nullptr},
    CliRow{{"help"},                            false, 0, "  help [COMMAND]", nullptr},
    CliRow{{"call", "--help"},                  false, 0, "SetMotionSubscribeInfo", nullptr},
    // Help comes from the tables of commands and subcommands, down to one subcommand.
    CliRow{{"sim", "gesture", "x", "--help"},   false, 0, "\n  sim gesture EVENT|SIGNAL [TEXT]\n", nullptr},
    CliRow{{"sim", "motion-signal", "--help"},  false, 0, "\n  sim gesture EVENT|SIGNAL [TEXT]\n", nullptr},
    CliRow{{"help", "sim", "settings", "set"},  false, 0, "\n  sim settings set KEY VALUE   set one\n", nullptr},
    CliRow{{"sim", "--help"},                   false, 0, "  sim face-signal SIGNAL", nullptr},
    CliRow{{"help", "sim", "gestrue"},          false, 2, "", "unknown sim subcommand 'gestrue'; did you mean gesture?"},
    CliRow{{"sim"},                             false, 2, "", "sim needs a subcommand: gesture, face-signal, "},
    CliRow{{"sim", "force", "x"},               false, 2, "", "usage: gxempctl sim force ENTRY VALUE | gxempctl sim force --clear [ENTRY]"},
    CliRow{{"help", "play"},                    false, 0, "play FILE... [--speed X]", nullptr},
    CliRow{{"help", "EnableTTSEngine"},         false, 0, "gxempctl call EnableTTSEngine", nullptr},
    CliRow{{"help", "EnableTTS"},               false, 2, "", "did you mean EnableTTSEngine?"},
    CliRow{{"sesion"},                          false, 2, "", "unknown command 'sesion'; did you mean session?"},
    // (A call of a mistyped command, sent as typed with the hint on stderr, and the other answers
    // of call are docs/CLIENT.md's examples; the count refusals are CliHelpTest's.)
    CliRow{{"sim", "face-signal", "9"},         false, 2, "", "face signal must be 0..5, not '9'"},
    CliRow{{"sim", "face-signal", "-1", "--no-data"}, false, 2, "", "face signal must be 0..5"},
    CliRow{{"sim", "gesture", "GRAB"},          false, 2, "", "did you mean EVENT_MOTION_GRAB"},
    CliRow{{"sim", "gesture", "WAVE"},          false, 2, "", "  EVENT_MOTION_BEGIN_MONITOR EVENT_MOTION_CIRCLE"},
    CliRow{{"view", "--port", "65536"},         false, 2, "", "--port must be 0..65535, not '65536'"},
    CliRow{{"view", "--frame", "640x0"},        false, 2, "", "--frame height must be 1..16384"},
    CliRow{{"monitor", "--count", "0"},         false, 2, "", "--count must be 1 or more"},
    CliRow{{"--timeout", "0", "info"},          false, 2, "", "--timeout must be 1 or more"},
    CliRow{{"sim", "camera", "x"},              false, 2, "", "must be an integer (-2147483648..2147483647)"},
    // Refusals that come from the service, and from the parsing of what needs one.
    CliRow{{"frobnicate"},                      true,  2, "", "unknown command 'frobnicate'"},
    CliRow{{"sim", "gesture", "EVENT_MOTION_WAVE"}, true, 2, "", "unknown motion event"},
    CliRow{{"sim", "face-signal", "0", "size=3"}, true, 2, "", "unknown face record field"},
    CliRow{{"sim", "force", "gx_no_such_entry", "1"}, true, 4, "", "unknown library entry point"},
    CliRow{{"sim", "hide", "gx_no_such_entry"}, true,  4, "", "not every name"},
    CliRow{{"call", "a", "1", "2", "3", "4", "5"}, true, 2, "", "at most four arguments"},
    CliRow{{"play"},                            true,  2, "", "play needs a scenario FILE"},
    CliRow{{"play", "--speed", "0", "x.jsonl"}, true,  2, "", "--speed takes a number above 0"},
    CliRow{{"record", "/nonexistent/x.jsonl"},  true,  2, "", "cannot write /nonexistent/x.jsonl"},
    CliRow{{"record", "--count", "2"},          true,  2, "", "record needs the FILE to write"},
    CliRow{{"view", "--frame", "0x480"},        true,  2, "", "--frame width must be 1..16384"}),
    [](const auto& info) { return TestName(info.param.args); });
// clang-format on

// What the help says a subcommand takes is what it accepts: for every form the help lists, one
// word fewer than the shortest form and one more than the longest (unless it ends in "...") are
// refused with the count and the usage, and the subcommand's --help shows that form.
TEST(CliHelpTest, ArgumentCountsAgreeWithTheHelp) {
    const std::string ctl = GXEMPCTL_BIN, nowhere = "unix:path=/nonexistent/s";
    ProcessResult help = RunProgram({ctl, "--help"});
    std::map<std::string, std::pair<size_t, size_t>> counts;  // "sim gesture" -> min, max
    const std::regex form(
        R"(^  (sim (?:settings )?[a-z-]+|address|info)((?: \S+)*?)(?:  +\S.*)?$)");
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, form) || m[1] == "sim settings") continue;
        // Alternatives inside brackets are one word: "[TEXT | --none]".
        std::string words = std::regex_replace(m[2].str(), std::regex(R"( \| )"), "|");
        size_t required = 0, optional = 0;
        std::istringstream in(words);
        for (std::string w; in >> w;) {
            bool many = w.find("...") != std::string::npos;
            (w[0] == '[' ? optional : required) += many ? 1000 : 1;
        }
        auto it = counts.emplace(m[1], std::make_pair(required, required + optional)).first;
        it->second.first = std::min(it->second.first, required);
        it->second.second = std::max(it->second.second, required + optional);
    }
    ASSERT_GT(counts.size(), 20u) << help.out;
    for (const auto& [verb, range] : counts) {
        std::vector<std::string> argv = {ctl, "--address", nowhere};
        std::istringstream words(verb);
        for (std::string w; words >> w;) argv.push_back(w);
        argv.push_back("--help");
        ProcessResult usage = RunProgram(argv);
        argv.pop_back();
        EXPECT_NE(usage.out.find("\n  " + verb), std::string::npos) << verb << "\n" << usage.out;
        for (size_t n : {range.first - 1, range.second + 1}) {
            if (n == SIZE_MAX || n >= 1000) continue;
            std::vector<std::string> wrong = argv;
            wrong.insert(wrong.end(), n, "1");
            ProcessResult r = RunProgram(wrong);
            EXPECT_EQ(r.status, 2) << verb << " with " << n;
            EXPECT_NE(r.err.find(verb + " takes "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("usage: gxempctl " + verb), std::string::npos) << r.err;
        }
    }
}

// On a terminal, play prints a line per step (a command with its result, an expectation once it
// was met) and a summary that agrees with the JSON it prints otherwise.
TEST(CliPlayTest, ReadableOnATerminalJsonElsewhere) {
    Service service;
    const std::string file = std::string(GXEMP_SCENARIOS_DIR) + "/swipe.jsonl";
    ProcessResult json = service.Ctl({"play", file});
    ASSERT_EQ(json.status, 0) << json.err;
    std::vector<Json::Value> printed = JsonLines(json.out);
    Json::Value passed = printed.back();
    ASSERT_EQ(passed["type"].asString(), "passed");
    long events = 0;
    for (const Json::Value& v : printed) events += v["type"] == "event";
    // script(1) gives play a terminal for its standard output.
    ProcessResult tty =
        RunProgram({"/usr/bin/script", "-qec",
                    std::string(GXEMPCTL_BIN) + " --address " + service.address() + " play " + file,
                    "/dev/null"});
    ASSERT_EQ(tty.status, 0) << tty.out << tty.err;
    const std::regex stepLine(R"(^ +\d+\.\d\ds  swipe\.jsonl:\d+  \S.*\r?$)");
    long steps = 0;
    std::string last;
    std::istringstream lines(tty.out);
    for (std::string line; std::getline(lines, line); last = line)
        steps += std::regex_match(line, stepLine);
    EXPECT_EQ(steps, passed["steps"].asInt()) << tty.out;
    EXPECT_EQ(last, "passed: " + passed["steps"].asString() + " steps, " +
                        passed["expectations"].asString() + " expectations met, " +
                        std::to_string(events) + " events received\r")
        << tty.out;
    EXPECT_FALSE(std::regex_search(tty.out, std::regex("(^|\n)\\{")))
        << "no JSON lines on a terminal";
}

}  // namespace
}  // namespace itest
