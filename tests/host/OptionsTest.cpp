// The service's command line: what is taken, what is refused and why, and the extensions' options.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gxhost/Extension.h"
#include "service/Options.h"

namespace {

using gxhost::Action;
using gxhost::Options;

// An extension with an option that takes a value (and refuses "bad") and a switch.
struct FakeExtension : gxhost::Extension {
    std::vector<std::string> seen;
    std::vector<gxhost::ExtensionOption> Options() const override {
        return {{"profile", "FILE", "a profile"}, {"quiet", "", "a switch"}};
    }
    bool HandleOption(const std::string& name, const std::string& value,
                      std::string* error) override {
        if (value == "bad") return *error = "no such file", false;
        seen.push_back(name + "=" + value);
        return true;
    }
};
FakeExtension g_Extension;
[[maybe_unused]] const bool g_Registered = (gxhost::RegisterExtension(&g_Extension), true);

gxhost::ParsedOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "gxemp");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return gxhost::ParseOptions(static_cast<int>(args.size()), argv.data());
}

struct Row {
    std::vector<std::string> args;
    Action action;
    const char* error;  // the refusal's text, "" when taken
    std::function<bool(const Options&)> check;
};

bool Defaults(const Options& o) {
    return o.limits.maxClients == 64 && o.limits.maxQueuedEvents == 1024 &&
           o.limits.authTimeoutUsec == 5000000 && o.spareWorkers == 1 && !o.IsWorker() &&
           !o.singleProcess && o.bus.empty() && o.address.empty() && !o.logPriority;
}

const Row kRows[] = {
    {{}, Action::Serve, "", Defaults},
    {{"--help"}, Action::Help, "", nullptr},
    {{"-V"}, Action::Version, "", nullptr},
    {{"--version", "--bogus"}, Action::Version, "", nullptr},  // the first word decides
    {{"--bogus"}, Action::Refuse, "unknown option '--bogus'", nullptr},
    {{"--address"}, Action::Refuse, "option '--address' needs a value", nullptr},
    {{"--single-process=yes"}, Action::Refuse, "unknown option '--single-process=yes'", nullptr},
    {{"extra"}, Action::Refuse, "unexpected argument 'extra'", nullptr},
    {{"--bus", "tcp"}, Action::Refuse, "--bus takes 'session' or 'system', not 'tcp'", nullptr},
    {{"--bus=system"}, Action::Serve, "", [](const Options& o) { return o.bus == "system"; }},
    {{"--bus=session", "--address=unix:path=/x"},
     Action::Refuse,
     "--bus and --address exclude each other",
     nullptr},
    {{"--max-clients=100000"},
     Action::Serve,
     "",
     [](const Options& o) { return o.limits.maxClients == 100000; }},
    {{"--max-clients=0"}, Action::Refuse, "--max-clients takes 1..100000, not '0'", nullptr},
    {{"--max-clients=100001"},
     Action::Refuse,
     "--max-clients takes 1..100000, not '100001'",
     nullptr},
    {{"--max-clients=-1"}, Action::Refuse, "--max-clients takes 1..100000, not '-1'", nullptr},
    {{"--max-clients=5x"}, Action::Refuse, "--max-clients takes 1..100000, not '5x'", nullptr},
    {{"--max-clients="}, Action::Refuse, "--max-clients takes 1..100000, not ''", nullptr},
    {{"--max-queued-events=1000000"},
     Action::Serve,
     "",
     [](const Options& o) { return o.limits.maxQueuedEvents == 1000000; }},
    {{"--max-queued-events=1000001"},
     Action::Refuse,
     "--max-queued-events takes 1..1000000, not '1000001'",
     nullptr},
    {{"--auth-timeout=0.5"},
     Action::Serve,
     "",
     [](const Options& o) { return o.limits.authTimeoutUsec == 500000; }},
    {{"--auth-timeout=3600"},
     Action::Serve,
     "",
     [](const Options& o) { return o.limits.authTimeoutUsec == 3600000000ull; }},
    {{"--auth-timeout=3600.5"},
     Action::Refuse,
     "--auth-timeout takes seconds (more than 0, at most 3600), not '3600.5'",
     nullptr},
    {{"--auth-timeout=0"},
     Action::Refuse,
     "--auth-timeout takes seconds (more than 0, at most 3600), not '0'",
     nullptr},
    {{"--auth-timeout=nan"},
     Action::Refuse,
     "--auth-timeout takes seconds (more than 0, at most 3600), not 'nan'",
     nullptr},
    {{"--auth-timeout=2s"},
     Action::Refuse,
     "--auth-timeout takes seconds (more than 0, at most 3600), not '2s'",
     nullptr},
    {{"--spare-workers=0"},
     Action::Serve,
     "",
     [](const Options& o) { return o.spareWorkers == 0; }},
    {{"--spare-workers=16"},
     Action::Serve,
     "",
     [](const Options& o) { return o.spareWorkers == 16; }},
    {{"--spare-workers=17"}, Action::Refuse, "--spare-workers takes 0..16, not '17'", nullptr},
    {{"--spare-workers=-1"}, Action::Refuse, "--spare-workers takes 0..16, not '-1'", nullptr},
    {{"--spare-workers= 1"}, Action::Refuse, "--spare-workers takes 0..16, not ' 1'", nullptr},
    {{"--spare-workers="}, Action::Refuse, "--spare-workers takes 0..16, not ''", nullptr},
    {{"--log-level=trace"},
     Action::Serve,
     "",
     [](const Options& o) { return o.logPriority == 2 && o.logLevel == "trace"; }},
    {{"--log-level=error"},
     Action::Serve,
     "",
     [](const Options& o) { return o.logPriority == 16; }},
    {{"--log-level=1000"},
     Action::Serve,
     "",
     [](const Options& o) { return o.logPriority == 1000 && o.logLevel == "1000"; }},
    {{"--log-level=0"}, Action::Serve, "", [](const Options& o) { return o.logPriority == 0; }},
    {{"--log-level=1001"},
     Action::Refuse,
     "--log-level takes a priority (a number, trace, info, notice or error), not '1001'",
     nullptr},
    {{"--log-level=loud"},
     Action::Refuse,
     "--log-level takes a priority (a number, trace, info, notice or error), not 'loud'",
     nullptr},
    {{"--single-process", "--log=/x/y"},
     Action::Serve,
     "",
     [](const Options& o) { return o.singleProcess && o.logFile == "/x/y"; }},
    {{"--worker=:1.5"},
     Action::Serve,
     "",
     [](const Options& o) { return o.worker == ":1.5" && !o.spare && o.IsWorker(); }},
    {{"--worker-spare"},
     Action::Serve,
     "",
     [](const Options& o) { return o.spare && o.worker.empty() && o.IsWorker(); }},
    {{"--worker-fds=5,-1,1000"},
     Action::Serve,
     "",
     [](const Options& o) {
         return o.workerFds == std::vector<int>{5, -1, 1000};
     }},
    {{"--worker-fds=5,,6"},
     Action::Refuse,
     "--worker-fds takes descriptors separated by commas, not '5,,6'",
     nullptr},
    {{"--worker-fds=5,"},
     Action::Refuse,
     "--worker-fds takes descriptors separated by commas, not '5,'",
     nullptr},
    {{"--worker-fds=-2"},
     Action::Refuse,
     "--worker-fds takes descriptors separated by commas, not '-2'",
     nullptr},
    {{"--worker-fds=1001"},
     Action::Refuse,
     "--worker-fds takes descriptors separated by commas, not '1001'",
     nullptr},
    {{"--profile=bad"}, Action::Refuse, "--profile: no such file", nullptr},
    {{"--quiet=1"}, Action::Refuse, "unknown option '--quiet=1'", nullptr},
};

TEST(Options, Table) {
    for (const Row& row : kRows) {
        std::string line;
        for (const std::string& a : row.args) line += a + " ";
        SCOPED_TRACE(line);
        gxhost::ParsedOptions parsed = Parse(row.args);
        EXPECT_EQ(parsed.action, row.action);
        EXPECT_EQ(parsed.error, row.error);
        if (row.check) {
            EXPECT_TRUE(row.check(parsed.options));
        }
    }
}

TEST(Options, ExtensionsAreToldOfTheirOwn) {
    g_Extension.seen.clear();
    gxhost::ParsedOptions parsed = Parse({"--quiet", "--profile", "tv.ini", "--max-clients=3"});
    EXPECT_EQ(parsed.action, Action::Serve);
    EXPECT_EQ(parsed.options.limits.maxClients, 3u);
    EXPECT_EQ(g_Extension.seen, (std::vector<std::string>{"quiet=", "profile=tv.ini"}));
}

}  // namespace
