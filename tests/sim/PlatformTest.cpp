// System information, factory data, camera control, logging and profiles.
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "SimFixture.h"
#include "dlog.h"
#include "factory_data.h"
#include "system_info.h"
#include "tvcamera_control.h"

namespace {

using PlatformTest = SimTest;

TEST_F(PlatformTest, ModelTextIsAFreshCopyOrNothing) {
    char* text = nullptr;
    ASSERT_EQ(system_info_get_value_string(SYSTEM_INFO_KEY_MODEL_NAME, &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "T-SIMTV55");
    free(text);

    gxsim::SetModel(std::string("T-VRDLTSWC-55"));
    ASSERT_EQ(system_info_get_value_string(SYSTEM_INFO_KEY_MODEL_NAME, &text), 0);
    EXPECT_STREQ(text, "T-VRDLTSWC-55");
    free(text);

    gxsim::SetModel(std::nullopt);
    text = nullptr;
    EXPECT_NE(system_info_get_value_string(SYSTEM_INFO_KEY_MODEL_NAME, &text), 0);
    EXPECT_EQ(text, nullptr);
    gxsim::SetModel(std::string("X"));
    EXPECT_NE(system_info_get_value_string(1105, &text), 0);
    EXPECT_EQ(text, nullptr);
}

TEST_F(PlatformTest, FactoryItemsReadOrFail) {
    int v = -1;
    EXPECT_NE(GetData(ID_MRT_MOTION_RECOG, &v), 0);
    EXPECT_EQ(v, 1);
    v = -1;
    EXPECT_NE(GetData(ID_MRT_VOICE_RECOG, &v), 0);
    EXPECT_EQ(v, 1);

    gxsim::SetFactoryItem(ID_MRT_MOTION_RECOG, 5);
    gxsim::SetFactoryItem(ID_MRT_VOICE_RECOG, std::nullopt);
    EXPECT_NE(GetData(ID_MRT_MOTION_RECOG, &v), 0);
    EXPECT_EQ(v, 5);
    v = -1;
    EXPECT_EQ(GetData(ID_MRT_VOICE_RECOG, &v), 0);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(GetData(12345, &v), 0);
}

TEST_F(PlatformTest, CameraStateAndQueryResult) {
    int st = -1;
    EXPECT_EQ(tvcamera_control_check_camera_state(&st), 0);
    EXPECT_EQ(st, 1);
    gxsim::SetCameraState(4);
    EXPECT_EQ(tvcamera_control_check_camera_state(&st), 0);
    EXPECT_EQ(st, 4);
    gxsim::SetCameraQueryResult(-3);
    st = 77;
    EXPECT_EQ(tvcamera_control_check_camera_state(&st), -3);
    EXPECT_EQ(st, 77);
    auto t = gxsim::Trace();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].detail, "state=4");
    EXPECT_EQ(t[2].result, -3);

    gxsim::SetCameraQueryResult(0);
    ASSERT_TRUE(gxsim::ForceResult("tvcamera_control_check_camera_state", 8));
    EXPECT_EQ(tvcamera_control_check_camera_state(&st), 8);
    EXPECT_EQ(st, 77);
}

TEST_F(PlatformTest, LogLinesHaveTheFixedFormat) {
    gxsim::StartLogCapture();
    int n = __dlog_print(LOG_ID_MAIN, 16, "GX-EMP", "%s: %s(%d) > \033[31m %s\033[0m", "a.cpp", "F",
                         12, "hello");
    std::string longText(5000, 'z');
    __dlog_print(LOG_ID_MAIN, 2, "T", "%s", longText.c_str());
    auto lines = gxsim::TakeLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[16] GX-EMP: a.cpp: F(12) > \033[31m hello\033[0m");
    EXPECT_EQ(n, static_cast<int>(lines[0].size() + 1));
    EXPECT_EQ(lines[1], "[2] T: " + longText);
    EXPECT_TRUE(gxsim::TakeLogLines().empty());
    gxsim::StopLogCapture();
    __dlog_print(LOG_ID_MAIN, 2, "T", "after");
    EXPECT_TRUE(gxsim::TakeLogLines().empty());
}

TEST_F(PlatformTest, ConcurrentLinesNeverInterleaveInTheLogFile) {
    std::string file = dir() + "/log.txt";
    std::string err;
    ASSERT_TRUE(gxsim::OpenLog(file, &err)) << err;
    gxsim::SetLogQuiet(false);
    constexpr int kThreads = 4, kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Lines of different lengths, some longer than the formatting buffer.
            std::string body(static_cast<size_t>(100 + t * 700), static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                __dlog_print(LOG_ID_MAIN, 4, "W", "%d %d %s", t, i, body.c_str());
        });
    }
    for (auto& th : threads) th.join();
    gxsim::FlushLog();
    gxsim::SetLogQuiet(true);
    ASSERT_TRUE(gxsim::OpenLog("", &err));

    std::istringstream text(ReadText(file));
    std::map<int, int> next;
    int count = 0;
    for (std::string line; std::getline(text, line); ++count) {
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(sscanf(line.c_str(), "[4] W: %d %d %n", &t, &i, &used), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        std::string expect(static_cast<size_t>(100 + t * 700), static_cast<char>('a' + t));
        ASSERT_EQ(line.substr(static_cast<size_t>(used)), expect) << "torn line: " << line;
        EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_FALSE(gxsim::OpenLog(dir() + "/no/such/dir/log", &err));
    EXPECT_NE(err.find("no/such/dir"), std::string::npos);
}

// ---- Profiles ----------------------------------------------------------------------------------

TEST_F(PlatformTest, ProfileSetsTheStartState) {
    std::string err;
    ASSERT_TRUE(gxsim::LoadProfileFromData(R"(
[system]
no-model=true
[factory]
830=fail
831=0
900=12
[camera]
state=0
query-result=-2
[face]
version=unwritten
image-dir=/tmp/gxsim-profile-faces
faces-in-view=1:10,20,40,40; 2:100,20,30,30
[motion]
hidden=gx_enable_swipe;gx_is_motion_engine_valid
brightness=12
engine-valid=0
[settings]
path=/tmp/gxsim-profile/settings.ini
)",
                                           &err))
        << err;
    EXPECT_FALSE(gxsim::GetModel());
    EXPECT_FALSE(gxsim::GetFactoryItem(830));
    EXPECT_EQ(gxsim::GetFactoryItem(831), 0);
    EXPECT_EQ(gxsim::GetFactoryItem(900), 12);
    EXPECT_EQ(gxsim::GetCameraState(), 0);
    EXPECT_EQ(gxsim::GetCameraQueryResult(), -2);
    EXPECT_EQ(gxsim::GetFaceImageDirectory(), "/tmp/gxsim-profile-faces");
    auto faces = gxsim::GetFacesInView();
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_EQ(faces[1].person, 2);
    EXPECT_EQ(faces[1].w, 30);
    EXPECT_EQ(gxsim::HiddenMotionEntryPoints(),
              (std::set<std::string>{"gx_enable_swipe", "gx_is_motion_engine_valid"}));
    EXPECT_EQ(gxsim::GetMotionAnswers().brightness, 12);
    EXPECT_EQ(gxsim::GetMotionAnswers().engineValid, 0);
    EXPECT_EQ(gxsim::GetMotionAnswers().slapValid, 1);
    EXPECT_EQ(gxsim::GetSettingsPath(), "/tmp/gxsim-profile/settings.ini");

    // Another profile starts again from the defaults.
    ASSERT_TRUE(gxsim::LoadProfileFromData("[camera]\nstate=2\n", &err)) << err;
    EXPECT_EQ(gxsim::GetModel(), "T-SIMTV55");
    EXPECT_EQ(gxsim::GetFactoryItem(830), 1);
    EXPECT_TRUE(gxsim::HiddenMotionEntryPoints().empty());
    EXPECT_EQ(gxsim::GetCameraState(), 2);
}

TEST_F(PlatformTest, ShippedDefaultProfileLoads) {
    std::string err;
    EXPECT_TRUE(gxsim::LoadProfile(GXSIM_DEFAULT_PROFILE, &err)) << err;
    EXPECT_FALSE(gxsim::LoadProfile(dir() + "/absent.ini", &err));
    EXPECT_NE(err.find("absent.ini"), std::string::npos);
}

struct BadProfile {
    const char* text;
    const char* mentions;  // the error names the problem
};

class ProfileErrors : public SimTest, public ::testing::WithParamInterface<BadProfile> {};

TEST_P(ProfileErrors, AreReportedAndChangeNothing) {
    gxsim::SetCameraState(3);
    std::string err;
    EXPECT_FALSE(gxsim::LoadProfileFromData(GetParam().text, &err));
    EXPECT_NE(err.find(GetParam().mentions), std::string::npos) << err;
    EXPECT_EQ(gxsim::GetCameraState(), 3);
    EXPECT_EQ(gxsim::GetModel(), "T-SIMTV55");

    std::string file = dir() + "/bad.ini";
    WriteText(file, GetParam().text);
    EXPECT_FALSE(gxsim::LoadProfile(file, &err));
    EXPECT_NE(err.find("bad.ini"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ProfileErrors,
    ::testing::Values(
        BadProfile{"[camera]\nstate=2\nthis is not a key\n", "this is not a key"},
        BadProfile{"[camera\nstate=1\n", "camera"}, BadProfile{"[cmaera]\nstate=1\n", "cmaera"},
        BadProfile{"[camera]\nstat=1\n", "stat"}, BadProfile{"[camera]\nstate=1x\n", "1x"},
        BadProfile{"[camera]\nstate=99999999999\n", "99999999999"},
        BadProfile{"[system]\nmodel=A\nno-model=true\n", "no-model"},
        BadProfile{"[system]\nno-model=maybe\n", "maybe"},
        BadProfile{"[factory]\n831=yes\n", "831"}, BadProfile{"[factory]\nmotion=1\n", "motion"},
        BadProfile{"[face]\nversion=abc\n", "abc"},
        BadProfile{"[face]\nfaces-in-view=1:2,3,4\n", "1:2,3,4"},
        BadProfile{"[motion]\nhidden=gx_enable_swipe;gx_bogus\n", "gx_bogus"},
        BadProfile{"[settings]\npath=\n", "path"}, BadProfile{"\xff\xfe[camera]\n", "[camera]"}));

}  // namespace
