// The service driven by sd-bus clients: the Host1 API, engine ownership, events, shutdown and
// access control.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Harness.h"

namespace itest {
namespace {

constexpr char kNoSuchEngine[] = "org.gxemp.Host1.Error.NoSuchEngine";
constexpr char kTtsKey[] = "db/menu/accessibility/tts";

class HostTest : public ::testing::Test {
protected:
    Service service;
};

TEST_F(HostTest, InfoHoldsTheApplicationStrings) {
    Client client(service.address());
    std::map<std::string, std::string> expected = {{"name", "RECOG"},
                                                   {"id", "0001"},
                                                   {"version", "1.000"},
                                                   {"license", "GPL"},
                                                   {"category", "RECOG"}};
    EXPECT_EQ(client.Info(), expected);
}

// Results keep their type across the bus: int32, string, and the empty string when the command
// left the result untouched.
struct ResultCase {
    const char* command;
    bool served;
    char type;
    int32_t integer;
    const char* text;
};

class ResultTypeTest : public HostTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(ResultTypeTest, ResultHasItsType) {
    const ResultCase& c = GetParam();
    Client client(service.address());
    uint32_t engine = client.Open();
    Client::Result r = client.Execute(engine, c.command);
    EXPECT_EQ(r.served, c.served);
    ASSERT_EQ(r.type, c.type);
    if (c.type == 'i')
        EXPECT_EQ(r.integer, c.integer);
    else
        EXPECT_EQ(r.text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Commands, ResultTypeTest,
                         ::testing::Values(ResultCase{"IsSupportTTS", true, 'i', 0, ""},
                                           ResultCase{"GetGestureCameraStatus", true, 'i', 1, ""},
                                           ResultCase{"GetUserLevel", true, 's', 0, "Beginner"},
                                           ResultCase{"NoSuchCommand", false, 's', 0, ""}),
                         [](const ::testing::TestParamInfo<ResultCase>& info) {
                             return std::string(info.param.command);
                         });

TEST_F(HostTest, OpenExecuteCloseChangeTheSettingsStore) {
    Client client(service.address());
    uint32_t engine = client.Open();
    EXPECT_EQ(client.GetSetting(kTtsKey), 0);
    Client::Result r = client.Execute(engine, "EnableTTSEngine");
    EXPECT_TRUE(r.served);
    EXPECT_EQ(client.GetSetting(kTtsKey), 1);
    EXPECT_EQ(client.Execute(engine, "IsSupportTTS").integer, 1);
    client.Close(engine);
    // A closed engine is gone for its owner too.
    EXPECT_EQ(client.ErrorOfExecute(engine, "IsSupportTTS"), kNoSuchEngine);
    EXPECT_EQ(client.ErrorOfClose(engine), kNoSuchEngine);
}

TEST_F(HostTest, AnotherClientsEngineIsRefused) {
    Client owner(service.address()), other(service.address());
    uint32_t engine = owner.Open();
    EXPECT_EQ(other.ErrorOfExecute(engine, "EnableTTSEngine"), kNoSuchEngine);
    EXPECT_EQ(other.ErrorOfClose(engine), kNoSuchEngine);
    EXPECT_EQ(other.GetSetting(kTtsKey), 0) << "the refused command must not have run";
    // The owner's engine survived the attempts.
    EXPECT_TRUE(owner.Execute(engine, "IsSupportTTS").served);
    EXPECT_EQ(owner.ErrorOfExecute(12345, "IsSupportTTS"), kNoSuchEngine);
}

TEST_F(HostTest, OversizedArgumentIsRefused) {
    Client client(service.address());
    uint32_t engine = client.Open();
    std::string big((1u << 20) + 1, 'x');
    EXPECT_EQ(client.ErrorOfExecute(engine, "StartTTSEngine", big),
              "org.freedesktop.DBus.Error.InvalidArgs");
    std::string fits(1u << 20, 'x');
    EXPECT_TRUE(client.Execute(engine, "StartTTSEngine", fits).served);
}

TEST_F(HostTest, EventsReachTheirOwnerOnly) {
    Client owner(service.address()), other(service.address());
    // The subscription thread subscribes for the engine built last, so the owner's comes last.
    uint32_t theirs = other.Open();
    uint32_t mine = owner.Open();
    ASSERT_EQ(owner.Execute(mine, "SetMotionSubscribeInfo", "w1", MotionList({"EVENT_MOTION_GRAB"}))
                  .integer,
              1);
    ASSERT_EQ(owner.Execute(mine, "InitializeFace").integer, 1);
    ASSERT_EQ(owner.Execute(mine, "SubscribeFaceEvent", "w1").integer, 1);

    EXPECT_EQ(other.EmitMotion(1005, "abc"), 1);
    EXPECT_EQ(other.EmitFace(0, 7, 10, 20, 30, 40), 1);
    other.Drain();
    ASSERT_TRUE(owner.WaitEvents(2));
    EXPECT_EQ(owner.events[0].engine, mine);
    EXPECT_EQ(owner.events[0].code, 6511);
    EXPECT_EQ(owner.events[0].name, "EVENT_MOTION_GRAB-w1");
    EXPECT_EQ(owner.events[0].data, "abc");
    EXPECT_EQ(owner.events[1].code, 6512);
    EXPECT_EQ(owner.events[1].name, "EVENT_FR_DETECT_FACE");
    EXPECT_NE(owner.events[1].data.find("\"nDetectID\" : 7"), std::string::npos)
        << owner.events[1].data;

    other.Pump(300);
    EXPECT_TRUE(other.events.empty())
        << "event leaked to engine " << theirs << "'s client: " << other.events[0].name;
}

TEST_F(HostTest, DisconnectDestroysTheClientsEngines) {
    Client observer(service.address());
    auto client = std::make_unique<Client>(service.address());
    uint32_t engine = client->Open();
    observer.ClearTrace();
    client.reset();
    std::string line = "destroying engine " + std::to_string(engine) + " of ";
    ASSERT_TRUE(service.WaitForLog(line)) << service.Log();
    EXPECT_TRUE(service.WaitForLog("engine " + std::to_string(engine) + " destroyed"));
    bool destroyed = false;
    for (const Client::TraceLine& t : observer.Trace())
        destroyed |= t.call.rfind("gx_motion_recog_destroy(", 0) == 0;
    EXPECT_TRUE(destroyed) << "the motion handle of the engine was not destroyed";
}

TEST_F(HostTest, SigtermDestroysEveryEngineInOrderAndExitsZero) {
    Client a(service.address()), b(service.address());
    uint32_t first = a.Open(), second = b.Open(), third = a.Open();
    ASSERT_LT(first, second);
    ASSERT_LT(second, third);
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    std::string log = service.Log();
    size_t p1 = log.find("destroying engine " + std::to_string(first) + " ");
    size_t p2 = log.find("destroying engine " + std::to_string(second) + " ");
    size_t p3 = log.find("destroying engine " + std::to_string(third) + " ");
    ASSERT_NE(p1, std::string::npos) << log;
    ASSERT_NE(p2, std::string::npos) << log;
    ASSERT_NE(p3, std::string::npos) << log;
    EXPECT_LT(p1, p2);
    EXPECT_LT(p2, p3);
    EXPECT_NE(log.find("stopped"), std::string::npos);
    struct stat st {};
    EXPECT_NE(stat(service.socketPath().c_str(), &st), 0) << "the socket file was left behind";
}

TEST_F(HostTest, SocketIsPrivate) {
    struct stat st {};
    ASSERT_EQ(stat(service.socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(HostTest, PeerWithAnotherUidIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client under another uid";
    std::vector<std::string> call = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups",   GXEMPCTL_BIN,    "--address",
                                     service.address(),  "info"};
    // The socket's mode keeps the other user out at the file system already...
    ProcessResult denied = RunProgram(call);
    EXPECT_EQ(denied.status, 3) << denied.err;
    // ...and with the file system opened up, the service still refuses the peer by its uid.
    ASSERT_EQ(chmod(service.dir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(service.socketPath().c_str(), 0666), 0);
    ProcessResult refused = RunProgram(call);
    EXPECT_EQ(refused.status, 3) << refused.out << refused.err;
    EXPECT_TRUE(service.WaitForLog("refusing a client of uid 65534")) << service.Log();
    // Our own uid is still served.
    Client client(service.address());
    EXPECT_EQ(client.Info().at("name"), "RECOG");
}

TEST_F(HostTest, SlowClientsQueueIsBounded) {
    // A client that subscribes and then stops reading must not make the service hold every
    // event: its queue keeps the newest ones and the drops are logged.
    service.Stop();
    ASSERT_TRUE(service.Start({"--max-queued-events", "8"}));
    Client reader(service.address()), control(service.address());
    uint32_t engine = reader.Open();
    ASSERT_EQ(
        reader.Execute(engine, "SetMotionSubscribeInfo", "w", MotionList({"EVENT_MOTION_RAW_DATA"}))
            .integer,
        1);
    const int kEvents = 3000;
    std::string payload(8192, 'p');
    for (int i = 0; i < kEvents; ++i) control.EmitMotion(1024, payload);
    control.Drain();
    ASSERT_TRUE(service.WaitForLog("does not keep up")) << service.Log();
    reader.Pump(2000);
    EXPECT_GT(reader.events.size(), 0u);
    EXPECT_LT(reader.events.size(), static_cast<size_t>(kEvents));
}

// A client may pipeline its whole start (authentication, BEGIN and Hello) in one write; the
// service must still answer the Hello that arrives in the same read as BEGIN.
std::string HelloMessage() {
    std::string m = {'l', 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0};  // little endian call, serial 1
    std::string fields;
    auto align = [](std::string& s, size_t n) {
        while (s.size() % n != 0) s.push_back('\0');
    };
    auto field = [&](char code, char type, const std::string& value) {
        align(fields, 8);
        fields += {code, 1, type, 0};
        uint32_t len = static_cast<uint32_t>(value.size());
        fields.append(reinterpret_cast<const char*>(&len), 4);
        fields += value;
        fields.push_back('\0');
    };
    field(1, 'o', "/org/freedesktop/DBus");
    field(2, 's', "org.freedesktop.DBus");
    field(3, 's', "Hello");
    field(6, 's', "org.freedesktop.DBus");
    uint32_t len = static_cast<uint32_t>(fields.size());
    m.append(reinterpret_cast<const char*>(&len), 4);
    m += fields;
    align(m, 8);
    return m;
}

TEST_F(HostTest, HelloPipelinedWithAuthenticationIsAnswered) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, service.socketPath().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    std::string uid = std::to_string(getuid()), hex;
    for (char c : uid) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    std::string all =
        std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\nBEGIN\r\n" + HelloMessage();
    ASSERT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    std::string got;
    for (int i = 0; i < 100 && got.find(":1.") == std::string::npos; ++i) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(got.rfind("OK ", 0), 0u);
    EXPECT_NE(got.find(":1."), std::string::npos) << "no reply to Hello";
}

// ---- Starting and stopping ---------------------------------------------------------------------

TEST(HostStartTest, SecondServiceOnABusyAddressFailsClearly) {
    Service first;
    ProcessResult second =
        RunProgram({GXEMP_BIN, "--address", first.address(), "--settings", first.settingsPath()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("address in use"), std::string::npos) << second.err;
    // The running service keeps its socket.
    Client client(first.address());
    EXPECT_EQ(client.Info().at("id"), "0001");
}

TEST(HostStartTest, StaleSocketOfAKilledServiceIsReplaced) {
    Service service;
    EXPECT_EQ(service.Kill(), 128 + SIGKILL);
    struct stat st {};
    ASSERT_EQ(stat(service.socketPath().c_str(), &st), 0) << "expected a stale socket file";
    ASSERT_TRUE(service.Start()) << service.Log();
    Client client(service.address());
    EXPECT_EQ(client.Info().at("name"), "RECOG");
}

TEST(HostStartTest, DefaultEndpointIsAPrivateDirectoryUnderTheRuntimeDir) {
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

TEST(HostStartTest, BadCommandLineAndProfileAreReported) {
    TempDir dir;
    ProcessResult r = RunProgram({GXEMP_BIN, "--bus", "nowhere"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--bus"), std::string::npos);
    r = RunProgram({GXEMP_BIN, "--address", "tcp:host=x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unsupported address"), std::string::npos);
    r = RunProgram({GXEMP_BIN, "--address", "unix:path=" + dir.path() + "/s", "--profile",
                    dir.path() + "/missing.ini"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.ini"), std::string::npos) << r.err;
    r = RunProgram({GXEMP_BIN, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--profile FILE"), std::string::npos) << "extension options listed";
}

}  // namespace
}  // namespace itest
