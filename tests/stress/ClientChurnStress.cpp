// Clients come and go against the real service, a worker process each.
//
// Several client threads loop: connect, open an engine, subscribe to grabs under a widget name of
// their own, emit grabs tagged with that name, wait until their own arrive, then close the engine
// or simply disconnect. Every emitted grab reaches every client subscribed at that moment, each in
// its own worker, so each client checks, as events arrive:
//   - every event carries its own widget name and its own engine (the right client);
//   - no tag arrives twice (exactly once), and its own tags all arrive.
// At the end no worker is left, and a new client finds no motion instance in any worker; no
// worker ended by a signal or with a failure status.
//
// Size: GXEMP_STRESS_SESSIONS sessions per client thread (default 60), GXEMP_STRESS_THREADS client
// threads (default 4). A count rather than a duration: the same interleavings are tried however
// busy the machine is, and the run takes as long as they need.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BusClient.h"
#include "Process.h"
#include "ServiceProcess.h"

namespace gxtest {
namespace {

using Clock = std::chrono::steady_clock;

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

// One client's life; failures are reported through gtest (thread-safe).
void Session(const Service& service, const std::string& widget, bool close,
             std::atomic<long>* sessions) {
    constexpr int kGrabs = 3;
    Client client(service.address());
    uint32_t engine = client.Open("stress");
    ASSERT_EQ(client.Subscribe(engine, widget, {"EVENT_MOTION_GRAB"}), 1);
    for (int i = 0; i < kGrabs; ++i)
        ASSERT_GE(client.EmitMotion(1005, widget + ":" + std::to_string(i)), 1);
    auto deadline = Clock::now() + std::chrono::seconds(30);
    std::set<std::string> seen;
    int own = 0;
    size_t checked = 0;
    while (own < kGrabs && Clock::now() < deadline) {
        client.WaitEvents(checked + 1, 1000);
        for (; checked < client.events.size(); ++checked) {
            const Client::Event& e = client.events[checked];
            ASSERT_EQ(e.name, "EVENT_MOTION_GRAB-" + widget) << "event for another client";
            ASSERT_EQ(e.engine, engine);
            ASSERT_TRUE(seen.insert(e.data).second) << "delivered twice: " << e.data;
            own += e.data.compare(0, widget.size() + 1, widget + ":") == 0;
        }
    }
    ASSERT_EQ(own, kGrabs) << widget << " did not get its own grabs";
    if (close) client.Close(engine);
    ++*sessions;
}

TEST(ClientChurnStress, EveryEventReachesTheRightClientOnceAndNothingIsLeftBehind) {
    const int perThread = EnvInt("GXEMP_STRESS_SESSIONS", 60);
    const int threads = EnvInt("GXEMP_STRESS_THREADS", 4);
    Service service;
    std::atomic<long> sessions{0};
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int n = 0; n < perThread && !::testing::Test::HasFailure(); ++n) {
                std::string widget = "t" + std::to_string(t) + "n" + std::to_string(n);
                try {
                    Session(service, widget, n % 2 == 0, &sessions);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << widget << ": " << e.what();
                }
            }
        });
    for (std::thread& th : pool) th.join();

    // Only the spare is left, and only one.
    EXPECT_TRUE(WaitUntil([&] { return service.Workers().size() == 1; }, 30000)) << "workers left";
    EXPECT_EQ(service.Ctl({"sim", "motion-state"}).out, "")
        << "a motion instance outlived its client";
    std::string log = service.Log();
    if (::testing::Test::HasFailure()) std::printf("%s\n", log.c_str());
    EXPECT_EQ(log.find("killed by signal"), std::string::npos);
    EXPECT_EQ(log.find("does not keep up"), std::string::npos);
    std::smatch bad;
    EXPECT_FALSE(std::regex_search(log, bad, std::regex(".*exited with status [1-9].*"))) << bad[0];
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("%ld sessions in %lld ms\n", sessions.load(), static_cast<long long>(ms));
    EXPECT_EQ(sessions.load(), static_cast<long>(threads) * perThread);
}

}  // namespace
}  // namespace gxtest
