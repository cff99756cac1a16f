// A worker process per client: applications cannot overhear or break each other, a worker's end is
// its client's alone, and the accept path holds under a flood of connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

constexpr int kGrab = 1005;

// A client with one engine subscribed to grabs under its own widget and its own zoom setting.
Party Subscribed(const Service& service, int i) {
    Party p = Join(service);
    p.widget = "w" + std::to_string(i);
    p.zoom = 10 + i;
    EXPECT_EQ(p.client->Subscribe(p.engine, p.widget, {"EVENT_MOTION_GRAB"}), 1);
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
    parties.push_back(Subscribed(service, 0));
    // The one that goes is a process of its own, built between the other two.
    Child goer({GXEMPCTL_BIN, "--address", service.address(), "session"});
    goer.Write(
        R"(SetMotionSubscribeInfo wg '{"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]}')"
        "\n");
    std::string line;
    ASSERT_TRUE(goer.ReadLine(&line));  // open
    ASSERT_TRUE(goer.ReadLine(&line));  // result
    ASSERT_NE(line.find("\"result\":1"), std::string::npos) << line;
    pid_t worker = -1;  // the one not serving the first party
    ASSERT_TRUE(WaitUntil([&] {
        for (pid_t w : service.ServingWorkers())
            if (w != parties[0].worker) worker = w;
        return worker > 0;
    })) << service.Log();
    parties.push_back(Subscribed(service, 1));

    if (d.killWorker) SignalProcess(worker, SIGKILL);
    if (d.killClient) SignalProcess(goer.pid(), SIGKILL);
    if (!d.killWorker && !d.killClient) goer.CloseInput();
    goer.Wait();
    std::string end = "worker " + std::to_string(worker) + " of client ";
    ASSERT_TRUE(service.WaitForLog(end)) << service.Log();
    std::string log = service.Log();
    size_t at = log.find(end);
    EXPECT_NE(log.find(d.reported, at), std::string::npos) << log.substr(at);

    ExpectEachOwnsItsEngine(parties);
    // One motion instance per client left, each in that client's worker.
    std::set<pid_t> workers, expected;
    for (const Json::Value& m : JsonLines(service.Ctl({"sim", "motion-state"}).out)) {
        EXPECT_EQ(m["subscribed"].size(), 1u);
        EXPECT_EQ(m["subscribed"][0], kGrab);
        workers.insert(m["worker"].asInt());
    }
    for (Party& p : parties) expected.insert(p.worker);
    EXPECT_EQ(workers, expected);
    EXPECT_EQ(workers.size(), parties.size()) << "clients share a worker";
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

// ---- Spare workers -----------------------------------------------------------------------------

// With N spares (0: none), the clients that spares take are served as if their workers had been
// started for them: their own engines and events; a spare that dies is replaced, and no worker,
// spare or not, outlives the service.
class SpareTest : public ::testing::TestWithParam<size_t> {};

TEST_P(SpareTest, ClientsOwnTheirWorkersAndNoSpareOutlivesTheService) {
    const size_t spares = GetParam();
    Service service({"--spare-workers", std::to_string(spares)});
    auto count = [&](size_t n) { return [&service, n] { return service.Workers().size() == n; }; };
    ASSERT_TRUE(WaitUntil(count(spares))) << service.Log();
    std::vector<pid_t> before = service.Workers();
    std::vector<Party> parties;
    for (int i = 0; i < 2; ++i) parties.push_back(Subscribed(service, i));
    pid_t first = parties[0].worker;
    EXPECT_NE(first, parties[1].worker);
    EXPECT_EQ(std::count(before.begin(), before.end(), first), spares > 0 ? 1 : 0)
        << "the first client was not given a spare\n"
        << service.Log();
    ASSERT_TRUE(WaitUntil(count(2 + spares))) << "spares not replaced\n" << service.Log();
    ExpectEachOwnsItsEngine(parties);

    if (spares > 0) {
        std::vector<pid_t> idle = service.SpareWorkers();
        ASSERT_FALSE(idle.empty());
        pid_t spare = idle.back();
        kill(spare, SIGKILL);
        ASSERT_TRUE(service.WaitForLog("spare worker " + std::to_string(spare) + " was killed"))
            << service.Log();
        ASSERT_TRUE(WaitUntil([&] {
            std::vector<pid_t> now = service.Workers();
            return now.size() == 2 + spares && std::count(now.begin(), now.end(), spare) == 0;
        })) << "the dead spare was not replaced\n"
            << service.Log();
        parties.push_back(Subscribed(service, 2));
        ExpectEachOwnsItsEngine(parties);
    }
    std::vector<pid_t> all = service.Workers();
    parties.clear();
    EXPECT_EQ(service.Stop(), 0);
    for (pid_t w : all) EXPECT_NE(kill(w, 0), 0) << "worker " << w << " outlived the service";
    std::string log = service.Log();
    EXPECT_EQ(log.find("exited with status 1"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Spares, SpareTest, ::testing::Values(0u, 1u, 2u));

// ---- Workers forked from the template ----------------------------------------------------------

// Where the program is mapped: a forked process has its parent's place, an exec'd one a new one.
std::string ProgramMapping(pid_t pid) {
    std::istringstream maps(ReadFile("/proc/" + std::to_string(pid) + "/maps"));
    std::string line;
    std::getline(maps, line);
    return line.substr(0, line.find(' '));
}

// The service's child that forks its workers (it is no worker: Workers() leaves it out), once it
// has said it is ready (it takes its name then), other than `not`.
pid_t ReadyTemplateOf(const Service& service, pid_t not_ = -1) {
    pid_t tpl = -1;
    bool ready = WaitUntil([&] {
        tpl = -1;
        for (pid_t child : ChildrenOf(service.pid()))
            if (IsWorkerTemplate(child) && child != not_) tpl = child;
        return tpl > 0 && ReadFile("/proc/" + std::to_string(tpl) + "/comm") == "gxemp-template\n";
    });
    return ready ? tpl : -1;
}

// Once the template is ready, workers are forked from it and named as workers; when it dies the
// service says so, serves with exec'd workers and starts a new template, which forks again; the
// template does not outlive the service.
TEST(WorkerTemplateTest, ForksTheWorkersAndIsStartedAgainWhenItDies) {
    Service service;
    const bool randomized = ReadFile("/proc/sys/kernel/randomize_va_space") != "0\n";
    std::vector<Party> parties;
    // Clients join until the spare started after a hand-off is forked from `tpl` (the broker may
    // read that the template is ready after it started the first).
    auto expectForkedFrom = [&](pid_t tpl) {
        pid_t forked = -1;
        for (int i = 0; i < 3 && forked < 0; ++i) {
            parties.push_back(Subscribed(service, static_cast<int>(parties.size())));
            std::vector<pid_t> idle;
            ASSERT_TRUE(WaitUntil([&] { return !(idle = service.SpareWorkers()).empty(); }))
                << service.Log();
            pid_t spare = idle.back();
            if (!randomized || ProgramMapping(spare) == ProgramMapping(tpl)) forked = spare;
        }
        ASSERT_GT(forked, 0) << "no worker forked from template " << tpl << "\n" << service.Log();
        EXPECT_EQ(ReadFile("/proc/" + std::to_string(forked) + "/comm"), "gxemp\n");
        EXPECT_NE(ReadFile("/proc/" + std::to_string(forked) + "/cmdline").find("--worker-spare"),
                  std::string::npos);
    };
    pid_t tpl = ReadyTemplateOf(service);
    ASSERT_GT(tpl, 0) << service.Log();
    expectForkedFrom(tpl);

    SignalProcess(tpl, SIGKILL);
    // Reaped, or found gone while it forked the next spare.
    ASSERT_TRUE(service.WaitForLog("until a new template is ready")) << service.Log();
    for (int i = 0; i < 2; ++i) parties.push_back(Subscribed(service, 10 + i));
    ExpectEachOwnsItsEngine(parties);
    pid_t again = ReadyTemplateOf(service, tpl);
    ASSERT_GT(again, 0) << service.Log();
    expectForkedFrom(again);
    ExpectEachOwnsItsEngine(parties);

    parties.clear();
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_NE(kill(again, 0), 0) << "the template outlived the service";
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

    ASSERT_EQ(service.Ctl({"sim", "camera", "0"}).status, 0);
    EXPECT_EQ(viewer.Execute(v, "GetGestureCameraStatus").integer, 0);
    ASSERT_EQ(service.Ctl({"sim", "faces", "42:10,20,30,40"}).status, 0);
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

    std::vector<std::string> creates;
    bool trained = false;
    uint64_t last = 0;
    for (const Json::Value& t : JsonLines(service.Ctl({"sim", "trace", "--json"}).out)) {
        EXPECT_LT(last, t["seq"].asUInt64());
        last = t["seq"].asUInt64();
        if (t["function"] == "gx_face_recog_create") creates.push_back(t["detail"].asString());
        if (t["function"] == "gx_start_face_training" && t["args"][0] == "5001") {
            EXPECT_EQ(t["worker"].asInt(), trainerWorker);
            EXPECT_EQ(t["detail"], "face={1,0,0,0,0} trained=1");
            trained = true;
        }
    }
    EXPECT_TRUE(trained) << "the trace lost the calls of a worker that ended";
    EXPECT_EQ(creates, (std::vector<std::string>{"handle=5001", "handle=5002"}));
}

// ---- One client cannot stall the TV's state for the others ------------------------------------

// The words of the segment's header a damaged one gets wrong (see the layout in Shared.cpp).
constexpr off_t kGenerationAt = 16, kActiveAt = 24, kLengthsAt = 56;

// Overwrites bytes of the TV's segment, as mapped by a worker (descriptor 5), and bumps the
// generation so that readers look at it again.
void Damage(pid_t worker, off_t at, const std::string& bytes) {
    int fd = open(("/proc/" + std::to_string(worker) + "/fd/5").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    uint64_t generation = 0;
    ASSERT_EQ(pread(fd, &generation, sizeof generation, kGenerationAt), 8);
    generation += 1000;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(pwrite(fd, &generation, sizeof generation, kGenerationAt), 8);
    close(fd);
}

struct TvFault {
    const char* name;
    // What the misbehaving client (its worker `worker`) does; then `Recover`, if any.
    void (*inflict)(Service& service, Client& bad, pid_t worker);
    void (*recover)(pid_t worker);
    const char* logged;  // what the service logs about it ("" nothing asked)
};

class TvFaultTest : public ::testing::TestWithParam<TvFault> {};

// Whatever one client does to the TV's state, another client connects, changes the state and
// sees it within a second each (gxempctl's own call timeout), and the misbehaving client's
// engine sees the change once it goes on.
TEST_P(TvFaultTest, OthersKeepConnectingAndChangingTheTv) {
    const TvFault& fault = GetParam();
    Service service;
    Client bad(service.address());
    uint32_t engine = bad.Open();
    ASSERT_EQ(bad.Execute(engine, "GetGestureCameraStatus").integer, 1);
    pid_t worker = service.WorkerOf(bad.Name());
    ASSERT_GT(worker, 0);

    fault.inflict(service, bad, worker);
    ProcessResult info = service.Ctl({"--timeout", "1", "info"});
    EXPECT_EQ(info.status, 0) << info.err;
    ProcessResult edit = service.Ctl({"--timeout", "1", "sim", "camera", "0"});
    EXPECT_EQ(edit.status, 0) << edit.err;
    ProcessResult seen = service.Ctl({"--timeout", "1", "call", "GetGestureCameraStatus"});
    EXPECT_NE(seen.out.find("result: 0"), std::string::npos) << seen.out << seen.err;
    if (fault.recover) fault.recover(worker);

    EXPECT_EQ(bad.Execute(engine, "GetGestureCameraStatus").integer, 0);
    // Its own later changes are everybody's.
    EXPECT_EQ(bad.SetModel("SHARED-AGAIN"), "");
    EXPECT_EQ(service.Ctl({"sim", "model"}).out, "SHARED-AGAIN\n");
    if (*fault.logged) {
        EXPECT_TRUE(service.WaitForLog(fault.logged)) << service.Log();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TvFaultTest,
    ::testing::Values(
        // Stopped (in a debugger, or mid-change): it holds nothing the others wait for.
        TvFault{"StoppedWorker", [](Service&, Client&, pid_t w) { SignalProcess(w, SIGSTOP); },
                [](pid_t w) { SignalProcess(w, SIGCONT); }, ""},
        // An input over a limit: refused with the limit named; nothing changes anywhere.
        TvFault{"OversizedInput",
                [](Service& service, Client& bad, pid_t) {
                    ASSERT_EQ(bad.SetModel("BEFORE"), "");
                    EXPECT_EQ(bad.SetModel(std::string(5000, 'x')),
                              "org.gxemp.Simulator1.Error.TooLarge");
                    std::vector<std::string> faces = {"sim", "faces"};
                    for (int i = 0; i <= 1024; ++i) faces.push_back("1:1,2,3,4");
                    ProcessResult r = service.Ctl(faces);
                    EXPECT_NE(r.err.find("1024"), std::string::npos) << r.err;
                    EXPECT_EQ(service.Ctl({"sim", "model"}).out, "BEFORE\n");
                },
                nullptr, ""},
        // The most the state takes: every join and change copies it, and still nobody waits.
        TvFault{"LargestInput",
                [](Service& service, Client&, pid_t) {
                    std::vector<std::string> faces = {"sim", "faces"};
                    for (int i = 0; i < 1024; ++i) faces.push_back("1:1,2,3,4");
                    EXPECT_EQ(service.Ctl(faces).status, 0);
                },
                nullptr, ""},
        // A damaged header: logged once, the last good copy kept, repaired by the broker.
        TvFault{"HeaderSlotOutOfRange",
                [](Service&, Client&, pid_t w) { Damage(w, kActiveAt, std::string(4, '\x07')); },
                nullptr, "active slot is out of range"},
        TvFault{"HeaderLengthOutOfRange",
                [](Service&, Client&, pid_t w) { Damage(w, kLengthsAt, std::string(8, '\xff')); },
                nullptr, "state length is out of range"},
        TvFault{"HeaderNotTheTvs",
                [](Service&, Client&, pid_t w) { Damage(w, 0, std::string(8, '\0')); }, nullptr,
                "header is not the TV's"}),
    [](const ::testing::TestParamInfo<TvFault>& info) { return info.param.name; });

// ---- A flood of connections that never finish authenticating -----------------------------------

// CPU time (user and system) a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class FloodTest : public ::testing::TestWithParam<bool> {};

// The service runs short of descriptors (40) long before the flood (150 connections) ends.
TEST_P(FloodTest, ServiceRestsInsteadOfSpinningAndServesARealClientAfterwards) {
    std::vector<std::string> args = {"--auth-timeout", "1"};
    if (GetParam()) args.push_back("--single-process");
    Service service(args, 40);
    std::vector<int> flood;
    for (int i = 0; i < 150; ++i) {
        int fd = ConnectUnauthenticated(service.socketPath(), SOCK_NONBLOCK);
        if (fd >= 0) flood.push_back(fd);
    }
    ASSERT_GT(flood.size(), 100u);
    double cpu = CpuSeconds(service.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Spinning on accept burns a whole core (and logs thousands of lines a second).
    EXPECT_LT(CpuSeconds(service.pid()) - cpu, 0.5) << "CPU seconds in 2 s of flood\n"
                                                    << service.Log();
    EXPECT_TRUE(service.WaitForLog("not accepting for 100 ms")) << service.Log();
    EXPECT_TRUE(service.WaitForLog("no request within 1000 ms of connecting")) << service.Log();

    for (int fd : flood) close(fd);
    Client client(service.address());
    EXPECT_EQ(client.Execute(client.Open(), "GetUserLevel").text, "Beginner");
}

INSTANTIATE_TEST_SUITE_P(Modes, FloodTest, ::testing::Values(false, true), ModeName);

}  // namespace
}  // namespace itest
