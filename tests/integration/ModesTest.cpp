// The other ways the service is started: socket activation and a message bus; and the
// published introspection data against what the service really serves.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
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

TEST(ModesTest, SocketHandedOverBySystemd) {
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

}  // namespace
}  // namespace itest
