// The settings store: a real key file on disk, shared by processes.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "SimFixture.h"
#include "vconf.h"

namespace {

constexpr const char* kTts = "db/menu/accessibility/tts";

using SettingsStore = SimTest;

// Reads a key straight from the file, independently of the code under test.
std::optional<int> FileValue(const std::string& path, const char* key) {
    GKeyFile* kf = g_key_file_new();
    std::optional<int> out;
    if (g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr)) {
        GError* err = nullptr;
        int v = g_key_file_get_integer(kf, "vconf", key, &err);
        if (err)
            g_error_free(err);
        else
            out = v;
    }
    g_key_file_free(kf);
    return out;
}

TEST_F(SettingsStore, MissingStoreIsCreatedWithTheTvKeys) {
    int v = -1;
    ASSERT_EQ(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(FileValue(settings(), kTts), 0);
    EXPECT_TRUE(FileValue(settings(), "db/menu/accessibility/high_contrast").has_value());
    v = -1;
    EXPECT_NE(vconf_get_int("db/no/such/key", &v), 0);
    EXPECT_EQ(v, -1);
}

TEST_F(SettingsStore, WritesPersistAndKeepOtherKeys) {
    ASSERT_EQ(vconf_set_int(kTts, 1), 0);
    ASSERT_EQ(vconf_set_int("db/test/new", -42), 0);
    int v = 0;
    ASSERT_EQ(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(FileValue(settings(), kTts), 1);
    EXPECT_EQ(FileValue(settings(), "db/test/new"), -42);
    EXPECT_EQ(FileValue(settings(), "db/menu/accessibility/enlarge"), 0);

    // Keys that cannot live in the file are refused.
    EXPECT_NE(vconf_set_int("a=b", 1), 0);
    EXPECT_NE(vconf_set_int("a\nb", 1), 0);
    EXPECT_NE(vconf_set_int("", 1), 0);
    EXPECT_NE(vconf_set_int(nullptr, 1), 0);
    EXPECT_NE(vconf_get_int(nullptr, &v), 0);
}

struct BadStore {
    const char* name;
    const char* contents;
    bool parses;  // a key file with a bad value: a write repairs the key
};

class BadStores : public SimTest, public ::testing::WithParamInterface<BadStore> {};

TEST_P(BadStores, ReadsFailWithoutTouchingTheValueAndWritesLeaveTheFile) {
    ASSERT_EQ(g_mkdir_with_parents((dir() + "/state").c_str(), 0700), 0);
    WriteText(settings(), GetParam().contents);
    int v = 1234;
    EXPECT_NE(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 1234);
    if (GetParam().parses) {
        ASSERT_EQ(vconf_set_int(kTts, 1), 0);
        EXPECT_EQ(vconf_get_int(kTts, &v), 0);
        EXPECT_EQ(v, 1);
    } else {
        // A file that does not parse is not overwritten.
        EXPECT_NE(vconf_set_int(kTts, 1), 0);
        EXPECT_EQ(ReadText(settings()), GetParam().contents);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, BadStores,
    ::testing::Values(BadStore{"garbage", "this is \x01 not a key file\n", false},
                      BadStore{"binary", "\xff\xfe", false},
                      BadStore{"truncated_group", "[vconf\ndb/menu/accessibility/tts=1\n", false},
                      BadStore{"not_integer", "[vconf]\ndb/menu/accessibility/tts=on\n", true},
                      BadStore{"overflow", "[vconf]\ndb/menu/accessibility/tts=99999999999\n",
                               true},
                      BadStore{"fraction", "[vconf]\ndb/menu/accessibility/tts=1.5\n", true},
                      BadStore{"empty", "", true}, BadStore{"other_group", "[x]\na=1\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsStore, ReadOnlyStoreRefusesWrites) {
    ASSERT_EQ(vconf_set_int(kTts, 1), 0);
    std::string before = ReadText(settings());
    ASSERT_EQ(chmod(settings().c_str(), 0444), 0);
    EXPECT_NE(vconf_set_int(kTts, 0), 0);
    EXPECT_EQ(ReadText(settings()), before);
    int v = 0;
    EXPECT_EQ(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 1);
}

TEST_F(SettingsStore, UnwritableDirectoryRefusesWrites) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    ASSERT_EQ(vconf_set_int(kTts, 1), 0);
    ASSERT_EQ(chmod((dir() + "/state").c_str(), 0555), 0);
    EXPECT_NE(vconf_set_int(kTts, 0), 0);
    int v = 0;
    EXPECT_EQ(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 1);
}

TEST_F(SettingsStore, PathComesFromTheEnvironmentWhenNotSet) {
    gxsim::SetSettingsPath("");
    setenv("GXEMP_SETTINGS", (dir() + "/env.ini").c_str(), 1);
    EXPECT_EQ(gxsim::GetSettingsPath(), dir() + "/env.ini");
    EXPECT_EQ(vconf_set_int(kTts, 1), 0);
    EXPECT_EQ(FileValue(dir() + "/env.ini", kTts), 1);
    unsetenv("GXEMP_SETTINGS");
    setenv("XDG_STATE_HOME", dir().c_str(), 1);
    EXPECT_EQ(gxsim::GetSettingsPath(), dir() + "/gxemp/settings.ini");
    unsetenv("XDG_STATE_HOME");
}

TEST_F(SettingsStore, TwoProcessesDoNotLoseEachOthersKeys) {
    constexpr int kKeys = 40;
    pid_t a = SpawnSelf({"--store-writer", settings(), "db/a", std::to_string(kKeys)});
    pid_t b = SpawnSelf({"--store-writer", settings(), "db/b", std::to_string(kKeys)});
    // This process writes too.
    for (int i = 0; i < kKeys; ++i)
        ASSERT_EQ(vconf_set_int(("db/c/" + std::to_string(i)).c_str(), i), 0);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    for (const char* prefix : {"db/a/", "db/b/", "db/c/"}) {
        for (int i = 0; i < kKeys; ++i) {
            std::string key = prefix + std::to_string(i);
            EXPECT_EQ(FileValue(settings(), key.c_str()), i) << key;
        }
    }
    EXPECT_EQ(FileValue(settings(), kTts), 0);
}

TEST_F(SettingsStore, KilledWriterLeavesAReadableStore) {
    ASSERT_EQ(vconf_set_int("db/keep", 7), 0);
    pid_t w = SpawnSelf({"--store-burst", settings(), "db/burst"});
    ASSERT_GT(w, 0);
    // Wait until the burst is well under way, then kill it mid-stream.
    int seen = 0;
    for (int tries = 0; tries < 20000 && seen < 30; ++tries) {
        int v = 0;
        if (vconf_get_int("db/burst", &v) == 0) seen = v;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_GE(seen, 30) << "writer made no progress";
    kill(w, SIGKILL);
    EXPECT_EQ(WaitChild(w), -SIGKILL);

    auto burst = FileValue(settings(), "db/burst");
    ASSERT_TRUE(burst.has_value()) << ReadText(settings());
    EXPECT_GE(*burst, seen);
    EXPECT_EQ(FileValue(settings(), "db/keep"), 7);
    EXPECT_EQ(FileValue(settings(), kTts), 0);
    // The dead writer's lock is gone with it.
    EXPECT_EQ(vconf_set_int("db/burst", -1), 0);
    EXPECT_EQ(FileValue(settings(), "db/burst"), -1);
}

}  // namespace
