// A worker process per client: applications cannot overhear or break each other, a worker's end is
// its client's alone, and the accept path holds under a flood of connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

constexpr int kGrab = 1005;

// A client with one engine subscribed to grabs under its own widget and its own zoom setting.
struct Party {
    std::unique_ptr<Client> client;
    uint32_t engine = 0;
    std::string widget;
    int zoom = 0;
};

Party Join(const Service& service, int i) {
    Party p;
    p.client = std::make_unique<Client>(service.address());
    p.engine = p.client->Open();
    p.widget = "w" + std::to_string(i);
    p.zoom = 10 + i;
    EXPECT_EQ(p.client
                  ->Execute(p.engine, "SetMotionSubscribeInfo", p.widget,
                            MotionList({"EVENT_MOTION_GRAB"}))
                  .integer,
              1);
    EXPECT_EQ(
        p.client->Execute(p.engine, "SetZoomTriggerCondition", std::to_string(p.zoom)).integer, 1);
    return p;
}

// One grab, emitted once: every party gets exactly one event, under its own widget, and its own
// motion settings are intact.
void ExpectEachOwnsItsEngine(std::vector<Party>& parties) {
    EXPECT_EQ(parties[0].client->EmitMotion(kGrab, "g"), static_cast<int>(parties.size()));
    parties[0].client->Drain();
    for (Party& p : parties) {
        ASSERT_TRUE(p.client->WaitEvents(1)) << p.widget;
        p.client->Pump(100);
        ASSERT_EQ(p.client->events.size(), 1u) << p.widget << " got another client's event";
        EXPECT_EQ(p.client->events[0].name, "EVENT_MOTION_GRAB-" + p.widget);
        EXPECT_EQ(p.client->events[0].engine, p.engine);
        EXPECT_EQ(p.client->Execute(p.engine, "GetZoomTriggerCondition").integer, p.zoom);
        p.client->events.clear();
    }
}

class IsolationTest : public ::testing::TestWithParam<int> {
protected:
    Service service;
};

TEST_P(IsolationTest, EachClientGetsItsOwnEventsUnderItsOwnWidget) {
    std::vector<Party> parties;
    for (int i = 0; i < GetParam(); ++i) parties.push_back(Join(service, i));
    ExpectEachOwnsItsEngine(parties);
    // One instance per client, each in that client's worker.
    std::set<uint32_t> workers, expected;
    for (const Client::MotionInstance& m : parties[0].client->MotionStates()) {
        EXPECT_EQ(m.subscribed, std::vector<int32_t>{kGrab});
        workers.insert(m.worker);
    }
    for (Party& p : parties)
        expected.insert(static_cast<uint32_t>(service.WorkerOf(p.client->Name())));
    EXPECT_EQ(workers, expected);
    EXPECT_EQ(workers.size(), parties.size());
}

INSTANTIATE_TEST_SUITE_P(Clients, IsolationTest, ::testing::Values(2, 3));

// How a third client goes, and how the broker reports its worker's end.
struct Departure {
    const char* name;
    bool killWorker;  // else the client process is killed (or simply leaves)
    bool killClient;
    const char* reported;
};

class DepartureTest : public ::testing::TestWithParam<Departure> {
protected:
    Service service;
};

TEST_P(DepartureTest, LeavesTheOthersWorking) {
    const Departure& d = GetParam();
    std::vector<Party> parties;
    parties.push_back(Join(service, 0));
    // The one that goes is a process of its own, built between the other two.
    Child goer({GXEMPCTL_BIN, "--address", service.address(), "session"});
    goer.Write(
        R"(SetMotionSubscribeInfo wg '{"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]}')"
        "\n");
    std::string line;
    ASSERT_TRUE(goer.ReadLine(&line));  // open
    ASSERT_TRUE(goer.ReadLine(&line));  // result
    ASSERT_NE(line.find("\"result\":1"), std::string::npos) << line;
    parties.push_back(Join(service, 1));
    pid_t worker = service.WorkerOf(goer.pid());
    ASSERT_GT(worker, 0) << service.Log();

    if (d.killWorker) kill(worker, SIGKILL);
    if (d.killClient) kill(goer.pid(), SIGKILL);
    if (!d.killWorker && !d.killClient) goer.CloseInput();
    goer.Wait();
    std::string end = "worker " + std::to_string(worker) + " of client ";
    ASSERT_TRUE(service.WaitForLog(end)) << service.Log();
    std::string log = service.Log();
    size_t at = log.find(end);
    EXPECT_NE(log.find(d.reported, at), std::string::npos) << log.substr(at);

    ExpectEachOwnsItsEngine(parties);
    EXPECT_EQ(parties[0].client->MotionStates().size(), parties.size());
    // They can subscribe again, and unsubscribe.
    EXPECT_EQ(
        parties[1].client->Execute(parties[1].engine, "UnSubscirbeMotionSignal", "1005").integer,
        1);
    EXPECT_EQ(parties[1].client->EmitMotion(kGrab, "again"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Departures, DepartureTest,
    ::testing::Values(Departure{"Leaves", false, false, "exited with status 0"},
                      Departure{"WorkerKilled", true, false, "killed by signal 9"},
                      Departure{"ClientKilled", false, true, "exited with status 0"}),
    [](const ::testing::TestParamInfo<Departure>& info) { return info.param.name; });

TEST(BrokerTest, SigtermStopsEveryWorkerEachDestroyingItsEnginesInOrder) {
    Service service;
    Client a(service.address()), b(service.address());
    uint32_t a1 = a.Open(), b1 = b.Open(), a2 = a.Open();
    ASSERT_EQ(a1, 1u);
    ASSERT_EQ(a2, 2u);
    ASSERT_EQ(b1, 1u) << "engines are numbered per client";
    pid_t wa = service.WorkerOf(a.Name()), wb = service.WorkerOf(b.Name());
    EXPECT_EQ(service.Workers().size(), 2u);
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    std::string log = service.Log();
    std::string pa = "[worker " + std::to_string(wa) + "] destroying engine ";
    size_t first = log.find(pa + "1 "), second = log.find(pa + "2 ");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);
    EXPECT_NE(log.find("[worker " + std::to_string(wb) + "] destroying engine 1 "),
              std::string::npos);
    for (pid_t w : {wa, wb}) {
        EXPECT_NE(log.find("worker " + std::to_string(w) + " of client"), std::string::npos);
        EXPECT_NE(kill(w, 0), 0) << "worker " << w << " outlived the service";
    }
}

TEST(BrokerTest, ClientsBeyondTheLimitAreRefusedUntilOneLeaves) {
    Service service({"--max-clients", "2"});
    auto a = std::make_unique<Client>(service.address());
    Client b(service.address());
    EXPECT_THROW(Client c(service.address()), std::exception);
    EXPECT_TRUE(service.WaitForLog("refusing a client")) << service.Log();
    EXPECT_NE(service.Log().find("--max-clients"), std::string::npos);
    a.reset();
    ASSERT_TRUE(service.WaitForLog("exited with status 0"));
    Client c(service.address());
    EXPECT_TRUE(c.Execute(c.Open(), "IsSupportTTS").served);
}

// ---- One TV for every worker --------------------------------------------------------------------

// What one application changes or trains, every other sees; handles stay distinct; the trace
// keeps the calls of a worker that has ended, in order, naming it.
TEST(SharedTvTest, OneApplicationTrainsAFaceAnotherRecognisesIt) {
    Service service;
    auto trainer = std::make_unique<Client>(service.address());
    Client viewer(service.address());
    uint32_t t = trainer->Open(), v = viewer.Open();
    pid_t trainerWorker = service.WorkerOf(trainer->Name());

    trainer->Sim("SetCameraState", "i", 0);
    EXPECT_EQ(viewer.Execute(v, "GetGestureCameraStatus").integer, 0);
    trainer->Sim("SetFacesInView", "a(iiiii)", 1, 42, 10, 20, 30, 40);
    for (Client* c : {trainer.get(), &viewer}) {
        uint32_t e = c == &viewer ? v : t;
        ASSERT_EQ(c->Execute(e, "InitializeFace").integer, 1);
        ASSERT_EQ(c->Execute(e, "SubscribeFaceEvent", "w").integer, 1);
    }
    ASSERT_EQ(trainer->Execute(t, "StartFaceTraining", "1").integer, 1);
    ASSERT_TRUE(trainer->WaitEvents(1));
    EXPECT_EQ(trainer->events[0].name, "EVENT_FR_TRAIN_RESULT");
    trainer.reset();
    ASSERT_TRUE(service.WaitForLog("worker " + std::to_string(trainerWorker) + " of client"));

    ASSERT_EQ(viewer.Execute(v, "StartFaceRecognition", "1").integer, 1);
    ASSERT_TRUE(viewer.WaitEvents(2));
    EXPECT_EQ(viewer.events[1].name, "EVENT_FR_RECOGNITION_RESULT");
    EXPECT_NE(viewer.events[1].data.find("\"nFaceRecogID\" : 1,"), std::string::npos)
        << viewer.events[1].data;

    std::vector<Client::TraceLine> trace = viewer.Trace();
    std::vector<std::string> creates;
    bool trained = false;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(trace[i - 1].seq, trace[i].seq);
        }
        if (trace[i].call.rfind("gx_face_recog_create(", 0) == 0)
            creates.push_back(trace[i].detail);
        if (trace[i].call.rfind("gx_start_face_training(5001,", 0) == 0) {
            EXPECT_EQ(trace[i].worker, static_cast<uint32_t>(trainerWorker));
            EXPECT_EQ(trace[i].detail, "face={1,0,0,0,0} trained=1");
            trained = true;
        }
    }
    EXPECT_TRUE(trained) << "the trace lost the calls of a worker that ended";
    EXPECT_EQ(creates, (std::vector<std::string>{"handle=5001", "handle=5002"}));
}

// ---- A flood of connections that never finish authenticating -----------------------------------

int ConnectRaw(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    // The first step of authentication, and nothing after it.
    std::string auth = std::string(1, '\0') + "AUTH EXTERNAL 30\r\n";
    if (write(fd, auth.data(), auth.size()) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class FloodTest : public ::testing::TestWithParam<bool> {};

// The service runs short of descriptors (40) long before the flood (150 connections) ends.
TEST_P(FloodTest, ServiceRestsInsteadOfSpinningAndServesARealClientAfterwards) {
    std::vector<std::string> args = {"--auth-timeout", "1"};
    if (GetParam()) args.push_back("--single-process");
    Service service(args, 40);
    std::vector<int> flood;
    for (int i = 0; i < 150; ++i) {
        int fd = ConnectRaw(service.socketPath());
        if (fd >= 0) flood.push_back(fd);
    }
    ASSERT_GT(flood.size(), 100u);
    double cpu = CpuSeconds(service.pid());
    size_t lines = CountLines(service.Log());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double used = CpuSeconds(service.pid()) - cpu;
    size_t logged = CountLines(service.Log()) - lines;
    // Spinning on accept burns a whole core and logs thousands of lines a second.
    EXPECT_LT(used, 0.5) << "CPU seconds in 2 s of flood";
    EXPECT_LT(logged, 400u) << service.Log();
    EXPECT_TRUE(service.WaitForLog("not accepting for 100 ms")) << service.Log();
    EXPECT_TRUE(service.WaitForLog("no request within 1000 ms of connecting")) << service.Log();

    for (int fd : flood) close(fd);
    Client client(service.address());
    EXPECT_EQ(client.Execute(client.Open(), "GetUserLevel").text, "Beginner");
}

INSTANTIATE_TEST_SUITE_P(Modes, FloodTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "SingleProcess" : "WorkerPerClient";
                         });

}  // namespace
}  // namespace itest
