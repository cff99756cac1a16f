// Starting the service: where it listens (its own socket, a stale or busy one, the default
// endpoint, a socket systemd hands over, a message bus), a bad command line, and its log (the
// lines logged before the options, levels, rotation).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "Harness.h"

namespace itest {
namespace {

bool Executable(const char* path) {
    return access(path, X_OK) == 0;
}

// Retries `info` until the service answers (it may still be starting).
ProcessResult WaitForInfo(const std::vector<std::string>& env,
                          const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {GXEMPCTL_BIN};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("info");
    ProcessResult r;
    WaitUntil([&] { return (r = RunProgram(argv, env)).status == 0; });
    return r;
}

TEST(StartTest, SocketHandedOverBySystemd) {
    const char* activate = "/usr/bin/systemd-socket-activate";
    if (!Executable(activate)) GTEST_SKIP() << "systemd-socket-activate is not installed";
    TempDir dir;
    std::string sock = dir.path() + "/activated.sock";
    Child launcher({activate, "-l", sock, GXEMP_BIN, "--settings", dir.path() + "/s.ini", "--log",
                    dir.path() + "/log"});
    std::string address = "GXEMP_ADDRESS=unix:path=" + sock;
    ProcessResult info = WaitForInfo({address});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(launcher.Stop(SIGTERM), 0);  // the launcher is the service now (exec)
    std::string log = ReadFile(dir.path() + "/log");
    EXPECT_NE(log.find("serving on the socket passed by systemd"), std::string::npos) << log;
}

// On a message bus: the name is the service's alone, events reach their owner only, and a client
// that leaves takes its engines with it.
TEST(StartTest, BusModeOwnershipEventsAndDeparture) {
    if (!Executable("/usr/bin/dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    TempDir dir;
    std::string busAddress = "unix:path=" + dir.path() + "/bus", log = dir.path() + "/log";
    Child daemon({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                  "--address=" + busAddress, "--print-address"});
    std::string line;
    ASSERT_TRUE(daemon.ReadLine(&line)) << "dbus-daemon did not start";
    std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=" + busAddress};
    Child service(
        {GXEMP_BIN, "--bus", "session", "--settings", dir.path() + "/s.ini", "--log", log}, env);
    ProcessResult info = WaitForInfo(env, {"--bus", "session"});
    ASSERT_EQ(info.status, 0) << info.err;

    Client other(busAddress);
    auto owner = std::make_unique<Client>(busAddress);
    uint32_t theirs = other.Open();
    uint32_t mine = owner->Open();
    EXPECT_EQ(other.ErrorOfExecute(mine, "IsSupportTTS"), "org.gxemp.Host1.Error.NoSuchEngine");
    ASSERT_EQ(owner->Subscribe(mine, "bus", {"EVENT_MOTION_CIRCLE"}), 1);
    EXPECT_EQ(other.EmitMotion(1004, "round"), 1);
    other.Drain();
    ASSERT_TRUE(owner->WaitEvents(1));
    EXPECT_EQ(owner->events[0].name, "EVENT_MOTION_CIRCLE-bus");
    EXPECT_EQ(owner->events[0].engine, mine);
    other.Pump(300);
    EXPECT_TRUE(other.events.empty()) << "a unicast event reached another client";

    // A second service cannot take the name.
    ProcessResult second = RunProgram({GXEMP_BIN, "--bus", "session"}, env);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already owned"), std::string::npos) << second.err;

    owner.reset();
    std::string expected = "destroying engine " + std::to_string(mine) + " ";
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find(expected) != std::string::npos; }))
        << ReadFile(log);
    EXPECT_TRUE(other.Execute(theirs, "IsSupportTTS").served);
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    kill(daemon.pid(), SIGTERM);
}

// gxempctl finds the service there. (The socket's own mode is the listener's test, tests/host.)
TEST(StartTest, DefaultEndpointIsAPrivateDirectoryUnderTheRuntimeDir) {
    TempDir runtime;
    std::string env = "XDG_RUNTIME_DIR=" + runtime.path();
    Child service({GXEMP_BIN, "--settings", runtime.path() + "/settings.ini"}, {env});
    ProcessResult info = WaitForInfo({env, "GXEMP_ADDRESS="});
    EXPECT_EQ(info.status, 0) << info.err;
    struct stat st {};
    ASSERT_EQ(stat((runtime.path() + "/gxemp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(service.Stop(SIGINT), 0);
}

TEST(StartTest, BadCommandLinesAreReported) {
    TempDir dir;
    std::string at = "unix:path=" + dir.path() + "/s";
    struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } const rows[] = {
        // The values each option takes are the options' own table (tests/host), and LogTest shows
        // a refused one stop the service with status 2; here, what fails only when it starts.
        {{"--address", "tcp:host=x"}, 1, "unsupported address"},
        {{"--address", at, "--profile", dir.path() + "/missing.ini"}, 1, "missing.ini"},
        {{"--address", at, "--log", dir.path() + "/no/dir/log"}, 1, "cannot open log file"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> argv = {GXEMP_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ProcessResult r = RunProgram(argv);
        EXPECT_EQ(r.status, row.status) << row.message;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    }
}

// ---- The log -----------------------------------------------------------------------------------

constexpr char kConstructorLine[] = "[16] GX-EMP: EmpAppGX.cpp: CEmpAppGX(";

TEST(LogTest, WhatIsLoggedBeforeTheOptionsGoesWhereTheyChoose) {
    for (const char* option : {"--help", "--frobnicate"}) {
        ProcessResult r = RunProgram({GXEMP_BIN, option});
        EXPECT_EQ(r.status, option[2] == 'h' ? 0 : 2) << option;
        EXPECT_EQ((r.out + r.err).find("GX-EMP"), std::string::npos) << r.out << r.err;
    }
    EXPECT_NE(RunProgram({GXEMP_BIN, "--help"}).out.find("--profile FILE"), std::string::npos)
        << "extension options listed";

    // --log FILE: the line logged while the application object was built is the file's first,
    // and nothing reaches stderr.
    Service service;
    std::string log = ReadFile(service.logPath());
    EXPECT_EQ(log.rfind(kConstructorLine, 0), 0u) << log;
    EXPECT_EQ(ReadFile(service.dir() + "/stderr"), "");
}

// logrotate moves the file away and sends SIGHUP: the broker and its workers write on into a new
// file under the old name, dropping what is below --log-level there too.
TEST(LogTest, SighupOpensTheLogFileAgain) {
    Service service({"--log-level", "info"});
    Client client(service.address());
    uint32_t engine = client.Open();
    ASSERT_TRUE(service.WaitForLog("engine 1 opened"));
    std::string rotated = service.logPath() + ".1";
    ASSERT_EQ(std::rename(service.logPath().c_str(), rotated.c_str()), 0);
    kill(service.pid(), SIGHUP);
    // The broker forwards the signal: both it and the client's worker open the file again.
    auto reopened = [&] {
        std::string text = ReadFile(service.logPath());
        size_t first = text.find("opened again");
        return first != std::string::npos &&
               text.find("opened again", first + 1) != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil(reopened)) << ReadFile(service.logPath());
    client.Execute(engine, "StartMotionRecognition");
    ASSERT_TRUE(service.WaitForLog("[Execute] StartMotionRecognition")) << service.Log();
    std::string fresh = ReadFile(service.logPath());
    EXPECT_NE(fresh.find("log file " + service.logPath() + " opened again"), std::string::npos);
    EXPECT_EQ(("\n" + fresh).find("\n[2] "), std::string::npos) << "below --log-level:\n" << fresh;
    EXPECT_EQ(ReadFile(rotated).find("StartMotionRecognition"), std::string::npos)
        << "the command was logged into the rotated file";
}

// Without --log the terminal shows only the service's notices and errors, while every line, the
// plug-in's unchanged, is kept in the log under $XDG_STATE_HOME, a worker's naming the worker. The
// log stays bounded: at its size it moves to gxemp.log.1 and a new file takes the name. gxempctl
// log shows both, the older part first, colours and all on a terminal and without them elsewhere.
TEST(LogTest, TerminalStaysQuietAndTheBoundedLogKeepsEveryLine) {
    TempDir dir;
    const std::string address = "unix:path=" + dir.path() + "/s.sock", err = dir.path() + "/stderr",
                      file = dir.path() + "/gxemp/gxemp.log";
    const std::vector<std::string> env = {"XDG_STATE_HOME=" + dir.path(),
                                          "JOURNAL_STREAM=",
                                          "INVOCATION_ID=",
                                          "GXEMP_LOG_MAX_BYTES=4096",
                                          "GXEMP_LOG_FLUSH=line",
                                          "GXEMP_SETTINGS=" + dir.path() + "/s.ini"};
    Child service(
        {"/bin/sh", "-c", "exec \"$0\" --address \"$1\" 2>\"$2\"", GXEMP_BIN, address, err}, env);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(err).find("serving on") != std::string::npos; }));
    {
        Client client(address);
        uint32_t engine = client.Open();
        EXPECT_EQ(client.Subscribe(engine, "w1", {"EVENT_MOTION_GRAB"}), 1);
        EXPECT_EQ(client.EmitMotion(1005, "hand closed"), 1);
        EXPECT_TRUE(client.WaitEvents(1));
        // Each command logs a few hundred bytes (a line at a time): the file is moved aside once.
        for (int i = 0; i < 100 && ReadFile(file + ".1").empty(); ++i)
            client.Execute(engine, "GetUserLevel");
    }
    EXPECT_EQ(service.Stop(SIGTERM), 0);

    EXPECT_EQ(ReadFile(err), "[5] EMP-HOST: serving on " + address +
                                 " (a worker process per client)\n[5] EMP-HOST: stopped\n");
    const std::string older = ReadFile(file + ".1"), current = ReadFile(file),
                      log = older + current;
    auto plain = [](const std::string& text) {  // without the colour sequences
        return std::regex_replace(text, std::regex("\033\\[[0-9;]*m"), "");
    };
    EXPECT_GE(older.size(), 4096u);
    EXPECT_LT(current.size(), 4096u + 1024u) << "one line may cross the bound, not more";
    EXPECT_EQ(RunProgram({GXEMPCTL_BIN, "log", "--priority", "trace"}, env).out, plain(log));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("worker (\\d+) serves it"))) << log;
    const std::string worker = m[1];
    // The plug-in's lines for the command and the gesture, as it wrote them, in the worker's name.
    const std::string ours = "\\[16\\] GX-EMP: \\[worker " + worker + "\\] EmpEngineGX\\.cpp: ";
    for (const char* line : {"Execute\\(\\d+\\) > \033\\[31m strCmd = SetMotionSubscribeInfo",
                             "ProcessMotionSignal\\(\\d+\\) > \033\\[31m strSingal is "
                             "EVENT_MOTION_GRAB"})
        EXPECT_TRUE(std::regex_search(log, std::regex("\n" + ours + line + "\033\\[0m\n"))) << line;

    // Every GX-EMP line of the worker, as kept; on a terminal a line whose colour is left set is
    // followed by a reset.
    std::string coloured;
    std::istringstream kept(log);
    const std::regex plugin("^\\[\\d+\\] GX-EMP: \\[worker " + worker + "\\] .*");
    for (std::string line; std::getline(kept, line);) {
        if (!std::regex_match(line, plugin)) continue;
        bool open = line.find('\033') != std::string::npos &&
                    line.compare(line.size() - 4, 4, "\033[0m") != 0;
        coloured += line + (open ? "\033[0m\n" : "\n");
    }
    ASSERT_NE(coloured, "");
    // On a terminal (script(1)), with their colours; a line left coloured is reset after it. (The
    // filter does not depend on the terminal, nor the colours' removal on the filter.)
    std::string onTerminal =
        RunProgram(
            {"/usr/bin/script", "-qec",
             std::string(GXEMPCTL_BIN) + " log --tag GX-EMP --worker " + worker, "/dev/null"},
            env)
            .out;
    onTerminal = std::regex_replace(onTerminal, std::regex("\r\n"), "\n");
    EXPECT_EQ(onTerminal, coloured);
}

}  // namespace
}  // namespace itest
