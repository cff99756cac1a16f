// Engine start-up and teardown, the capability check and the motion-library loader.
#include <dlfcn.h>

#include <set>

#include "EngineTest.h"

namespace gxtest {
namespace {
using gxtest::operator<<;  // a failed row is shown by its log

struct TvRow {
    const char* model;  // nullptr: the TV gives no model text
    int motionItem;     // factory item 831, kNo: reading it fails
    int voiceItem;      // factory item 830, kNo: reading it fails
    int create;         // forced result of gx_motion_recog_create
    bool motion;        // the motion commands are served
    bool face;          // the face commands are served
    const char* log;    // the check's lines (and a failed handle creation's)
};

// clang-format off
#define CHECK(model, code, same) "16 MatchModelType: Check if the current TV Model-(" model ") same as (" code ") == " same
#define NOT_LISTED "16 MatchSpecifiedModels: Current TV Model do not belong to specified models"
#define ITEMS(m, v) "16 m_IsSupportGX: The value of ID_MRT_MOTION_RECOG is " #m " | 16 m_IsSupportGX: The value of ID_MRT_VOICE_RECOG is " #v
#define EXCLUDED(model, code) "16 MatchSpecifiedModels: Current TV Model (==" model "==) is one of the specified models (==" code "==)! | 16 m_IsSupportGX: current model " model " don't support motion control and voice recognition"

const TvRow kTvRows[] = {
    {"T-SIMTV55", 1, 1, kNo, true, true, NOT_LISTED " | " ITEMS(1, 1)},
    {"T-VRDLPQNC", 1, 1, kNo, false, false, EXCLUDED("T-VRDLPQNC", "T-VRDLPQNC")},
    {"T-VRDLTSWCX55", 1, 1, kNo, false, false, EXCLUDED("T-VRDLTSWCX55", "T-VRDLTSWC")},
    {"T-VRDLBGYC", 1, 1, kNo, false, false, EXCLUDED("T-VRDLBGYC", "T-VRDLBGYC")},
    {"T-VRDL", 1, 1, kNo, true, true, NOT_LISTED " | " ITEMS(1, 1)},
    {"t-vrdlpqnc", 1, 1, kNo, true, true, NOT_LISTED " | " ITEMS(1, 1)},
    {nullptr, 1, 1, kNo, true, true, "16 GetSWVersion: can not get current TV Model | " NOT_LISTED " | " ITEMS(1, 1)},
    {"T-SIMTV55", 5, 0, kNo, true, true, NOT_LISTED " | " ITEMS(5, 0)},
    {"T-SIMTV55", 0, 1, kNo, false, false, NOT_LISTED " | " ITEMS(0, 1)},
    {"T-SIMTV55", kNo, 1, kNo, false, false, NOT_LISTED " | 16 m_IsSupportGX: GetData of ID_MRT_MOTION_RECOG failed"},
    {"T-SIMTV55", 1, kNo, kNo, true, true, NOT_LISTED " | 16 m_IsSupportGX: The value of ID_MRT_MOTION_RECOG is 1 | 16 m_IsSupportGX: GetData of ID_MRT_VOICE_RECOG failed"},
    {"T-SIMTV55", 1, 1, 0, false, true, NOT_LISTED " | " ITEMS(1, 1) " | 16 Initial: CreateMotionHandle failed"},
};
// clang-format on

class TvTable : public PluginTest, public ::testing::WithParamInterface<TvRow> {};

TEST_P(TvTable, SupportFlags) {
    const TvRow& row = GetParam();
    gxsim::SetModel(row.model ? std::optional<std::string>(row.model) : std::nullopt);
    auto item = [](int value) { return value == kNo ? std::nullopt : std::optional<int>(value); };
    gxsim::SetFactoryItem(831, item(row.motionItem));
    gxsim::SetFactoryItem(830, item(row.voiceItem));
    if (row.create != kNo) gxsim::ForceResult("gx_motion_recog_create", row.create);
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_EQ(Render(TakeLog(), {"Initial", "LoadMotionLib", "GetSWVersion", "MatchSpecifiedModels",
                                 "m_IsSupportGX"}),
              std::string("2 Initial | 16 LoadMotionLib: Loading motion lib | ") + row.log);
    EXPECT_EQ(Calls(), row.create != kNo ? "gx_motion_recog_create(&)=0"
                       : row.motion      ? "gx_motion_recog_create(&)=1 handle=700"
                                         : "");
    EXPECT_EQ(Exec(engine, "IsMotionRecognitionEnabled").served, row.motion);
    EXPECT_EQ(Exec(engine, "StopFaceDetection").served, row.face);
    EXPECT_TRUE(Exec(engine, "GetUserLevel").served);
    Calls();
    Destroy(engine);  // the motion handle is destroyed only where motion is on
    EXPECT_EQ(Calls(), row.motion ? "gx_motion_recog_destroy(M)=1" : "");
}
INSTANTIATE_TEST_SUITE_P(Models, TvTable, ::testing::ValuesIn(kTvRows));

using LoaderTest = PluginTest;

TEST_F(LoaderTest, ReportsEachMissingEntryPointFromItsOwnStatement) {
    const std::vector<std::string>& names = gxsim::MotionEntryPoints();
    ASSERT_TRUE(gxsim::SetHiddenMotionEntryPoints({names.begin(), names.end()}));
    kiv::CEmpProviderPlugin loader;
    loader.LoadMotionLib();
    std::string expected = "16 LoadMotionLib: Loading motion lib";
    for (const std::string& name : names)
        expected += " | 16 LoadMotionLib: " + name + " get symbol failed";
    std::vector<LogLine> log = TakeLog();
    std::set<int> lines;
    for (const LogLine& line : log) lines.insert(line.line);
    EXPECT_EQ(lines.size(), names.size() + 1);
    EXPECT_EQ(Render(log), expected);
    loader.UnLoadMotionLib();
}

TEST_F(LoaderTest, OpensOnceAndClosesOnce) {
    kiv::CEmpProviderPlugin loader;
    loader.LoadMotionLib();
    // A second open would look the entry points up again and miss the one hidden now.
    gxsim::SetHiddenMotionEntryPoints({"gx_enable_swipe"});
    loader.LoadMotionLib();
    EXPECT_NE(kiv::CEmpProviderPlugin::gx_enable_swipe, nullptr);
    loader.UnLoadMotionLib();
    loader.UnLoadMotionLib();
    EXPECT_EQ(kiv::CEmpProviderPlugin::gx_enable_swipe, nullptr);
    EXPECT_EQ(dlopen(GXEMP_TEST_MOTION_LIB, RTLD_LAZY | RTLD_NOLOAD), nullptr) << "still loaded";
    EXPECT_EQ(Log(),
              "16 LoadMotionLib: Loading motion lib | 16 LoadMotionLib: Loading motion lib | 2 "
              "LoadMotionLib: motion lib already loaded | 2 UnLoadMotionLib: motion lib already "
              "unloaded");
}

// clang-format off
const char kStartUp[] = "16 CreateEmpEngine: CEmpAppGX::CreateEmpEngine | 2 CEmpEngineGX | 16 CEmpEngineGX: m_vCtxList  add [E2] | 2 Initial | 16 LoadMotionLib: Loading motion lib | "
    CHECK("T-SIMTV55", "T-VRDLPQNC", "no") " | " CHECK("T-SIMTV55", "T-VRDLTSWC", "no") " | " CHECK("T-SIMTV55", "T-VRDLBGYC", "no") " | " NOT_LISTED " | " ITEMS(1, 1) " | 2 CreateMotionHandle";
const char kWalkAll[] = "2 ProcessSignal | 2 ProcessSignal: pThis[E1] | 2 ProcessSignal: m_MotionHandle = 700,   m_FaceHandle=900 | 2 ProcessSignal: pThis[E2] | 2 ProcessSignal: m_MotionHandle = 701,   m_FaceHandle=0 | 2 ProcessSignal: pThis[E3] | 2 ProcessSignal: m_MotionHandle = 702,   m_FaceHandle=0";
const char kWalkLeft[] = "2 ProcessSignal | 2 ProcessSignal: pThis[E1] | 2 ProcessSignal: m_MotionHandle = 700,   m_FaceHandle=900 | 2 ProcessSignal: pThis[E3] | 2 ProcessSignal: m_MotionHandle = 702,   m_FaceHandle=0";
// clang-format on

using RegistryTest = EngineTest;

// The registry in order of construction, shown by the callback's walk over it; the engine built
// last is the current one until any engine is torn down.
TEST_F(RegistryTest, EnginesRegisterInOrderAndTeardownUndoesStartUp) {
    kiv::CEmpEngineGX* second = NewEngine();
    EXPECT_EQ(Log(), kStartUp);
    kiv::CEmpEngineGX* third = NewEngine();
    EXPECT_EQ(kiv::CEmpEngineGX::m_pCtx, third);
    EXPECT_EQ(Calls(),
              "gx_motion_recog_create(&)=1 handle=701; gx_motion_recog_create(&)=1 handle=702");
    TakeLog();
    kiv::CEmpEngineGX::ProcessSignal(4242, 1005, nullptr, nullptr);
    EXPECT_EQ(Log(), kWalkAll);
    Destroy(second);
    EXPECT_EQ(kiv::CEmpEngineGX::m_pCtx, nullptr);
    // Its unload clears the process-wide entry points, for every engine.
    EXPECT_EQ(kiv::CEmpProviderPlugin::gx_start_motion_recog, nullptr);
    EXPECT_EQ(Calls(), "gx_motion_recog_destroy(701)=1");
    EXPECT_EQ(Log(),
              "2 ~CEmpEngineGX | 2 DestroyMotionHandle | 16 ~CEmpEngineGX: remove pointer (E2)");
    kiv::CEmpEngineGX::ProcessSignal(4242, 1005, nullptr, nullptr);
    EXPECT_EQ(Log(), kWalkLeft);
}

}  // namespace
}  // namespace gxtest
