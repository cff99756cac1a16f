// The Host1 API of the real service, driven by sd-bus clients, in both ways it serves them: a
// worker process per client, and one process for all (--single-process).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

constexpr char kNoSuchEngine[] = "org.gxemp.Host1.Error.NoSuchEngine";
constexpr char kTtsKey[] = "db/menu/accessibility/tts";

class ServiceTest : public ::testing::TestWithParam<bool> {
protected:
    // The process that serves a client: its worker, or the one process.
    pid_t ServerOf(Client& client) {
        return GetParam() ? service.pid() : service.WorkerOf(client.Name());
    }
    Service service{GetParam() ? std::vector<std::string>{"--single-process"}
                               : std::vector<std::string>{}};
};

// A closed or foreign engine is out of reach; arguments are bounded. (How results keep their type
// across the bus, the scenario tests' expectations and docs/CLIENT.md's examples show.)
TEST_P(ServiceTest, EnginesAnswerTheirOwnersOnly) {
    Client owner(service.address()), other(service.address());
    uint32_t engine = owner.Open();
    ASSERT_EQ(owner.Execute(engine, "EnableTTSEngine").integer, 1);
    EXPECT_EQ(other.GetSetting(kTtsKey), 1);
    EXPECT_EQ(other.ErrorOfExecute(engine, "DisableTTSEngine"), kNoSuchEngine);
    EXPECT_EQ(other.ErrorOfClose(engine), kNoSuchEngine);
    EXPECT_EQ(other.GetSetting(kTtsKey), 1) << "a refused command ran";
    std::string fits(1u << 20, 'x'), big((1u << 20) + 1, 'x');
    EXPECT_TRUE(owner.Execute(engine, "StartTTSEngine", fits).served);
    EXPECT_EQ(owner.ErrorOfExecute(engine, "StartTTSEngine", big),
              "org.freedesktop.DBus.Error.InvalidArgs");
    owner.Close(engine);
    EXPECT_EQ(owner.ErrorOfExecute(engine, "IsSupportTTS"), kNoSuchEngine);
    EXPECT_EQ(owner.ErrorOfClose(engine), kNoSuchEngine);
}

TEST_P(ServiceTest, EventsReachTheirOwnerOnly) {
    Client owner(service.address()), other(service.address());
    // With one process for all, the subscription works on the engine built last: the owner's.
    uint32_t theirs = other.Open();
    uint32_t mine = owner.Open();
    ASSERT_EQ(owner.Subscribe(mine, "w1", {"EVENT_MOTION_GRAB"}), 1);
    ASSERT_EQ(owner.Execute(mine, "InitializeFace").integer, 1);
    ASSERT_EQ(owner.Execute(mine, "SubscribeFaceEvent", "w1").integer, 1);
    EXPECT_EQ(other.EmitMotion(1005, "abc"), 1);
    EXPECT_EQ(other.EmitFace(0, 7, 10, 20, 30, 40), 1);
    other.Drain();
    ASSERT_TRUE(owner.WaitEvents(2));
    const Client::Event& grab = owner.events[0];
    EXPECT_EQ(std::tie(grab.engine, grab.code, grab.name, grab.data),
              std::make_tuple(mine, 6511, std::string("EVENT_MOTION_GRAB-w1"), std::string("abc")));
    EXPECT_EQ(owner.events[1].name, "EVENT_FR_DETECT_FACE");
    other.Pump(300);
    EXPECT_TRUE(other.events.empty()) << "event leaked to engine " << theirs << "'s client";
}

// The number each event's data starts with, in the order they came; -1 when out of order (a
// number not above the one before: reordered or duplicated).
long LastInOrder(const std::vector<Client::Event>& events) {
    long last = -1;
    for (const Client::Event& e : events) {
        long n = std::atol(e.data.c_str());
        if (n <= last) return -1;
        last = n;
    }
    return last;
}

// A client that stops reading: its events wait in a bounded queue (the oldest dropped, counted
// and logged), the memory of the process serving it does not follow the flood, a reading client
// gets every event in order, one that reads again gets the rest in order and once each (those
// that waited in the queue, then those sent at once again), and SIGTERM does not wait for the
// stalled one.
TEST_P(ServiceTest, ClientThatStopsReadingCannotGrowTheService) {
    Client stalled(service.address()), resumed(service.address()), reader(service.address());
    for (Client* c : {&stalled, &resumed, &reader})
        ASSERT_EQ(c->Subscribe(c->Open(), c == &reader ? "r" : "s", {"EVENT_MOTION_GRAB"}), 1);
    // From here on the stalled client never touches its connection again.
    pid_t server = ServerOf(stalled);
    const std::string payload(4096, 'p');
    // 40 MiB if every event were kept. Sanitizer runtimes keep freed memory in quarantine, so the
    // memory bound below means something only without them; with them, half of it still
    // overflows every bound of the stalled clients' queues.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int kBatches = 20;
#else
    const int kBatches = 40;
#endif
    const int kPerBatch = 250;
    long sent = 0;
    auto emitBatch = [&](int b) {
        reader.events.clear();
        for (int i = 0; i < kPerBatch; ++i)
            reader.EmitMotion(1005, std::to_string(sent++) + payload);
        reader.Drain();
        ASSERT_TRUE(reader.WaitEvents(kPerBatch, 30000)) << "batch " << b;
        EXPECT_EQ(LastInOrder(reader.events), sent - 1) << "batch " << b;
        EXPECT_EQ(std::atol(reader.events[0].data.c_str()), sent - kPerBatch) << "batch " << b;
    };
    auto catchUp = [&] {
        while (resumed.events.empty() || std::atol(resumed.events.back().data.c_str()) != sent - 1)
            ASSERT_TRUE(resumed.WaitEvents(resumed.events.size() + 1, 30000));
    };
    long start = RssKib(server), peak = start;
    for (int b = 0; b < kBatches; ++b) {
        ASSERT_NO_FATAL_FAILURE(emitBatch(b));
        peak = std::max(peak, RssKib(server));
    }
    ASSERT_TRUE(service.WaitForLog("does not keep up")) << service.Log();
    std::printf("RSS of the process serving the stalled client: %ld KiB, peak %ld KiB\n", start,
                peak);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The one process holds the events of both clients that do not read (each up to its bounds).
    EXPECT_LT(peak - start, (GetParam() ? 2 : 1) * 16 * 1024)
        << "the service holds the stalled clients' events";
#endif
    // More events while the resumed client drains its queue, and more once it has.
    ASSERT_TRUE(resumed.WaitEvents(1));
    ASSERT_NO_FATAL_FAILURE(emitBatch(kBatches));
    ASSERT_NO_FATAL_FAILURE(catchUp());
    ASSERT_NO_FATAL_FAILURE(emitBatch(kBatches + 1));
    ASSERT_NO_FATAL_FAILURE(catchUp());
    EXPECT_EQ(LastInOrder(resumed.events), sent - 1);
    std::string dropping = "client " + resumed.Name() + " does not keep up";
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    // Nothing lost: what it did not get was dropped, and said so.
    std::string log = service.Log();
    size_t at = log.rfind(dropping);
    ASSERT_NE(at, std::string::npos) << log;
    long dropped = std::atol(log.c_str() + log.find('(', at) + 1);
    EXPECT_EQ(static_cast<long>(resumed.events.size()) + dropped, sent);
}

// A client that hangs up takes its engines with it; SIGTERM: each process serving clients destroys
// their engines in the order opened, logging them under its own name, and ends with the service,
// which removes its socket.
TEST_P(ServiceTest, HangupAndSigtermDestroyEnginesInTheOrderOpened) {
    Client a(service.address()), b(service.address());
    uint32_t a1 = a.Open(), b1 = b.Open(), a2 = a.Open();
    EXPECT_EQ(a2, GetParam() ? 3u : 2u) << "engines are numbered per process";
    auto leaver = std::make_unique<Client>(service.address());
    uint32_t l1 = leaver->Open(), l2 = leaver->Open();
    pid_t wa = ServerOf(a), wb = ServerOf(b), wl = ServerOf(*leaver);
    auto destroying = [&](pid_t server, uint32_t engine) {
        std::string by = GetParam() ? "" : "[worker " + std::to_string(server) + "] ";
        return by + "destroying engine " + std::to_string(engine) + " ";
    };
    leaver.reset();
    ASSERT_TRUE(service.WaitForLog(destroying(wl, l2))) << service.Log();
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    std::string log = service.Log();
    auto destroyed = [&](pid_t server, uint32_t engine) {
        return log.find(destroying(server, engine));
    };
    EXPECT_LT(destroyed(wl, l1), destroyed(wl, l2));
    ASSERT_NE(destroyed(wa, a2), std::string::npos) << log;
    EXPECT_LT(destroyed(wa, a1), destroyed(wa, a2));
    EXPECT_LT(destroyed(wb, b1), GetParam() ? destroyed(wa, a2) : std::string::npos);
    for (pid_t w : {wa, wb}) {
        if (!GetParam()) {
            EXPECT_NE(log.find("worker " + std::to_string(w) + " of client"), std::string::npos);
        }
        EXPECT_NE(kill(w, 0), 0) << w << " outlived the service";
    }
    struct stat st {};
    EXPECT_NE(stat(service.socketPath().c_str(), &st), 0) << "the socket file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Modes, ServiceTest, ::testing::Values(false, true), ModeName);

// --no-simulator-control: clients get Host1, and no Simulator1 to drive the TV with, in a worker
// and in one process alike.
TEST(SimulatorControlTest, IsWithheldOnRequest) {
    for (bool single : {false, true}) {
        std::vector<std::string> args = {"--no-simulator-control"};
        if (single) args.push_back("--single-process");
        Service service(args);
        Client client(service.address());
        EXPECT_TRUE(client.Execute(client.Open(), "IsSupportTTS").served) << single;
        EXPECT_THROW(client.Drain(), std::exception) << single;
        EXPECT_NE(service.Ctl({"sim", "model"}).status, 0) << single;
    }
}

// The socket is the user's alone (its mode: the listener's and the default endpoint's tests), and
// the service checks the peer's uid as well.
TEST(AccessTest, OnlyTheUserAndRootAreServed) {
    Service service;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client under another uid";
    std::vector<std::string> call = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups",   GXEMPCTL_BIN,    "--address",
                                     service.address(),  "info"};
    EXPECT_EQ(RunProgram(call).status, 3) << "the file system lets another user in";
    ASSERT_EQ(chmod(service.dir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(service.socketPath().c_str(), 0666), 0);
    EXPECT_EQ(RunProgram(call).status, 3);
    EXPECT_TRUE(service.WaitForLog("refusing a client of uid 65534")) << service.Log();
}

}  // namespace
}  // namespace itest
