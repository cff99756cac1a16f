// Starting the service: where it listens (its own socket, a stale or busy one, the default
// endpoint, a socket systemd hands over, a message bus), a bad command line, and its log (the
// lines logged before the options, one line per call, levels, rotation).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

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
    for (int i = 0; i < 500; ++i) {
        r = RunProgram(argv, "", env);
        if (r.status == 0) break;
        usleep(20000);
    }
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
    std::stringstream log;
    for (int i = 0; i < 100 && log.str().find("serving on") == std::string::npos; ++i) {
        usleep(20000);
        log.str("");
        log << std::ifstream(dir.path() + "/log").rdbuf();
    }
    EXPECT_NE(log.str().find("serving on the socket passed by systemd"), std::string::npos)
        << log.str();
    kill(launcher.pid(), SIGTERM);
    EXPECT_EQ(launcher.Wait(), 0);
}

class BusModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Executable("/usr/bin/dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
        busAddress = "unix:path=" + dir.path() + "/bus";
        daemon = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + busAddress, "--print-address"});
        std::string line;
        ASSERT_TRUE(daemon->ReadLine(&line)) << "dbus-daemon did not start";
        env = {"DBUS_SESSION_BUS_ADDRESS=" + busAddress};
        service = std::make_unique<Child>(
            std::vector<std::string>{GXEMP_BIN, "--bus", "session", "--settings",
                                     dir.path() + "/s.ini", "--log", dir.path() + "/log"},
            env);
        ProcessResult info = WaitForInfo(env, {"--bus", "session"});
        ASSERT_EQ(info.status, 0) << info.err;
    }
    void TearDown() override {
        if (service) {
            kill(service->pid(), SIGTERM);
            EXPECT_EQ(service->Wait(), 0);
        }
        if (daemon) kill(daemon->pid(), SIGTERM);
    }
    std::string Log() {
        std::stringstream s;
        s << std::ifstream(dir.path() + "/log").rdbuf();
        return s.str();
    }
    TempDir dir;
    std::string busAddress;
    std::vector<std::string> env;
    std::unique_ptr<Child> daemon, service;
};

TEST_F(BusModeTest, OwnershipEventsAndDepartureOnTheBus) {
    Client other(busAddress);
    auto owner = std::make_unique<Client>(busAddress);
    uint32_t theirs = other.Open();
    uint32_t mine = owner->Open();
    EXPECT_EQ(other.ErrorOfExecute(mine, "IsSupportTTS"), "org.gxemp.Host1.Error.NoSuchEngine");
    ASSERT_EQ(
        owner->Execute(mine, "SetMotionSubscribeInfo", "bus", MotionList({"EVENT_MOTION_CIRCLE"}))
            .integer,
        1);
    EXPECT_EQ(other.EmitMotion(1004, "round"), 1);
    other.Drain();
    ASSERT_TRUE(owner->WaitEvents(1));
    EXPECT_EQ(owner->events[0].name, "EVENT_MOTION_CIRCLE-bus");
    EXPECT_EQ(owner->events[0].engine, mine);
    other.Pump(300);
    EXPECT_TRUE(other.events.empty()) << "a unicast event reached another client";

    // A second service cannot take the name.
    ProcessResult second = RunProgram({GXEMP_BIN, "--bus", "session"}, "", env);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already owned"), std::string::npos) << second.err;

    owner.reset();
    std::string expected = "destroying engine " + std::to_string(mine) + " ";
    for (int i = 0; i < 500 && Log().find(expected) == std::string::npos; ++i) usleep(20000);
    EXPECT_NE(Log().find(expected), std::string::npos) << Log();
    EXPECT_TRUE(other.Execute(theirs, "IsSupportTTS").served);
}

// A stale socket of a killed service is replaced; a live one is not taken over.
TEST(StartTest, StaleSocketIsReplacedABusyOneIsNot) {
    Service service;
    EXPECT_EQ(service.Kill(), 128 + SIGKILL);
    ASSERT_TRUE(service.Start()) << service.Log();
    ProcessResult second = RunProgram(
        {GXEMP_BIN, "--address", service.address(), "--settings", service.settingsPath()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("address in use"), std::string::npos) << second.err;
    Client client(service.address());
    EXPECT_EQ(client.Info().at("id"), "0001");
}

TEST(StartTest, DefaultEndpointIsAPrivateDirectoryUnderTheRuntimeDir) {
    TempDir runtime;
    std::string env = "XDG_RUNTIME_DIR=" + runtime.path();
    Child service({GXEMP_BIN, "--settings", runtime.path() + "/settings.ini"}, {env});
    std::string dir = runtime.path() + "/gxemp", sock = dir + "/host.sock";
    ProcessResult info;
    for (int i = 0; i < 500; ++i) {
        info = RunProgram({GXEMPCTL_BIN, "info"}, "", {env, "GXEMP_ADDRESS="});
        if (info.status == 0) break;
        usleep(20000);
    }
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\"RECOG\""), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    kill(service.pid(), SIGINT);
    EXPECT_EQ(service.Wait(), 0);
}

TEST(StartTest, BadCommandLinesAreReported) {
    TempDir dir;
    std::string at = "unix:path=" + dir.path() + "/s";
    struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } const rows[] = {
        {{"--bus", "nowhere"}, 2, "--bus takes 'session' or 'system'"},
        {{"--address", "tcp:host=x"}, 1, "unsupported address"},
        {{"--address", at, "--profile", dir.path() + "/missing.ini"}, 1, "missing.ini"},
        {{"--max-clients", "0"}, 2, "--max-clients takes 1..100000"},
        {{"--auth-timeout", "-1"}, 2, "--auth-timeout takes seconds"},
        {{"--log-level", "loud"}, 2, "--log-level takes a priority"},
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

std::string ReadFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

constexpr char kConstructorLine[] = "[16] GX-EMP: EmpAppGX.cpp: CEmpAppGX(";

TEST(LogTest, WhatIsLoggedBeforeTheOptionsGoesWhereTheyChoose) {
    ProcessResult help = RunProgram({GXEMP_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.find("GX-EMP"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--profile FILE"), std::string::npos) << "extension options listed";
    ProcessResult bad = RunProgram({GXEMP_BIN, "--frobnicate"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.find("GX-EMP"), std::string::npos) << bad.err;

    // --log FILE: the line logged while the application object was built is the file's first,
    // and nothing reaches stderr.
    Service service;
    std::string log = ReadFile(service.logPath());
    EXPECT_EQ(log.rfind(kConstructorLine, 0), 0u) << log;
    EXPECT_EQ(ReadFile(service.dir() + "/stderr"), "");
}

// Every process writes whole lines to the one log; a message that holds a line break is still
// one line, and a lower priority than --log-level is dropped.
TEST(LogTest, OneCallIsOneLineAndLevelsFilter) {
    Service service({"--log-level", "info"});
    {
        Client client(service.address());
        uint32_t engine = client.Open();
        client.Execute(engine, "SubscribeMotionEvent", "w\nx");
        client.Execute(engine, "RecogEMPUsingStatus");
    }
    ASSERT_TRUE(service.WaitForLog("exited with status 0")) << service.Log();
    std::istringstream lines(service.Log());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line[0], '[') << "a line without its prefix: " << line;
        EXPECT_EQ(line.rfind("[2] ", 0), std::string::npos) << "below --log-level: " << line;
    }
    EXPECT_GT(count, 10);
    std::string log = service.Log();
    EXPECT_NE(log.find("m_MotionWidgetName = w\\nx\\n\033[0m\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[4] EMP-HOST: [worker "), std::string::npos) << "a worker's lines name it";
}

class RotationTest : public ::testing::TestWithParam<bool> {};

// logrotate moves the file away and sends SIGHUP: the broker and its workers write on into a new
// file under the old name.
TEST_P(RotationTest, SighupOpensTheLogFileAgain) {
    std::vector<std::string> args;
    if (GetParam()) args.push_back("--single-process");
    Service service(args);
    Client client(service.address());
    uint32_t engine = client.Open();
    ASSERT_TRUE(service.WaitForLog("engine 1 opened"));
    std::string rotated = service.logPath() + ".1";
    ASSERT_EQ(std::rename(service.logPath().c_str(), rotated.c_str()), 0);
    kill(service.pid(), SIGHUP);
    // The broker forwards the signal: both it and the client's worker open the file again.
    auto reopened = [&] {
        std::string text = ReadFile(service.logPath());
        size_t n = 0;
        for (size_t at = text.find("opened again"); at != std::string::npos;
             at = text.find("opened again", at + 1))
            ++n;
        return n;
    };
    size_t expected = GetParam() ? 1 : 2;
    for (int i = 0; i < 250 && reopened() < expected; ++i) usleep(20000);
    ASSERT_EQ(reopened(), expected) << ReadFile(service.logPath());
    client.Execute(engine, "StartMotionRecognition");
    ASSERT_TRUE(service.WaitForLog("[Execute] StartMotionRecognition")) << service.Log();
    std::string fresh = ReadFile(service.logPath());
    EXPECT_NE(fresh.find("log file " + service.logPath() + " opened again"), std::string::npos);
    EXPECT_EQ(ReadFile(rotated).find("StartMotionRecognition"), std::string::npos)
        << "the command was logged into the rotated file";
}

INSTANTIATE_TEST_SUITE_P(Modes, RotationTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "SingleProcess" : "WorkerPerClient";
                         });

}  // namespace
}  // namespace itest
