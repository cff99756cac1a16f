// Faults that need the real service: a client killed in the middle of its commands, the service
// killed during a burst of settings writes, and a client that stops reading its events. Uses the
// integration harness (tests/integration/Harness.h) to run the gxemp binary on a private socket.
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Harness.h"

// gcc announces sanitizers with macros, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GXEMP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GXEMP_SANITIZED 1
#endif
#endif
#ifndef GXEMP_SANITIZED
#define GXEMP_SANITIZED 0
#endif

namespace {

using itest::Client;
using itest::MotionList;
using itest::Service;

const char kTTS[] = "db/menu/accessibility/tts";

size_t Count(const std::vector<Client::Event>& events, const std::string& name) {
    size_t n = 0;
    for (const auto& e : events)
        if (e.name == name) ++n;
    return n;
}

long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Sends `sig` and waits up to `seconds` for the service to end; kills it when it does not.
bool StopsWithin(Service& service, int sig, int seconds) {
    pid_t pid = service.pid();
    kill(pid, sig);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidField, comm, state;
        if (!(stat >> pidField >> comm >> state) || state == "Z") {
            return service.Stop(sig) == 0;  // reaps it
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    service.Kill();
    return false;
}

// A client process running commands one after another until it is killed.
std::vector<std::string> BusyClient(const Service& service) {
    return {GXEMPCTL_BIN, "--address", service.address(), "session", "--app", "victim"};
}

std::string BusyScript(int lines) {
    std::string script;
    const std::string list =
        "'" + std::string(R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})") + "'";
    for (int i = 0; i < lines; ++i) {
        switch (i % 4) {
            case 0:
                script += "SetMotionSubscribeInfo v" + std::to_string(i) + " " + list + "\n";
                break;
            case 1:
                script += "InitializeFace\n";
                break;
            case 2:
                script += "GetFaceDetectionResult\n";
                break;
            default:
                script += (i % 8 == 3 ? "EnableTTSEngine\n" : "DisableTTSEngine\n");
                break;
        }
    }
    return script;
}

// Another client's engine goes away at any point of its commands; the remaining client keeps
// being served and gets every one of its events.
TEST(ServiceFaults, ClientKilledMidCommandCostsOthersNothing) {
    Service service;
    Client survivor(service.address());
    uint32_t engine = survivor.Open("survivor");
    ASSERT_EQ(
        survivor
            .Execute(engine, "SetMotionSubscribeInfo", "keep", MotionList({"EVENT_MOTION_GRAB"}))
            .integer,
        1);

    std::mt19937 rng(12345);
    for (int round = 0; round < 5; ++round) {
        size_t removedBefore = Occurrences(service.Log(), "remove pointer");
        {
            itest::Child victim(BusyClient(service));
            victim.Write(BusyScript(400));
            std::string line;
            ASSERT_TRUE(victim.ReadLine(&line)) << "the victim never got going";
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
            kill(victim.pid(), SIGKILL);
            victim.Wait();
        }
        // The service notices the disconnect and tears the victim's engine down.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Occurrences(service.Log(), "remove pointer") == removedBefore &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_GT(Occurrences(service.Log(), "remove pointer"), removedBefore) << "round " << round;

        // Still served, nothing lost.
        survivor.events.clear();
        for (int i = 0; i < 30; ++i) survivor.EmitMotion(1005, "r" + std::to_string(round));
        survivor.Drain();
        ASSERT_TRUE(survivor.WaitEvents(30));
        survivor.Pump(50);
        EXPECT_EQ(Count(survivor.events, "EVENT_MOTION_GRAB-keep"), 30u) << "round " << round;
        EXPECT_EQ(survivor.events.size(), 30u) << "events of the victim leaked to the survivor";
        Client::Result r = survivor.Execute(engine, "EnableTTSEngine");
        EXPECT_TRUE(r.served);
        EXPECT_EQ(r.integer, 1);
    }
    EXPECT_TRUE(StopsWithin(service, SIGTERM, 10));
}

// The settings store is replaced whole on every write: a service killed at any moment of a burst
// of writes leaves a store that parses, holds every key, and serves the next start.
TEST(ServiceFaults, ServiceKilledDuringSettingsBurstLeavesStoreIntact) {
    Service service;
    std::mt19937 rng(777);
    for (int round = 0; round < 6; ++round) {
        std::atomic<bool> stop{false};
        std::atomic<int> writes{0};
        std::thread writer([&] {
            try {
                Client client(service.address());
                uint32_t engine = client.Open("writer");
                for (int i = 0; !stop.load(); ++i) {
                    client.Execute(engine, i % 2 == 0 ? "EnableTTSEngine" : "DisableTTSEngine");
                    ++writes;
                }
            } catch (const std::exception&) {
                // The service went away under us: expected.
            }
        });
        while (writes.load() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
        service.Kill();
        stop.store(true);
        writer.join();

        GKeyFile* kf = g_key_file_new();
        GError* err = nullptr;
        ASSERT_TRUE(
            g_key_file_load_from_file(kf, service.settingsPath().c_str(), G_KEY_FILE_NONE, &err))
            << "round " << round << ": " << (err ? err->message : "");
        gsize keys = 0;
        g_strfreev(g_key_file_get_keys(kf, "vconf", &keys, nullptr));
        EXPECT_GE(keys, 8u) << "keys lost";
        int stored = g_key_file_get_integer(kf, "vconf", kTTS, &err);
        EXPECT_EQ(err, nullptr);
        EXPECT_TRUE(stored == 0 || stored == 1) << stored;
        g_key_file_free(kf);

        ASSERT_TRUE(service.Start()) << service.Log();
        Client client(service.address());
        EXPECT_EQ(client.GetSetting(kTTS), stored);
        uint32_t engine = client.Open("check");
        EXPECT_EQ(client.Execute(engine, "IsSupportTTS").integer, stored);
        EXPECT_EQ(client.Execute(engine, "EnableTTSEngine").integer, 1);
        EXPECT_EQ(client.GetSetting(kTTS), 1);
        std::printf("round %d: killed after %d writes, store intact (voice guide %d)\n", round,
                    writes.load(), stored);
    }
}

// A client that stops reading: the service keeps a bounded queue for it (oldest dropped and
// counted), its memory does not follow the flood, and a reading client gets every event.
TEST(ServiceFaults, ClientThatStopsReadingCannotGrowTheService) {
    // The default bound (1024 events a client). It must exceed a burst: on a loaded machine the
    // library thread can queue a whole batch before the loop thread gets to send any of it, and
    // the reading client would then lose the oldest events too.
    Service service;
    Client stalled(service.address());
    uint32_t stalledEngine = stalled.Open("stalled");
    ASSERT_EQ(stalled
                  .Execute(stalledEngine, "SetMotionSubscribeInfo", "stalled",
                           MotionList({"EVENT_MOTION_GRAB"}))
                  .integer,
              1);
    // From here on the stalled client never touches its connection again.

    Client reader(service.address());
    uint32_t readerEngine = reader.Open("reader");
    ASSERT_EQ(reader
                  .Execute(readerEngine, "SetMotionSubscribeInfo", "reader",
                           MotionList({"EVENT_MOTION_GRAB"}))
                  .integer,
              1);

    const std::string payload(4096, 'p');
    const int kBatches = 40, kPerBatch = 250;  // 10000 events of 4 KiB: 40 MiB if all were kept
    long rssStart = RssKiB(service.pid());
    long rssPeak = rssStart;
    for (int b = 0; b < kBatches; ++b) {
        reader.events.clear();
        for (int i = 0; i < kPerBatch; ++i) reader.EmitMotion(1005, payload);
        reader.Drain();
        ASSERT_TRUE(reader.WaitEvents(kPerBatch, 30000))
            << "batch " << b << ": " << reader.events.size() << " events";
        EXPECT_EQ(Count(reader.events, "EVENT_MOTION_GRAB-reader"), static_cast<size_t>(kPerBatch));
        rssPeak = std::max(rssPeak, RssKiB(service.pid()));
    }
    ASSERT_TRUE(service.WaitForLog("does not keep up")) << service.Log();
    long growth = rssPeak - rssStart;
    std::printf(
        "service RSS %ld KiB at start, %ld KiB at peak (+%ld KiB) after %d events of %zu "
        "bytes to a client that does not read\n",
        rssStart, rssPeak, growth, kBatches * kPerBatch, payload.size());
#if !GXEMP_SANITIZED
    // Sanitizer runtimes keep freed memory in quarantine, so the bound only means something in
    // a plain build.
    EXPECT_LT(growth, 16 * 1024) << "the service holds the stalled client's events";
#endif
    // Shutting down must not wait for the client that does not read.
    EXPECT_TRUE(StopsWithin(service, SIGTERM, 10)) << "SIGTERM did not end the service";
}

}  // namespace
