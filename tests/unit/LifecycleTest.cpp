// Engine start-up and teardown, the capability check and the application object.
#include <cstdio>

#include "EmpUtil.h"
#include "PluginFixture.h"

namespace gxtest {
namespace {

std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

using LifecycleTest = PluginTest;

TEST_F(LifecycleTest, ApplicationCarriesItsFiveStrings) {
    EXPECT_EQ(m_App->m_strName, "RECOG");
    EXPECT_EQ(m_App->m_strId, "0001");
    EXPECT_EQ(m_App->m_strVersion, "1.000");
    EXPECT_EQ(m_App->m_strLicense, "GPL");
    EXPECT_EQ(m_App->m_strCategory, "RECOG");
}

TEST_F(LifecycleTest, TwoEnginesAreRegisteredInOrderAndTheLastIsCurrent) {
    kiv::CEmpEngineGX* a = NewEngine();
    kiv::CEmpEngineGX* b = NewEngine();
    ASSERT_NE(a, b);
    EXPECT_EQ(kiv::CEmpEngineGX::m_pCtx, b);
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "m_vCtxList  add [" + Pointer(a) + "]"));
    EXPECT_TRUE(Contains(texts, "m_vCtxList  add [" + Pointer(b) + "]"));
    EXPECT_TRUE(Contains(texts, "CEmpAppGX::CreateEmpEngine"));

    // The callback walk shows the registry, front to back.
    kiv::CEmpEngineGX::ProcessSignal(424242, 1005, nullptr, nullptr);
    std::vector<std::string> walk;
    for (const std::string& t : TakeMessages()) {
        if (t.rfind("pThis[", 0) == 0) walk.push_back(t);
    }
    EXPECT_EQ(walk,
              (std::vector<std::string>{"pThis[" + Pointer(a) + "]", "pThis[" + Pointer(b) + "]"}));
}

TEST_F(LifecycleTest, DestroyingOneEngineKeepsTheOtherInPlaceAndClearsTheCurrentEngine) {
    kiv::CEmpEngineGX* a = NewEngine();
    kiv::CEmpEngineGX* b = NewEngine();
    kiv::CEmpEngineGX* c = NewEngine();
    TakeMessages();
    Destroy(b);
    EXPECT_EQ(kiv::CEmpEngineGX::m_pCtx, nullptr);
    EXPECT_TRUE(Contains(TakeMessages(), "remove pointer (" + Pointer(b) + ")"));

    kiv::CEmpEngineGX::ProcessSignal(424242, 1005, nullptr, nullptr);
    std::vector<std::string> walk;
    for (const std::string& t : TakeMessages()) {
        if (t.rfind("pThis[", 0) == 0) walk.push_back(t);
    }
    EXPECT_EQ(walk,
              (std::vector<std::string>{"pThis[" + Pointer(a) + "]", "pThis[" + Pointer(c) + "]"}));
}

TEST_F(LifecycleTest, StartUpCreatesTheMotionHandleAndTeardownUndoesItInOrder) {
    kiv::CEmpEngineGX* engine = NewEngine();
    auto created = Calls("gx_motion_recog_create");
    ASSERT_EQ(created.size(), 1u);
    ASSERT_EQ(gxsim::LiveMotionHandles().size(), 1u);
    const int handle = gxsim::LiveMotionHandles()[0];
    TakeLog();

    Destroy(engine);
    auto destroyed = Calls("gx_motion_recog_destroy");
    ASSERT_EQ(destroyed.size(), 1u);
    EXPECT_EQ(destroyed[0].args[0], std::to_string(handle));
    EXPECT_TRUE(gxsim::LiveMotionHandles().empty());

    // Trace, handle destruction (through the manager), registry removal, then the loader.
    std::vector<LogLine> log = TakeLog();
    std::vector<std::string> order;
    for (const LogLine& line : log) {
        if (line.function == "~CEmpEngineGX" && line.text.empty()) order.push_back("trace");
        if (line.function == "DestroyMotionHandle") order.push_back("destroy-handle");
        if (line.text.rfind("remove pointer (", 0) == 0) order.push_back("remove");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"trace", "destroy-handle", "remove"}));
}

TEST_F(LifecycleTest, FailedMotionHandleTurnsMotionOffAndLeavesFaceOn) {
    gxsim::ForceResult("gx_motion_recog_create", 0);
    kiv::CEmpEngineGX* engine = NewEngine();
    EXPECT_TRUE(Contains(TakeMessages(), "CreateMotionHandle failed"));
    Outcome motion = Exec(engine, "StartMotionRecognition");
    EXPECT_FALSE(motion.served);
    EXPECT_TRUE(motion.Untouched());
    EXPECT_TRUE(Exec(engine, "InitializeFace").served);
    Destroy(engine);
    EXPECT_TRUE(Calls("gx_motion_recog_destroy").empty());
}

// ---- Capability check
// ----------------------------------------------------------------------------

struct CapabilityCase {
    const char* label;
    std::optional<std::string> model;
    std::optional<int> motionItem;  // 831
    std::optional<int> voiceItem;   // 830
    bool motion;
    bool face;
    bool factoryRead;  // whether the check got as far as reading item 831
    const char* message;
};

class CapabilityTest : public PluginTest, public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(CapabilityTest, SetsTheSupportFlags) {
    const CapabilityCase& c = GetParam();
    gxsim::SetModel(c.model);
    gxsim::SetFactoryItem(831, c.motionItem);
    gxsim::SetFactoryItem(830, c.voiceItem);
    kiv::CEmpEngineGX* engine = NewEngine();
    std::vector<std::string> texts = TakeMessages();

    EXPECT_EQ(Exec(engine, "IsMotionRecognitionEnabled").served, c.motion);
    EXPECT_EQ(Exec(engine, "StopFaceDetection").served, c.face);
    // Speech has its own model test and is served either way.
    EXPECT_TRUE(Exec(engine, "GetUserLevel").IsText("Beginner"));
    EXPECT_EQ(Calls("gx_motion_recog_create").size(), c.motion ? 1u : 0u);
    bool read = false;
    for (const std::string& t : texts) {
        if (t.find("ID_MRT_MOTION_RECOG") != std::string::npos) read = true;
    }
    EXPECT_EQ(read, c.factoryRead);
    if (c.message != nullptr) {
        EXPECT_TRUE(Contains(texts, c.message)) << c.message;
    }
}

const CapabilityCase kCapabilityCases[] = {
    {"SupportedModel", std::string("T-SIMTV55"), 1, 1, true, true, true,
     "The value of ID_MRT_VOICE_RECOG is 1"},
    {"ExcludedFirst", std::string("T-VRDLPQNC"), 1, 1, false, false, false,
     "current model T-VRDLPQNC don't support motion control and voice recognition"},
    {"ExcludedSecondWithSuffix", std::string("T-VRDLTSWCX55"), 1, 1, false, false, false,
     "Current TV Model (==T-VRDLTSWCX55==) is one of the specified models (==T-VRDLTSWC==)!"},
    {"ExcludedThird", std::string("T-VRDLBGYC-EU"), 1, 1, false, false, false, nullptr},
    {"ShorterThanEveryCode", std::string("T-VRDL"), 1, 1, true, true, true,
     "Current TV Model do not belong to specified models"},
    {"CodeInLowerCase", std::string("t-vrdlpqnc"), 1, 1, true, true, true, nullptr},
    {"NoModelText", std::nullopt, 1, 1, true, true, true, "can not get current TV Model"},
    {"MotionItemFive", std::string("T-SIMTV55"), 5, 1, true, true, true,
     "The value of ID_MRT_MOTION_RECOG is 5"},
    {"MotionItemZero", std::string("T-SIMTV55"), 0, 1, false, false, true,
     "The value of ID_MRT_MOTION_RECOG is 0"},
    {"MotionItemFails", std::string("T-SIMTV55"), std::nullopt, 1, false, false, true,
     "GetData of ID_MRT_MOTION_RECOG failed"},
    {"VoiceItemFails", std::string("T-SIMTV55"), 1, std::nullopt, true, true, true,
     "GetData of ID_MRT_VOICE_RECOG failed"},
};

INSTANTIATE_TEST_SUITE_P(Models, CapabilityTest, ::testing::ValuesIn(kCapabilityCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(LifecycleTest, FailedMotionItemDoesNotReadTheVoiceItem) {
    gxsim::SetFactoryItem(831, std::nullopt);
    NewEngine();
    for (const std::string& t : TakeMessages()) {
        EXPECT_EQ(t.find("ID_MRT_VOICE_RECOG"), std::string::npos) << t;
    }
}

TEST_F(LifecycleTest, ModelMatchingComparesLeadingCharactersOnly) {
    std::string model = "T-VRDLBGYC55";
    std::string code = "T-VRDLBGYC";
    EXPECT_TRUE(kiv::CEMPUtil::MatchModelType(model, code));
    std::string shortModel = "T-VRDLBGY";
    EXPECT_FALSE(kiv::CEMPUtil::MatchModelType(shortModel, code));
    EXPECT_TRUE(Contains(TakeMessages(),
                         "Check if the current TV Model-(T-VRDLBGY) same as (T-VRDLBGYC) == no"));
    TakeMessages();
    std::vector<std::string> none;
    EXPECT_EQ(kiv::CEMPUtil::MatchSpecifiedModels(model, none), 1);
    std::vector<std::string> codes{"X", "T-VRDL", "T-VRDLBGYC"};
    EXPECT_EQ(kiv::CEMPUtil::MatchSpecifiedModels(model, codes), 0);
    std::vector<std::string> texts = TakeMessages();
    // The first match ends the search.
    EXPECT_TRUE(Contains(texts,
                         "Current TV Model (==T-VRDLBGYC55==) is one of the specified "
                         "models (==T-VRDL==)!"));
    EXPECT_FALSE(Contains(texts,
                          "Check if the current TV Model-(T-VRDLBGYC55) same as "
                          "(T-VRDLBGYC) == yes"));
}

}  // namespace
}  // namespace gxtest
