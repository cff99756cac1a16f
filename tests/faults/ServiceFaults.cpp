// The service killed in the middle of a burst of settings writes (its broker and the worker that
// writes, with SIGKILL) leaves a store that parses, holds every key, and serves the next start.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "Harness.h"

namespace {

using itest::Client;
using itest::Service;

const char kTTS[] = "db/menu/accessibility/tts";

TEST(ServiceFaults, ServiceKilledDuringSettingsBurstLeavesStoreIntact) {
    Service service;
    std::mt19937 rng(777);
    for (int round = 0; round < 6; ++round) {
        std::atomic<bool> stop{false};
        std::atomic<int> writes{0};
        std::atomic<pid_t> writer{-1};
        std::thread burst([&] {
            try {
                Client client(service.address());
                uint32_t engine = client.Open("writer");
                writer = service.WorkerOf(client.Name());
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
        kill(writer.load(), SIGKILL);
        service.Kill();
        stop.store(true);
        burst.join();

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
        uint32_t engine = client.Open("check");
        EXPECT_EQ(client.Execute(engine, "IsSupportTTS").integer, stored);
        EXPECT_EQ(client.Execute(engine, "EnableTTSEngine").integer, 1);
        EXPECT_EQ(client.GetSetting(kTTS), 1);
    }
}

}  // namespace
