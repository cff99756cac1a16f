// Face commands: handle management, the face library calls and the JSON result queries.
#include <json/json.h>

#include "PluginFixture.h"

namespace gxtest {
namespace {

class FaceTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        m_Engine = NewEngine();
        ASSERT_TRUE(Exec(m_Engine, "InitializeFace").IsInt(1));
        ASSERT_EQ(gxsim::LiveFaceHandles().size(), 1u);
        m_Handle = std::to_string(gxsim::LiveFaceHandles()[0]);
        gxsim::ClearTrace();
        TakeLog();
    }
    kiv::CEmpEngineGX* m_Engine = nullptr;
    std::string m_Handle;
};

struct FaceCase {
    const char* command;
    const char* arg1;
    const char* arg2;
    const char* entry;
    std::vector<std::string> args;  // after the handle
    const char* trace;
};

class FaceCommandTest : public FaceTest, public ::testing::WithParamInterface<FaceCase> {};

TEST_P(FaceCommandTest, ReachesItsFunctionWithTheFaceHandle) {
    const FaceCase& c = GetParam();
    ASSERT_TRUE(gxsim::ForceResult(c.entry, 31));
    Outcome out = Exec(m_Engine, c.command, c.arg1, c.arg2, "x", "y");
    EXPECT_TRUE(out.served);
    EXPECT_TRUE(out.IsInt(31));
    auto calls = Calls(c.entry);
    ASSERT_EQ(calls.size(), 1u);
    std::vector<std::string> expected{m_Handle};
    expected.insert(expected.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(calls[0].args, expected);
    std::vector<LogLine> log = TakeLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].text, std::string("[Execute] ----- ") + c.trace + " ");
}

const FaceCase kFaceCases[] = {
    {"EnableFaceRecognition", "", "", "gx_enable_face_recognition", {"1"}, "EnableFaceRecognition"},
    {"StartFaceDetection", "", "", "gx_start_face_detection", {}, "StartFaceDetection"},
    {"StopFaceDetection", "", "", "gx_stop_face_detection", {}, "StopFaceDetection"},
    {"StopFaceTraining", "", "", "gx_stop_face_training", {}, "StopFaceTraining"},
    {"StopFaceRecognition", "", "", "gx_stop_face_recognition", {}, "StopFaceRecognition"},
    {"OverWriteThumbnail",
     "/img/a.pgm",
     "12",
     "gx_over_write_thumbnail",
     {"/img/a.pgm", "12"},
     "OverWriteThumbnail"},
    {"TrainThumbnail", "/img/b.pgm", "", "gx_train_thumbnail", {"/img/b.pgm"}, "TrainThumbnail"},
    {"EraseFace", "9", "", "gx_erase_face", {"9"}, "EraseFace"},
    {"ClearFaceRecogData", "", "", "gx_clear_face_recog_data", {}, "ClearFaceRecogData"},
    {"EraseFaceImageID", "4x", "", "gx_erase_face_image_id", {"4"}, "EraseFaceImageID"},
    {"EncryptFaceImage", "/img/c", "", "gx_encrypt_face_image", {"/img/c"}, "EncryptFaceImage"},
    {"DecryptFaceImage", "/img/d", "", "gx_decrypt_face_image", {"/img/d"}, "DecryptFaceImage"},
    {"DestroyFace", "", "", "gx_face_recog_destroy", {}, "DestroyFace"},
};

INSTANTIATE_TEST_SUITE_P(Commands, FaceCommandTest, ::testing::ValuesIn(kFaceCases),
                         [](const auto& info) { return std::string(info.param.command); });

struct RecordCase {
    const char* command;
    const char* arg1;
    const char* entry;
    const char* detail;
    const char* trace;
};

class FaceRecordTest : public FaceTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(FaceRecordTest, PassesADetectionRecordWithOnlyTheId) {
    const RecordCase& c = GetParam();
    EXPECT_TRUE(Exec(m_Engine, c.command, c.arg1).served);
    auto calls = Calls(c.entry);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[0], m_Handle);
    EXPECT_EQ(calls[0].detail.rfind(c.detail, 0), 0u) << calls[0].detail;
    EXPECT_TRUE(Contains(TakeMessages(), std::string("[Execute] ----- ") + c.trace + " "));
}

INSTANTIATE_TEST_SUITE_P(
    Records, FaceRecordTest,
    ::testing::Values(
        RecordCase{"StartFaceTraining", "7", "gx_start_face_training", "face={7,0,0,0,0}",
                   "StartFaceTraining"},
        RecordCase{"StartFaceTraining", "", "gx_start_face_training", "face={0,0,0,0,0}",
                   "StartFaceTraining"},
        RecordCase{"StartFaceRecognition", "3", "gx_start_face_recognition", "face={3,0,0,0,0}",
                   "StartFaceRecognition"},
        // The "All" variant behaves exactly like the plain one, command line included.
        RecordCase{"StartFaceRecognitionAll", "-2", "gx_start_face_recognition",
                   "face={-2,0,0,0,0}", "StartFaceRecognition"}),
    [](const auto& info) { return std::string(info.param.command) + std::to_string(info.index); });

TEST_F(FaceTest, InitialiseReplacesTheHandleAndDisableDestroysItButKeepsTheValue) {
    EXPECT_TRUE(Exec(m_Engine, "InitFaceRecognition").IsInt(1));
    ASSERT_EQ(gxsim::LiveFaceHandles().size(), 2u);  // the first one is not destroyed
    const std::string second = std::to_string(gxsim::LiveFaceHandles()[1]);
    gxsim::ClearTrace();
    gxsim::ForceResult("gx_face_recog_destroy", 17);
    EXPECT_TRUE(Exec(m_Engine, "DisableFaceRecognition").IsInt(17));
    auto enable = Calls("gx_enable_face_recognition");
    ASSERT_EQ(enable.size(), 1u);
    EXPECT_EQ(enable[0].args, (std::vector<std::string>{second, "0"}));
    ASSERT_EQ(Calls("gx_face_recog_destroy").size(), 1u);
    gxsim::ClearForcedResults();
    gxsim::ClearTrace();
    // The destroyed value is passed on until a new handle is created.
    Exec(m_Engine, "StartFaceDetection");
    ASSERT_EQ(Calls("gx_start_face_detection").size(), 1u);
    EXPECT_EQ(Calls("gx_start_face_detection")[0].args[0], second);
}

TEST_F(FaceTest, FaceOperationBeforeAnyHandlePassesZero) {
    kiv::CEmpEngineGX* fresh = NewEngine();
    gxsim::ClearTrace();
    Exec(fresh, "StopFaceDetection");
    ASSERT_EQ(Calls("gx_stop_face_detection").size(), 1u);
    EXPECT_EQ(Calls("gx_stop_face_detection")[0].args[0], "0");
}

TEST_F(FaceTest, SubscribeStopsAtTheFirstRefusalAndStillReturnsOne) {
    EXPECT_TRUE(Exec(m_Engine, "SubscribeFaceEvent", "").IsInt(1));
    EXPECT_EQ(Calls("gx_set_face_signal_subscribed").size(), 6u);
    gxsim::ClearTrace();
    gxsim::ForceResult("gx_set_face_signal_subscribed", 0);
    EXPECT_TRUE(Exec(m_Engine, "SubscribeFaceEvent", "app").IsInt(1));
    auto calls = Calls("gx_set_face_signal_subscribed");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[1], "0");
    EXPECT_EQ(calls[0].args[2],
              gxsim::FormatPointer(reinterpret_cast<void*>(&kiv::CEmpEngineGX::ProcessSignal)));
    gxsim::ClearTrace();
    gxsim::ForceResult("gx_face_signal_unsubscribed", 0);
    EXPECT_TRUE(Exec(m_Engine, "UnsubscribeFaceEvent", "app").IsInt(1));
    EXPECT_EQ(Calls("gx_face_signal_unsubscribed").size(), 6u);  // whatever each returns
}

TEST_F(FaceTest, OverWriteFaceReadsTheRecordFromJson) {
    // No face is stored under id 8: the library's refusal is the result.
    EXPECT_TRUE(Exec(m_Engine, "OverWriteFace", R"({"nDetectID":4,"x":1,"y":2,"w":3,"h":5})", "8")
                    .IsInt(0));
    EXPECT_TRUE(Exec(m_Engine, "OverWriteFace", R"({"x":11,"y":12})", "abc").served);
    auto calls = Calls("gx_over_write_face");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].detail, "face={4,1,2,3,5}");
    EXPECT_EQ(calls[0].args.back(), "8");
    EXPECT_EQ(calls[1].detail, "face={0,11,12,0,0}");
    EXPECT_EQ(calls[1].args.back(), "0");
    for (const char* text :
         {"not json", "", "[1,2]", R"({"x":"10"})", R"({"x":[1]})", R"({"h":1e12})"}) {
        Outcome out = Exec(m_Engine, "OverWriteFace", text, "1");
        EXPECT_TRUE(out.served) << text;
        EXPECT_TRUE(out.Untouched()) << text;
    }
    EXPECT_EQ(Calls("gx_over_write_face").size(), 2u);
}

TEST_F(FaceTest, FaceVersionIsFormattedIntoSevenCharacters) {
    const std::pair<std::optional<float>, const char*> cases[] = {
        {1.5f, "1.50"}, {12345.6f, "12345.6"}, {0.004f, "0.00"}, {std::nullopt, "0.00"}};
    for (const auto& c : cases) {
        gxsim::SetFaceVersion(c.first);
        EXPECT_TRUE(Exec(m_Engine, "FaceVersion").IsText(c.second)) << c.second;
    }
}

const char kOneDetection[] =
    "{\n"
    "\t\"recognitionResult\" : \n"
    "\t[\n"
    "\t\t{\n"
    "\t\t\t\"h\" : 40,\n"
    "\t\t\t\"nFaceRecogID\" : 1,\n"
    "\t\t\t\"w\" : 40,\n"
    "\t\t\t\"x\" : 10,\n"
    "\t\t\t\"y\" : 20\n"
    "\t\t}\n"
    "\t]\n"
    "}\n";

const char kNullResult[] = "{\n\t\"recognitionResult\" : null\n}\n";

TEST_F(FaceTest, DetectionResultUsesTheRecognitionNames) {
    gxsim::SetFacesInView({{1, 10, 20, 40, 40}});
    ASSERT_TRUE(Exec(m_Engine, "StartFaceDetection").IsInt(1));
    gxsim::Drain();
    Outcome out = Exec(m_Engine, "GetFaceDetectionResult");
    ASSERT_EQ(out.value.kind, kiv::EmpReturnValue::TEXT);
    // The simulated library numbers detections from 1.
    EXPECT_EQ(out.value.text, kOneDetection);
}

TEST_F(FaceTest, ResultQueriesWithNothingToReport) {
    gxsim::SetFacesInView({});
    Exec(m_Engine, "StartFaceDetection");
    gxsim::Drain();
    EXPECT_TRUE(Exec(m_Engine, "GetFaceDetectionResult").IsText(kNullResult));
    // A recognition that found nobody: success without an array is reported as 1.
    ASSERT_TRUE(Exec(m_Engine, "StartFaceRecognition", "1").served);
    gxsim::Drain();
    EXPECT_TRUE(Exec(m_Engine, "GetFaceRecognitionResult").IsInt(1));
}

TEST_F(FaceTest, TrainingAndRecognitionResultsCarryTheImagePath) {
    gxsim::SetFacesInView({{42, 5, 6, 70, 80}});
    Exec(m_Engine, "StartFaceDetection");
    gxsim::Drain();
    ASSERT_TRUE(Exec(m_Engine, "StartFaceTraining", "1").IsInt(1));
    gxsim::Drain();
    Outcome trained = Exec(m_Engine, "GetFaceTrainingResult");
    ASSERT_EQ(trained.value.kind, kiv::EmpReturnValue::TEXT);
    std::vector<gxsim::StoredFace> stored = gxsim::StoredFaces();
    ASSERT_EQ(stored.size(), 1u);
    Json::Value expected;
    expected["detectResult"] = stored[0].id;
    expected["x"] = stored[0].x;
    expected["y"] = stored[0].y;
    expected["w"] = stored[0].w;
    expected["h"] = stored[0].h;
    expected["imageFilePath"] = stored[0].imagePath;
    EXPECT_EQ(trained.value.text, expected.toStyledString());

    ASSERT_TRUE(Exec(m_Engine, "StartFaceRecognition", "1").IsInt(1));
    gxsim::Drain();
    Outcome recognised = Exec(m_Engine, "GetFaceRecognitionResult");
    ASSERT_EQ(recognised.value.kind, kiv::EmpReturnValue::TEXT);
    EXPECT_NE(recognised.value.text.find("\"nFaceRecogID\" : " + std::to_string(stored[0].id)),
              std::string::npos)
        << recognised.value.text;
    EXPECT_NE(recognised.value.text.find(stored[0].imagePath), std::string::npos);
}

TEST_F(FaceTest, FaceOffAnswersFaceCommandsAsUnrecognised) {
    gxsim::SetFactoryItem(831, 0);
    kiv::CEmpEngineGX* none = NewEngine();
    TakeLog();
    for (const FaceCase& c : kFaceCases) {
        std::string result = "kept";
        EXPECT_FALSE(none->Execute(result, c.command, c.arg1, c.arg2, "", "")) << c.command;
        EXPECT_EQ(result, "kept");
    }
    for (const char* name : {"SubscribeFaceEvent", "InitializeFace", "OverWriteFace", "FaceVersion",
                             "GetFaceDetectionResult", "StartFaceRecognitionAll"}) {
        EXPECT_FALSE(Exec(none, name, "{}").served) << name;
    }
}

}  // namespace
}  // namespace gxtest
