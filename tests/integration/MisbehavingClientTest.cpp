// One client that misbehaves (its worker stopped or traced and killed, a flood of calls its
// worker does not read, signals while clients connect, a huge trace, more clients than allowed)
// must not stall, freeze or grow the service for another: after each fault a bystander's
// commands answer within a second, its events arrive, the broker stays within a memory bound,
// no worker is left a zombie, and SIGTERM stops everything cleanly within a bounded time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kGrab = 1005;
// What the broker may grow by under any fault: its bounded queues and retired trace (16 MiB),
// with room for the allocator (a sanitizer's keeps what is freed for a while). Unbounded, the
// flood of kFloodSignals signals of 16 KiB would add about 100 MiB; under a sanitizer that bound
// could not tell, so the flood there is only long enough to lap the signal ring (2 MiB) eight
// times.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssGrowthKib = 8 * 48 * 1024;
constexpr int kFloodSignals = 1000;
#else
constexpr long kRssGrowthKib = 48 * 1024;
constexpr int kFloodSignals = 6000;
#endif
// SIGTERM's grace (10 s) and the wait after SIGKILL (2 s), with a margin.
constexpr double kShutdownSeconds = 14;

bool AnyZombie(const Service& service) {
    for (pid_t w : service.Workers()) {
        std::string stat = ReadFile("/proc/" + std::to_string(w) + "/stat");
        if (stat.size() > stat.rfind(')') + 2 && stat[stat.rfind(')') + 2] == 'Z') return true;
    }
    return false;
}

double SecondsOf(const std::function<void()>& work) {
    auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a fault leaves running until the service has stopped.
struct Scene {
    explicit Scene(Service& s) : service(s) {}
    Service& service;
    std::vector<Party> parties;
    std::atomic<bool> done{false};
    std::thread background;
    ~Scene() {
        done = true;
        if (background.joinable()) background.join();
    }
};

// A worker stopped (SIGSTOP, a debugger) holds up no gesture: each emit is answered within a
// second (gxempctl's call timeout; longer in a sanitizer build), counting the stopped worker's
// instance; resumed, its client gets every gesture emitted meanwhile, in order. Stopped again, it
// is named for not answering Drain (and the bystander's gestures pass it by).
void StoppedWorker(Scene& s) {
    s.parties.push_back(Join(s.service));
    Party& p = s.parties.back();
    ASSERT_EQ(p.client->Subscribe(p.engine, "w", {"EVENT_MOTION_GRAB"}), 1);
    SignalProcess(p.worker, SIGSTOP);
    const std::vector<std::string> texts = {"g0", "g1", "g2"};
    for (const std::string& text : texts) {
        ProcessResult r = s.service.Ctl({"--timeout", std::to_string(kAnswerSeconds), "sim",
                                         "gesture", "EVENT_MOTION_GRAB", text});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "signal 1005 delivered to 1 subscriber(s)\n");
    }
    SignalProcess(p.worker, SIGCONT);
    EXPECT_TRUE(p.client->WaitEvents(texts.size()));
    std::vector<std::string> got;
    for (const auto& e : p.client->events) got.push_back(e.data.substr(0, e.data.find('\n')));
    EXPECT_EQ(got, texts);
    SignalProcess(p.worker, SIGSTOP);
    EXPECT_EQ(s.service.Ctl({"sim", "drain"}).status, 0);
    EXPECT_TRUE(s.service.WaitForLog("worker " + std::to_string(p.worker) +
                                     " is stopped and did not answer Drain"))
        << s.service.Log();
}

void FloodToAWorkerThatDoesNotRead(Scene& s) {
    s.parties.push_back(Join(s.service));
    // Subscribed to what the flood sends: else its worker has nothing to read in the ring.
    Party& p = s.parties.back();
    EXPECT_EQ(p.client
                  ->Execute(p.engine, "SetMotionSubscribeInfo", "w",
                            MotionList({"EVENT_MOTION_SLAP_RIGHT"}))
                  .integer,
              1);
    SignalProcess(s.parties.back().worker, SIGSTOP);
    std::string flooder;
    {  // calls nobody waits for (a stream of motion signals) on a connection of its own
        Client flood(s.service.address(), Client::Options{true, false});
        flooder = flood.Name();
        const std::string text(16 * 1024, 'x');
        for (int i = 0; i < kFloodSignals; ++i)
            ASSERT_GE(gxclient::Send(flood.bus(), gxclient::EmitGesture(1001, text)), 0);
    }
    // The flood has passed once the flooder's worker has written it all into the ring and ended.
    pid_t worker = s.service.WorkerOf(flooder);
    EXPECT_TRUE(s.service.WaitForLog("worker " + std::to_string(worker) + " of client", 30000));
    // The stopped worker was left behind by far more than the ring holds: resumed, it says so.
    SignalProcess(s.parties.back().worker, SIGCONT);
    pid_t stopped = s.parties.back().worker;
    EXPECT_TRUE(s.service.WaitForLog("[worker " + std::to_string(stopped) +
                                     "] the signal ring overran this process"))
        << s.service.Log();
    uint64_t overrun = 0;
    for (const Json::Value& r : JsonLines(s.service.Ctl({"sim", "ring"}).out))
        if (r["worker"].asInt() == stopped) overrun = r["overrun"].asUInt64();
    EXPECT_GT(overrun, 0u) << "the loss logged is counted where `sim ring` shows it";
}

// SIGHUP every few milliseconds while clients connect; then SIGTERM (the common checks) while
// connections keep coming.
void SignalsWhileClientsConnect(Scene& s) {
    pid_t broker = s.service.pid();
    s.background = std::thread([&s, broker] {
        while (!s.done) {
            SignalProcess(broker, SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));  // the storm's pace
        }
    });
    for (int i = 0; i < 12; ++i) EXPECT_NO_THROW(s.parties.push_back(Join(s.service)));
    s.done = true;
    s.background.join();
    s.done = false;
    s.background = std::thread([&s] {
        while (!s.done) {
            int fd = ConnectUnauthenticated(s.service.socketPath());
            if (fd < 0) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            close(fd);
        }
    });
}

// Calls whose 1 MB argument lands in the trace, from three clients (one then leaves): each
// worker's within its own bound (the sim tests check that one), together more than a Trace reply
// holds.
void HugeTrace(Scene& s) {
    std::string path(1000000, 'p');
    for (int c = 0; c < 3; ++c) {
        s.parties.push_back(Join(s.service));
        Party& p = s.parties.back();
        ASSERT_EQ(p.client->Execute(p.engine, "InitializeFace").integer, 1);
        for (int i = 0; i < 6; ++i) p.client->Execute(p.engine, "EncryptFaceImage", path);
    }
    pid_t leaver = s.parties[0].worker;
    s.parties.erase(s.parties.begin());
    ASSERT_TRUE(s.service.WaitForLog("worker " + std::to_string(leaver) + " of client"));
    ProcessResult trace = s.service.Ctl({"sim", "trace"});
    EXPECT_EQ(trace.status, 0) << trace.err;
    EXPECT_NE(trace.err.find("older calls left out"), std::string::npos) << trace.err;
    EXPECT_EQ(s.service.Log().find("the broker went away"), std::string::npos);
}

void TracedAndKilledWorker(Scene& s) {
    s.parties.push_back(Join(s.service));
    pid_t w = s.parties.back().worker;
    bool traced = ptrace(PTRACE_SEIZE, w, nullptr, nullptr) == 0;
    if (traced) {
        ptrace(PTRACE_INTERRUPT, w, nullptr, nullptr);
        waitpid(w, nullptr, __WALL);
    } else {
        SignalProcess(w, SIGSTOP);  // no ptrace here: stopped, as a debugger holds it
    }
    SignalProcess(w, SIGKILL);
    // The debugger sees the end first; the broker only once it has.
    if (traced) waitpid(w, nullptr, __WALL);
    EXPECT_TRUE(s.service.WaitForLog("worker " + std::to_string(w) + " of client"));
}

// A descriptor the service inherited (open in this test, not close-on-exec) reaches no worker.
void InheritedDescriptor(Scene& s) {
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int fd = fcntl(null, F_DUPFD, 50);
    close(null);
    ASSERT_GE(fd, 0);
    s.service.Stop();
    ASSERT_TRUE(s.service.Start());  // it inherits `fd`
    close(fd);
    s.parties.push_back(Join(s.service));
    std::string at = "/fd/" + std::to_string(fd),
                broker = "/proc/" + std::to_string(s.service.pid());
    EXPECT_TRUE(std::filesystem::exists(broker + at));
    for (pid_t w : s.service.Workers()) {
        // A child being spawned (the next spare, the template) is a copy of the broker until its
        // exec, which comes after the inherited descriptors are closed.
        std::string proc = "/proc/" + std::to_string(w);
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadFile(proc + "/cmdline") != ReadFile(broker + "/cmdline"); }));
        EXPECT_FALSE(std::filesystem::exists(proc + at)) << ReadFile(proc + "/cmdline");
    }
}

// With --max-clients 3: three are served, the next is told why on its first call, and a place
// frees as soon as a client hangs up (one is left free for the bystander).
void BeyondTheLimit(Scene& s) {
    auto leave = [&s] {
        std::string gone = s.parties[0].client->Name();
        s.parties.erase(s.parties.begin());
        ASSERT_TRUE(s.service.WaitForLog("client " + gone + " hung up")) << s.service.Log();
    };
    for (int i = 0; i < 3; ++i) s.parties.push_back(Join(s.service));
    Client refused(s.service.address());
    EXPECT_EQ(refused.ErrorOfExecute(1, "IsSupportTTS"), "org.gxemp.Error.TooManyClients");
    leave();
    s.parties.push_back(Join(s.service));
    EXPECT_TRUE(s.parties.back().client->Execute(s.parties.back().engine, "IsSupportTTS").served);
    leave();
}

struct Fault {
    const char* name;
    std::vector<std::string> args;
    void (*apply)(Scene&);
};
void PrintTo(const Fault& f, std::ostream* os) {
    *os << f.name;
}

class MisbehavingClientTest : public ::testing::TestWithParam<Fault> {};

TEST_P(MisbehavingClientTest, OthersAreServedAsBefore) {
    Service service(GetParam().args);
    Scene scene(service);
    long rss = RssKib(service.pid());
    GetParam().apply(scene);
    // The bystander comes after the fault (the service may have been restarted for it).
    Party bystander = Join(service);
    Client& c = *bystander.client;
    ASSERT_EQ(c.Subscribe(bystander.engine, "w", {"EVENT_MOTION_GRAB"}), 1);

    EXPECT_LT(SecondsOf([&] { c.Execute(bystander.engine, "GetUserLevel"); }), kAnswerSeconds);
    EXPECT_LT(SecondsOf([&] { c.Drain(); }), kDrainSeconds);
    // Its first gesture reaches it, whatever the fault left stopped, full or gone.
    EXPECT_GE(c.EmitMotion(kGrab, "g"), 1);
    ASSERT_TRUE(c.WaitEvents(1)) << service.Log();
    EXPECT_EQ(c.events[0].name, "EVENT_MOTION_GRAB-w");
    EXPECT_LT(RssKib(service.pid()) - rss, kRssGrowthKib);
    EXPECT_TRUE(WaitUntil([&] { return !AnyZombie(service); }, 5000)) << service.Log();

    int status = -1;
    EXPECT_LT(SecondsOf([&] { status = service.Stop(SIGTERM); }), kShutdownSeconds);
    EXPECT_EQ(status, 0);
    std::string log = service.Log();
    for (const char* killed : {"killed by signal 1 ", "killed by signal 15 "})
        EXPECT_EQ(log.find(killed), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MisbehavingClientTest,
    ::testing::Values(Fault{"StoppedWorker", {}, &StoppedWorker},
                      Fault{"FloodToAWorkerThatDoesNotRead", {}, &FloodToAWorkerThatDoesNotRead},
                      Fault{"SignalsWhileClientsConnect", {}, &SignalsWhileClientsConnect},
                      Fault{"HugeTrace", {}, &HugeTrace},
                      Fault{"TracedAndKilledWorker", {}, &TracedAndKilledWorker},
                      Fault{"InheritedDescriptor", {}, &InheritedDescriptor},
                      Fault{"BeyondTheLimit", {"--max-clients", "3"}, &BeyondTheLimit}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

}  // namespace
}  // namespace itest
