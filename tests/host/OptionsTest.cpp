// The service's command line: what is taken, what is refused and why, and the extensions' options.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "gxhost/Extension.h"
#include "service/Options.h"
#include "worker/WorkerProtocol.h"

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

// What the options hold, as words "name=value".
std::string Held(const Options& o) {
    std::ostringstream s;
    s << "address=" << o.address << " bus=" << o.bus << " log=" << o.logFile
      << " level=" << o.logLevel << "/" << o.logPriority.value_or(-1)
      << " clients=" << o.limits.maxClients << " queued=" << o.limits.maxQueuedEvents
      << " auth=" << o.limits.authTimeoutUsec << " single=" << o.singleProcess
      << " spares=" << o.spareWorkers << " exec=" << o.execWorkers << " worker=" << o.worker
      << " spare=" << o.spare << " fds=" << gxhost::FormatWorkerFds(o.workerFds)
      << " isworker=" << o.IsWorker() << " template=" << o.workerTemplate << " ";
    return s.str();
}

struct Row {
    std::vector<std::string> args;
    Action action;
    // Refused: the error. Taken: words Held() shows.
    std::string expected;
};

const std::string kTimeout = "--auth-timeout takes seconds (more than 0, at most 3600), not ";
const std::string kLevel =
    "--log-level takes a priority (a number, trace, info, notice or error), not ";
const std::string kFds = "--worker-fds takes descriptors separated by commas, not ";

const Row kRows[] = {
    {{},
     Action::Serve,
     "address= bus= log= level=/-1 clients=64 queued=1024 auth=5000000 single=0 spares=1 "
     "exec=0 worker= spare=0 fds= isworker=0 template=0 "},
    {{"--help"}, Action::Help, ""},
    {{"-V"}, Action::Version, ""},
    {{"--version", "--bogus"}, Action::Version, ""},  // the first word decides
    {{"--bogus"}, Action::Refuse, "unknown option '--bogus'"},
    {{"--address"}, Action::Refuse, "option '--address' needs a value"},
    {{"--single-process=yes"}, Action::Refuse, "unknown option '--single-process=yes'"},
    {{"extra"}, Action::Refuse, "unexpected argument 'extra'"},
    {{"--bus", "tcp"}, Action::Refuse, "--bus takes 'session' or 'system', not 'tcp'"},
    {{"--bus=system"}, Action::Serve, "bus=system "},
    {{"--bus=session", "--address=unix:path=/x"},
     Action::Refuse,
     "--bus and --address exclude each other"},
    {{"--max-clients=100000"}, Action::Serve, "clients=100000 "},
    {{"--max-clients=0"}, Action::Refuse, "--max-clients takes 1..100000, not '0'"},
    {{"--max-clients=100001"}, Action::Refuse, "--max-clients takes 1..100000, not '100001'"},
    {{"--max-clients=-1"}, Action::Refuse, "--max-clients takes 1..100000, not '-1'"},
    {{"--max-clients=5x"}, Action::Refuse, "--max-clients takes 1..100000, not '5x'"},
    {{"--max-clients="}, Action::Refuse, "--max-clients takes 1..100000, not ''"},
    {{"--max-queued-events=1000000"}, Action::Serve, "queued=1000000 "},
    {{"--max-queued-events=1000001"},
     Action::Refuse,
     "--max-queued-events takes 1..1000000, not '1000001'"},
    {{"--auth-timeout=0.5"}, Action::Serve, "auth=500000 "},
    {{"--auth-timeout=3600"}, Action::Serve, "auth=3600000000 "},
    {{"--auth-timeout=3600.5"}, Action::Refuse, kTimeout + "'3600.5'"},
    {{"--auth-timeout=0"}, Action::Refuse, kTimeout + "'0'"},
    {{"--auth-timeout=nan"}, Action::Refuse, kTimeout + "'nan'"},
    {{"--auth-timeout=2s"}, Action::Refuse, kTimeout + "'2s'"},
    {{"--spare-workers=0"}, Action::Serve, "spares=0 "},
    {{"--exec-workers"}, Action::Serve, "exec=1 worker= spare=0 "},
    {{"--worker-template"}, Action::Serve, "isworker=0 template=1 "},
    {{"--spare-workers=16"}, Action::Serve, "spares=16 "},
    {{"--spare-workers=17"}, Action::Refuse, "--spare-workers takes 0..16, not '17'"},
    {{"--spare-workers=-1"}, Action::Refuse, "--spare-workers takes 0..16, not '-1'"},
    {{"--spare-workers= 1"}, Action::Refuse, "--spare-workers takes 0..16, not ' 1'"},
    {{"--spare-workers="}, Action::Refuse, "--spare-workers takes 0..16, not ''"},
    {{"--log-level=trace"}, Action::Serve, "level=trace/2 "},
    {{"--log-level=debug"}, Action::Serve, "level=debug/2 "},
    {{"--log-level=info"}, Action::Serve, "level=info/4 "},
    {{"--log-level=notice"}, Action::Serve, "level=notice/5 "},
    {{"--log-level=error"}, Action::Serve, "level=error/16 "},
    {{"--log-level=1000"}, Action::Serve, "level=1000/1000 "},
    {{"--log-level=0"}, Action::Serve, "level=0/0 "},
    {{"--log-level=1001"}, Action::Refuse, kLevel + "'1001'"},
    {{"--log-level=loud"}, Action::Refuse, kLevel + "'loud'"},
    {{"--single-process", "--log=/x/y"}, Action::Serve, "log=/x/y level=/-1 "},
    {{"--single-process"}, Action::Serve, "single=1 "},
    {{"--worker=:1.5"}, Action::Serve, "worker=:1.5 spare=0 fds= isworker=1 "},
    {{"--worker-spare"}, Action::Serve, "worker= spare=1 fds= isworker=1 "},
    {{"--worker-fds=5,-1,1000"}, Action::Serve, "fds=5,-1,1000 isworker=0 "},
    {{"--worker-fds=5,,6"}, Action::Refuse, kFds + "'5,,6'"},
    {{"--worker-fds=5,"}, Action::Refuse, kFds + "'5,'"},
    {{"--worker-fds=-2"}, Action::Refuse, kFds + "'-2'"},
    {{"--worker-fds=1001"}, Action::Refuse, kFds + "'1001'"},
    {{"--profile=bad"}, Action::Refuse, "--profile: no such file"},
    {{"--quiet=1"}, Action::Refuse, "unknown option '--quiet=1'"},
};

TEST(Options, Table) {
    for (const Row& row : kRows) {
        std::string line;
        for (const std::string& a : row.args) line += a + " ";
        SCOPED_TRACE(line);
        gxhost::ParsedOptions parsed = Parse(row.args);
        EXPECT_EQ(parsed.action, row.action);
        if (row.action == Action::Refuse) {
            EXPECT_EQ(parsed.error, row.expected);
        } else {
            EXPECT_EQ(parsed.error, "");
            EXPECT_NE((" " + Held(parsed.options)).find(" " + row.expected), std::string::npos)
                << Held(parsed.options);
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
