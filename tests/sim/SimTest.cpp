// The simulated TV where the plug-in's own tests do not reach it: the settings store as a file
// that processes share, profiles, the log service, the motion library as a shared object and the
// face library's files. One TV shared by several processes is tried through the service.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "SimFixture.h"
#include "dlog.h"
#include "face_recognition.h"
#include "gesture_bridge.h"
#include "tvcamera_control.h"
#include "vconf.h"

namespace {

using namespace std::chrono_literals;
constexpr const char* kTts = "db/menu/accessibility/tts";

// ---- Settings store ----------------------------------------------------------------------------

// Reads a key straight from the file, independently of the code under test.
std::optional<int> FileValue(const std::string& path, const char* key) {
    g_autoptr(GKeyFile) kf = g_key_file_new();
    g_autoptr(GError) err = nullptr;
    if (!g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr)) return {};
    const int v = g_key_file_get_integer(kf, "vconf", key, &err);
    return err ? std::nullopt : std::optional<int>(v);
}

using SettingsStore = SimTest;

TEST_F(SettingsStore, CreatedWithTheTvKeysWritesKeepTheOthers) {
    int v = -1;
    ASSERT_EQ(vconf_get_int(kTts, &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(FileValue(settings(), "db/menu/accessibility/high_contrast").has_value());
    EXPECT_NE(vconf_get_int("db/no/such/key", &v), 0);
    ASSERT_EQ(vconf_set_int(kTts, 1), 0);
    ASSERT_EQ(vconf_set_int("db/test/new", -42), 0);
    EXPECT_EQ(FileValue(settings(), kTts), 1);
    EXPECT_EQ(FileValue(settings(), "db/test/new"), -42);
    EXPECT_EQ(FileValue(settings(), "db/menu/accessibility/enlarge"), 0);
    for (const char* key : {"a=b", "a\nb", "", "[x]"}) EXPECT_NE(vconf_set_int(key, 1), 0) << key;
}

struct BadStore {
    const char* name;
    const char* contents;
    int mode;
    bool writable;  // a key file with a bad value is repaired by a write; other files are kept
};

class BadStores : public SimTest, public ::testing::WithParamInterface<BadStore> {};

TEST_P(BadStores, ReadsFailWithoutTouchingTheValueAndWritesKeepWhatTheyMust) {
    ASSERT_EQ(g_mkdir_with_parents((dir() + "/state").c_str(), 0700), 0);
    WriteText(settings(), GetParam().contents);
    chmod(settings().c_str(), GetParam().mode);
    int v = 1234;
    bool readable = vconf_get_int(kTts, &v) == 0;
    EXPECT_EQ(v, readable ? 1 : 1234);
    EXPECT_EQ(vconf_set_int(kTts, 1) == 0, GetParam().writable);
    // A file that is not ours to repair is left for a person to look at.
    EXPECT_EQ(ReadFile(settings()) == GetParam().contents, !GetParam().writable);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, BadStores,
    ::testing::Values(
        // clang-format off
        BadStore{"garbage",         "this is \x01 not a key file\n",                     0600, false},
        BadStore{"binary",          "\xff\xfe",                                          0600, false},
        BadStore{"truncated_group", "[vconf\ndb/menu/accessibility/tts=1\n",             0600, false},
        BadStore{"read_only",       "[vconf]\ndb/menu/accessibility/tts=1\n",            0444, false},
        BadStore{"not_integer",     "[vconf]\ndb/menu/accessibility/tts=on\n",           0600, true},
        BadStore{"overflow",        "[vconf]\ndb/menu/accessibility/tts=99999999999\n",  0600, true},
        BadStore{"fraction",        "[vconf]\ndb/menu/accessibility/tts=1.5\n",          0600, true},
        BadStore{"other_group",     "[x]\na=1\n",                                        0600, true}),
    // clang-format on
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsStore, ProcessesKeepEachOthersKeysAndAKilledWriterLeavesAWholeFile) {
    constexpr int kKeys = 40;
    pid_t a = Spawn({kSelf, "--store-writer", settings(), "db/a", std::to_string(kKeys)});
    for (int i = 0; i < kKeys; ++i)
        ASSERT_EQ(vconf_set_int(("db/c/" + std::to_string(i)).c_str(), i), 0);
    EXPECT_EQ(WaitExit(a), 0);
    for (const char* prefix : {"db/a/", "db/c/"})
        for (int i = 0; i < kKeys; ++i)
            EXPECT_EQ(FileValue(settings(), (prefix + std::to_string(i)).c_str()), i) << prefix;

    pid_t w = Spawn({kSelf, "--store-burst", settings(), "db/burst"});
    int seen = 0;
    for (int tries = 0; tries < 20000 && seen < 30; ++tries) {
        int v = 0;
        if (vconf_get_int("db/burst", &v) == 0) seen = v;
        std::this_thread::sleep_for(500us);
    }
    ASSERT_GE(seen, 30) << "the writer made no progress";
    kill(w, SIGKILL);
    EXPECT_EQ(WaitExit(w), 128 + SIGKILL);
    EXPECT_GE(FileValue(settings(), "db/burst").value_or(-1), seen) << ReadFile(settings());
    EXPECT_EQ(FileValue(settings(), "db/a/7"), 7);
    // The dead writer's lock went with it.
    EXPECT_EQ(vconf_set_int("db/burst", -1), 0);
}

// ---- Profiles ----------------------------------------------------------------------------------

using Profiles = SimTest;

TEST_F(Profiles, SetTheStartStateAndStartAgainFromTheDefaults) {
    std::string err;
    ASSERT_TRUE(
        gxsim::LoadProfileFromData("[system]\nno-model=true\n[factory]\n830=fail\n831=0\n"
                                   "[camera]\nstate=0\nquery-result=-2\n"
                                   "[face]\nversion=unwritten\nfaces-in-view=1:10,20,40,40;"
                                   " 2:100,20,30,30\n[motion]\nhidden=gx_enable_swipe\n"
                                   "brightness=12\n[settings]\npath=/tmp/gx/s.ini\n",
                                   &err))
        << err;
    EXPECT_FALSE(gxsim::GetModel());
    EXPECT_FALSE(gxsim::GetFactoryItem(830));
    EXPECT_EQ(gxsim::GetFactoryItem(831), 0);
    EXPECT_EQ(gxsim::GetCameraQueryResult(), -2);
    ASSERT_EQ(gxsim::GetFacesInView().size(), 2u);
    EXPECT_EQ(gxsim::GetFacesInView()[1].w, 30);
    EXPECT_EQ(gxsim::HiddenMotionEntryPoints(), std::set<std::string>{"gx_enable_swipe"});
    EXPECT_EQ(gxsim::GetMotionAnswers().brightness, 12);
    EXPECT_EQ(gxsim::GetSettingsPath(), "/tmp/gx/s.ini");
    ASSERT_TRUE(gxsim::LoadProfileFromData("[camera]\nstate=2\n", &err)) << err;
    EXPECT_EQ(gxsim::GetModel(), "T-SIMTV55");
    EXPECT_TRUE(gxsim::HiddenMotionEntryPoints().empty());
    EXPECT_EQ(gxsim::GetCameraState(), 2);
    EXPECT_TRUE(gxsim::LoadProfile(GXSIM_DEFAULT_PROFILE, &err)) << err;
}

struct BadProfile {
    const char* text;
    const char* mentions;  // the message names the problem
};

class ProfileErrors : public SimTest, public ::testing::WithParamInterface<BadProfile> {};

TEST_P(ProfileErrors, AreReportedAndChangeNothing) {
    gxsim::SetCameraState(3);
    std::string err, file = dir() + "/bad.ini";
    EXPECT_FALSE(gxsim::LoadProfileFromData(GetParam().text, &err));
    EXPECT_NE(err.find(GetParam().mentions), std::string::npos) << err;
    EXPECT_EQ(gxsim::GetCameraState(), 3);
    WriteText(file, GetParam().text);
    EXPECT_FALSE(gxsim::LoadProfile(file, &err));
    EXPECT_NE(err.find("bad.ini"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ProfileErrors,
    ::testing::Values(
        // clang-format off
        BadProfile{"[camera]\nstate=2\nthis is not a key\n",     "this is not a key"},
        BadProfile{"[cmaera]\nstate=1\n",                        "cmaera"},
        BadProfile{"[camera]\nstat=1\n",                         "stat"},
        BadProfile{"[camera]\nstate=99999999999\n",              "99999999999"},
        BadProfile{"[system]\nmodel=A\nno-model=true\n",         "no-model"},
        BadProfile{"[factory]\n831=yes\n",                       "831"},
        BadProfile{"[face]\nfaces-in-view=1:2,3,4\n",            "1:2,3,4"},
        BadProfile{"[motion]\nhidden=gx_enable_swipe;gx_bogus\n", "gx_bogus"},
        BadProfile{"[settings]\npath=\n",                        "path"}),
    // clang-format on
    [](const auto& info) {
        std::string name = info.param.mentions;  // letters, digits and '_' only
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// ---- The trace ----------------------------------------------------------------------------------

// Each call in the trace names the process that made it, in a child forked after this process
// made calls too (a worker forked from the template); the trace keeps the newest calls within its
// bounds on calls and bytes, whatever their arguments.
TEST_F(SimTest, TheTraceNamesEachCallsProcessAndKeepsTheNewestWithinItsBound) {
    int state = 0;
    tvcamera_control_check_camera_state(&state);
    ASSERT_EQ(gxsim::Trace().back().pid, getpid());
    const uint64_t first = gxsim::Trace().back().seq;
    pid_t child = fork();
    if (child == 0) {
        tvcamera_control_check_camera_state(&state);
        _exit(gxsim::Trace().back().pid == getpid() ? 0 : 1);
    }
    EXPECT_EQ(WaitExit(child), 0);

    for (size_t i = 0; i < gxsim::kMaxTraceCalls; ++i) tvcamera_control_check_camera_state(&state);
    EXPECT_EQ(gxsim::Trace().size(), gxsim::kMaxTraceCalls);
    EXPECT_GT(gxsim::Trace().front().seq, first) << "the oldest call was kept";

    std::string image(1 << 20, 'p');
    for (char last = 'a'; last <= 'l'; ++last) {
        image.back() = last;
        gx_train_thumbnail(0, image.c_str());
    }
    std::vector<gxsim::TraceEntry> trace = gxsim::Trace();
    size_t bytes = 0;
    for (const gxsim::TraceEntry& entry : trace) bytes += gxsim::TraceEntryBytes(entry);
    EXPECT_LE(bytes, gxsim::kMaxTraceBytes);
    EXPECT_GT(bytes, gxsim::kMaxTraceBytes - (2u << 20)) << "more was dropped than needed";
    EXPECT_EQ(trace.back().args.at(1).back(), 'l');

    const std::string huge(gxsim::kMaxTraceBytes, 'h');
    gx_train_thumbnail(0, huge.c_str());
    EXPECT_EQ(gxsim::Trace().size(), 1u) << "a call over the bound is kept, alone";
}

// ---- The log service ---------------------------------------------------------------------------

// Each test runs in a process of its own (ctest), so the first lines here are held until the
// sink is chosen.
TEST_F(SimTest, LogIsHeldEscapedFilteredReopenedAndWholeAcrossProcesses) {
    gxsim::SetLogQuiet(false);
    std::string file = dir() + "/log", rotated = file + ".1";
    __dlog_print(LOG_ID_MAIN, 4, "T", "held %s", "early");
    std::string err;
    ASSERT_TRUE(gxsim::OpenLog(file, &err)) << err;
    __dlog_print(LOG_ID_MAIN, 4, "T", "two\nlines");
    const std::string longTag(1100, 't');  // a head too long for the line's stack buffer
    __dlog_print(LOG_ID_MAIN, 16, longTag.c_str(), "%s", "x");
    const std::string fits(1015, 'f');  // "[4] T: " and this: the longest line the buffer holds
    __dlog_print(LOG_ID_MAIN, 4, "T", "%s", fits.c_str());
    gxsim::SetLogLevel(4);
    __dlog_print(LOG_ID_MAIN, 2, "T", "dropped");
    gxsim::SetLogLevel(0);
    gxsim::FlushLog();
    const std::string held =
        "[4] T: held early\n[4] T: two\\nlines\n[16] " + longTag + ": x\n[4] T: " + fits + "\n";
    EXPECT_EQ(ReadFile(file), held);

    ASSERT_EQ(rename(file.c_str(), rotated.c_str()), 0);
    ASSERT_TRUE(gxsim::ReopenLog(&err)) << err;
    // Threads of this process and another process write long lines into the one file at once.
    constexpr int kThreads = 3, kLines = 1500;
    pid_t other = Spawn({kSelf, "--log-writer", file, std::to_string(kLines)});
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::string body(static_cast<size_t>(100 + t * 1500), static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                __dlog_print(LOG_ID_MAIN, 4, "W", "%d %d %s", t, i, body.c_str());
        });
    for (auto& th : threads) th.join();
    gxsim::FlushLog();
    EXPECT_EQ(WaitExit(other), 0);
    gxsim::SetLogQuiet(true);
    EXPECT_EQ(ReadFile(rotated), held);
    std::istringstream text(ReadFile(file));
    std::map<int, int> next;
    int count = 0;
    for (std::string line; std::getline(text, line); ++count) {
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(sscanf(line.c_str(), "[4] W: %d %d %n", &t, &i, &used), 2) << line;
        std::string body(static_cast<size_t>(100 + t * 1500), static_cast<char>('a' + t));
        ASSERT_EQ(line.substr(static_cast<size_t>(used)), body) << "torn line: " << line;
        EXPECT_EQ(i, next[t]++) << "lines of one writer out of order";
    }
    EXPECT_EQ(count, (kThreads + 1) * kLines);
}

// A worker marks its lines, those held before it knew it was one too, once each; here in the
// default file, whose directories are made.
TEST_F(SimTest, AWorkersLinesAreMarkedThoseHeldBeforeItKnewToo) {
    gxsim::SetLogQuiet(false);
    __dlog_print(LOG_ID_MAIN, 4, "T", "held");
    __dlog_print(LOG_ID_MAIN, 4, "T", "[worker 77] marked already");
    ASSERT_EQ(setenv("GXEMP_LOG_WORKER", "77", 1), 0);
    ASSERT_EQ(setenv("XDG_STATE_HOME", (dir() + "/state/deeper").c_str(), 1), 0);
    unsetenv("JOURNAL_STREAM");
    unsetenv("INVOCATION_ID");
    std::string file = dir() + "/state/deeper/gxemp/gxemp.log", err;
    ASSERT_TRUE(gxsim::OpenLog("", &err)) << err;
    EXPECT_EQ(gxsim::LogPath(), file);
    EXPECT_EQ(getenv("GXEMP_LOG_WORKER"), nullptr) << "passed on to the worker's children";
    EXPECT_EQ(__dlog_print(LOG_ID_MAIN, 4, "T", "after"), 13) << "the line's bytes, as given";
    gxsim::FlushLog();
    gxsim::SetLogQuiet(true);
    EXPECT_EQ(
        ReadFile(file),
        "[4] T: [worker 77] held\n[4] T: [worker 77] marked already\n[4] T: [worker 77] after\n");
}

// ---- The motion library as a shared object -----------------------------------------------------

// Destroying the instance (false) and resetting the simulator (true) both wait for a callback that
// runs, and drop the signal queued behind it.
class EndingTest : public SimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EndingTest, WaitsForARunningCallbackAndDropsQueuedSignals) {
    void* lib = dlopen(GXSIM_GESTURE_BRIDGE_PATH, RTLD_LAZY);
    ASSERT_NE(lib, nullptr) << dlerror();
    Recorder rec;
    const int h = rec.Instance(lib);
    ASSERT_NE(h, 0);
    gxsim::EmitMotionSignal(1005, std::string("held"));
    gxsim::EmitMotionSignal(1005, std::string("queued"));
    ASSERT_TRUE(gxtest::WaitUntil([&] { return rec.Count() == 1; }));
    std::atomic<bool> returned{false};
    bool doneWhenReturned = false;
    std::thread ender([&] {
        if (GetParam())
            gxsim::Reset();
        else
            reinterpret_cast<gx_motion_recog_destroy_t>(dlsym(lib, "gx_motion_recog_destroy"))(h);
        std::lock_guard<std::mutex> lk(rec.mu);
        doneWhenReturned = rec.inside == 0;
        returned = true;
    });
    std::this_thread::sleep_for(30ms);  // room for an ending that does not wait to return
    EXPECT_FALSE(returned);
    rec.Release();
    ender.join();
    EXPECT_TRUE(doneWhenReturned);
    gxsim::Drain();
    EXPECT_EQ(rec.texts, std::vector<std::string>{"held"});  // "queued" went with the instance
    dlclose(lib);
}

INSTANTIATE_TEST_SUITE_P(Motion, EndingTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reset" : "Destroy"; });

// ---- The face library's files ------------------------------------------------------------------

TEST_F(SimTest, FacesAreTrainedIntoImagesThumbnailsReadAndImagesEncrypted) {
    int h = 0;
    ASSERT_EQ(gx_face_recog_create(&h), 1);
    gxsim::SetFacesInView({{4, 0, 0, 10, 10}});
    gx_face_detect_data first{1, 0, 0, 0, 0};
    ASSERT_EQ(gx_start_face_training(h, &first), 1);
    ASSERT_EQ(gxsim::StoredFaces().size(), 1u);
    std::string trained = gxsim::StoredFaces()[0].imagePath;
    EXPECT_EQ(ReadFile(trained).compare(0, 3, "P5\n"), 0);
    // A copy of the image trains a second face of the same person; a file that is no image, none.
    std::string copy = dir() + "/thumb.pgm", junk = dir() + "/junk.txt";
    WriteText(copy, ReadFile(trained));
    WriteText(junk, "not an image");
    EXPECT_EQ(gx_train_thumbnail(h, copy.c_str()), 1);
    EXPECT_EQ(gx_train_thumbnail(h, junk.c_str()), 0);
    // An image over the limit is not read at all.
    std::string huge = dir() + "/huge.pgm";
    WriteText(huge, ReadFile(trained) + std::string(gxsim::kMaxImageBytes, '\0'));
    EXPECT_EQ(gx_train_thumbnail(h, huge.c_str()), 0);
    ASSERT_EQ(gxsim::StoredFaces().size(), 2u);
    // Each image was written aside and moved under its face id: nothing is left aside.
    for (const auto& entry : std::filesystem::directory_iterator(dir() + "/faces"))
        EXPECT_EQ(entry.path().filename().string().rfind(".incoming-", 0), std::string::npos)
            << entry.path();
    EXPECT_EQ(gxsim::StoredFaces()[1].person, 4);

    std::vector<char> path(copy.begin(), copy.end());
    path.push_back('\0');
    const std::string plain = ReadFile(copy);
    EXPECT_EQ(gx_decrypt_face_image(h, path.data()), 0);  // not encrypted
    EXPECT_EQ(gx_encrypt_face_image(h, path.data()), 1);
    EXPECT_EQ(ReadFile(copy).find("P5"), std::string::npos);
    EXPECT_EQ(gx_encrypt_face_image(h, path.data()), 0);  // already encrypted
    EXPECT_EQ(gx_decrypt_face_image(h, path.data()), 1);
    EXPECT_EQ(ReadFile(copy), plain);
}

// ---- Limits -------------------------------------------------------------------------------------

// What the TV's state is now, as far as the rows below can change it.
std::string Fingerprint() {
    std::string f = gxsim::GetModel().value_or("(none)") + "|" + gxsim::GetFaceImageDirectory() +
                    "|" + gxsim::GetSettingsPath() + "|" +
                    std::to_string(gxsim::GetFacesInView().size()) + "|" +
                    std::to_string(gxsim::HiddenMotionEntryPoints().size());
    return f + "|" + std::to_string(gxsim::GetFactoryItem(7).value_or(-1));
}

// The message of a change's refusal, "" when it was done: a setter's, and a profile's.
template <class Set>
std::string Refused(Set set) {
    gxsim::Refusal why;
    return set(&why) ? "" : why.message;
}
std::string ProfileRefused(const std::string& profile) {
    std::string error;
    return gxsim::LoadProfileFromData(profile, &error) ? "" : error;
}

struct OverLimit {
    const char* name;
    std::string (*change)();  // the refusal's message ("" when it was done)
    const char* mentions;     // the limit it names
};

class Limits : public SimTest, public ::testing::WithParamInterface<OverLimit> {};

// A change over a limit is refused whole, names the limit, and leaves the state as it was; the
// next change within the limits is done. After a reset, a refused change restores the state the
// reset left, not the one before it (a reset keeps no serialised copy to restore from).
TEST_P(Limits, RefuseTheWholeChangeAndNameTheLimit) {
    ASSERT_TRUE(gxsim::SetModel(std::string("before")));
    ASSERT_TRUE(gxsim::SetFacesInView({{1, 2, 3, 4, 5}}));
    ASSERT_TRUE(gxsim::SetFactoryItem(7, 70));
    std::string before = Fingerprint();
    std::string message = GetParam().change();
    EXPECT_NE(message.find(GetParam().mentions), std::string::npos) << message;
    EXPECT_EQ(Fingerprint(), before);
    EXPECT_TRUE(gxsim::SetModel(std::string(gxsim::kMaxTextBytes, 'm')));
    gxsim::Reset();
    before = Fingerprint();
    EXPECT_NE(GetParam().change(), "");
    EXPECT_EQ(Fingerprint(), before) << "after a reset";
}

const std::string kOverText(gxsim::kMaxTextBytes + 1, 'x'), kOverPath = "/" + kOverText.substr(1);

INSTANTIATE_TEST_SUITE_P(
    Sim, Limits,
    ::testing::Values(
        // clang-format off
        OverLimit{"ModelText", [] { return Refused([](auto* why) { return gxsim::SetModel(kOverText, why); }); }, "4096 bytes"},
        OverLimit{"FaceImageDirectory", [] { return Refused([](auto* why) { return gxsim::SetFaceImageDirectory(kOverPath, why); }); }, "4096 bytes"},
        OverLimit{"SettingsPath", [] { return Refused([](auto* why) { return gxsim::SetSettingsPath(kOverPath, why); }); }, "4096 bytes"},
        OverLimit{"FacesInView", [] { return Refused([](auto* why) { return gxsim::SetFacesInView(std::vector<gxsim::ViewFace>(gxsim::kMaxFacesInView + 1), why); }); }, "limit of 1024 faces"},
        OverLimit{"HiddenName", [] { return Refused([](auto* why) { return gxsim::SetHiddenMotionEntryPoints({"gx_enable_swipe", "gx_no"}, why); }); }, "motion entry point"},
        // clang-format on
        // Many small items, each within its limits: the state as a whole would pass its own.
        OverLimit{"WholeState",
                  [] {
                      std::string profile = "[system]\nmodel=after\n[factory]\n7=1\n";
                      for (int id = 1000; id < 40000; ++id)
                          profile += std::to_string(id) + "=" + std::to_string(id) + "\n";
                      return ProfileRefused(profile);
                  },
                  "limit of 262144 bytes"},
        OverLimit{"ProfileFaces",
                  [] {
                      std::string profile = "[face]\nfaces-in-view=";
                      for (size_t i = 0; i <= gxsim::kMaxFacesInView; ++i) profile += "1:1,2,3,4;";
                      return ProfileRefused(profile);
                  },
                  "limit of 1024 faces"}),
    [](const ::testing::TestParamInfo<OverLimit>& info) { return info.param.name; });

// ---- Face image directories --------------------------------------------------------------------

// The default directory of a TV goes when its process exits; a later start removes those of
// processes that are gone, and only what is ours in them.
TEST_F(SimTest, FaceImageDirectoriesOfEndedRunsAreRemoved) {
    std::string base = dir() + "/runtime/gxemp-sim";
    const char* saved = g_getenv("XDG_RUNTIME_DIR");
    std::string restore = saved ? saved : "";
    g_setenv("XDG_RUNTIME_DIR", (dir() + "/runtime").c_str(), TRUE);

    pid_t trainer = Spawn({kSelf, "--face-trainer"});
    ASSERT_EQ(WaitExit(trainer), 0) << "the trainer found no image of its own";
    EXPECT_FALSE(std::filesystem::exists(base + "/faces-" + std::to_string(trainer)));

    // A run that ended without cleaning up (a pid now gone), one that still runs (this one's
    // parent), one with a file that is not ours.
    pid_t gone = Spawn({kSelf, "--store-writer", settings(), "k", "0"});
    ASSERT_EQ(WaitExit(gone), 0);
    std::string stale = base + "/faces-" + std::to_string(gone);
    std::string alive = base + "/faces-" + std::to_string(getppid());
    std::string foreign = base + "/faces-" + std::to_string(trainer);
    for (const std::string& d : {stale, alive, foreign}) {
        std::filesystem::create_directories(d);
        WriteText(d + "/face-1.pgm", "P5\n");
        WriteText(d + "/.incoming-1-1.pgm", "P5\n");
    }
    WriteText(foreign + "/notes.txt", "mine");
    gxsim::RemoveStaleFaceImageDirectories();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(alive + "/face-1.pgm"));
    EXPECT_TRUE(std::filesystem::exists(foreign + "/notes.txt"));
    EXPECT_FALSE(std::filesystem::exists(foreign + "/face-1.pgm"));

    if (saved)
        g_setenv("XDG_RUNTIME_DIR", restore.c_str(), TRUE);
    else
        g_unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
