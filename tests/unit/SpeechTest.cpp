// The voice-guide switch over the settings store, and the speech and status commands.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "PluginFixture.h"
#include "vconf.h"

namespace gxtest {
namespace {

const char kKey[] = "db/menu/accessibility/tts";

class SpeechTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        m_Store = m_Dir + "/settings.ini";
        m_Engine = NewEngine();
        TakeLog();
    }
    int Stored() {
        int value = -99;
        EXPECT_EQ(vconf_get_int(kKey, &value), 0);
        return value;
    }
    // The store file as it is on disk: content and inode (a write replaces the file).
    std::pair<std::string, ino_t> Snapshot() {
        std::ifstream in(m_Store);
        std::stringstream content;
        content << in.rdbuf();
        struct stat st {};
        stat(m_Store.c_str(), &st);
        return {content.str(), st.st_ino};
    }
    std::string m_Store;
    kiv::CEmpEngineGX* m_Engine = nullptr;
};

TEST_F(SpeechTest, FreshStoreHasTheVoiceGuideOffSoEnablingSucceeds) {
    EXPECT_EQ(Stored(), 0);
    EXPECT_TRUE(Exec(m_Engine, "EnableTTSEngine").IsInt(1));
    EXPECT_EQ(Stored(), 1);
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(
        Contains(texts, "the privous value of vconf key [db/menu/accessibility/tts]  is [0]"));
    EXPECT_TRUE(
        Contains(texts, "the current value of vconf key [db/menu/accessibility/tts]  is [1]"));
}

TEST_F(SpeechTest, EnablingWhenAlreadyOnWritesNothing) {
    ASSERT_EQ(vconf_set_int(kKey, 1), 0);
    auto before = Snapshot();
    ASSERT_FALSE(before.first.empty());
    EXPECT_TRUE(Exec(m_Engine, "EnableTTSEngine").IsInt(1));
    auto after = Snapshot();
    EXPECT_EQ(after.first, before.first);
    EXPECT_EQ(after.second, before.second);  // not even rewritten with the same content
    EXPECT_TRUE(Contains(TakeMessages(),
                         "the privous value of vconf key [db/menu/accessibility/tts]  is [1]"));
}

TEST_F(SpeechTest, DisablingWritesZero) {
    ASSERT_EQ(vconf_set_int(kKey, 1), 0);
    EXPECT_TRUE(Exec(m_Engine, "DisableTTSEngine").IsInt(1));
    EXPECT_EQ(Stored(), 0);
    EXPECT_TRUE(Contains(TakeMessages(), "[Execute] ----- DisableTTSEngine "));
}

TEST_F(SpeechTest, UnreadableStoreFailsAndWritesNothing) {
    {
        std::ofstream corrupt(m_Store, std::ios::trunc);
        corrupt << "[vconf\nthis is not a key file\n";
    }
    auto before = Snapshot();
    EXPECT_TRUE(Exec(m_Engine, "EnableTTSEngine").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "DisableTTSEngine").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "IsSupportTTS").IsInt(0));
    EXPECT_EQ(Snapshot(), before);
    std::vector<std::string> texts = TakeMessages();
    EXPECT_TRUE(Contains(texts, "vconf get caption fails"));
    EXPECT_TRUE(Contains(texts, "vconf get tts fails"));
}

TEST_F(SpeechTest, IsSupportTTSReturnsTheStoredValueItself) {
    for (int value : {0, 1, 7, -3}) {
        ASSERT_EQ(vconf_set_int(kKey, value), 0);
        EXPECT_TRUE(Exec(m_Engine, "IsSupportTTS").IsInt(value));
    }
    EXPECT_TRUE(Contains(TakeMessages(), "IsSupportTTS  get -3"));
}

TEST_F(SpeechTest, ExcludedModelHasNoSpeechAndTheKeyIsNotRead) {
    ASSERT_EQ(vconf_set_int(kKey, 1), 0);
    gxsim::SetModel(std::string("T-VRDLBGYC-X1"));
    TakeLog();
    EXPECT_TRUE(Exec(m_Engine, "IsSupportTTS").IsInt(0));
    for (const std::string& t : TakeMessages()) {
        EXPECT_EQ(t.find("IsSupportTTS  get"), std::string::npos) << t;
    }
    // The other excluded models of the capability check still have speech.
    gxsim::SetModel(std::string("T-VRDLPQNC"));
    EXPECT_TRUE(Exec(m_Engine, "IsSupportTTS").IsInt(1));
}

TEST_F(SpeechTest, FixedAnswers) {
    ASSERT_EQ(vconf_set_int(kKey, 1), 0);
    EXPECT_TRUE(Exec(m_Engine, "IsTTSEngineEnabled").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "StopTTSEngine").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "StartTTSEngine", "").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "StartTTSEngine", "hello").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "IsTTSInPlaying").IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "GetUserLevel").IsText("Beginner"));
}

TEST_F(SpeechTest, SpeechIsServedWithMotionAndFaceOff) {
    gxsim::SetModel(std::string("T-VRDLTSWC"));
    kiv::CEmpEngineGX* none = NewEngine();
    EXPECT_TRUE(Exec(none, "EnableTTSEngine").IsInt(1));
    EXPECT_TRUE(Exec(none, "GetUserLevel").IsText("Beginner"));
    EXPECT_FALSE(Exec(none, "GetGestureCameraStatus").served);
    EXPECT_FALSE(Exec(none, "StartFaceDetection").served);
}

}  // namespace
}  // namespace gxtest
