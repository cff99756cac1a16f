// The service through stock D-Bus tools and gxempctl, beyond what the documentation's examples
// already run (DocsTest): busctl's bus calls and errors, gxempctl's session input forms, the
// simulator's read-backs, and exit statuses with their messages.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cctype>
#include <string>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string errs;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errs))
        ADD_FAILURE() << "not JSON: " << text;
    return v;
}

class ToolsTest : public ::testing::Test {
protected:
    ProcessResult Busctl(std::vector<std::string> args) {
        args.insert(args.begin(), {BUSCTL_BIN, "--address=" + service.address()});
        return RunProgram(args);
    }
    ProcessResult Ctl(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {GXEMPCTL_BIN, "--address", service.address()});
        return RunProgram(args, input);
    }
    Service service;
};

TEST_F(ToolsTest, BusctlCallsListsAndReadsStatus) {
    ProcessResult open = Busctl(
        {"call", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1", "Open", "s", "busctl"});
    ASSERT_EQ(open.status, 0) << open.err;
    EXPECT_EQ(open.out, "u 1\n");
    // busctl's connection (and with it the engine) is gone: Execute is refused.
    ProcessResult exec = Busctl({"call", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1",
                                 "Execute", "usssss", "1", "IsSupportTTS", "", "", "", ""});
    EXPECT_NE(exec.status, 0);
    EXPECT_NE(exec.err.find("no engine 1 is open"), std::string::npos) << exec.err;
    ProcessResult setting =
        Busctl({"call", "org.gxemp.Host1", "/org/gxemp/Simulator1", "org.gxemp.Simulator1",
                "GetSetting", "s", "db/menu/accessibility/tts"});
    EXPECT_EQ(setting.out, "i 0\n") << setting.err;
    ProcessResult list = Busctl({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("org.gxemp.Host1"), std::string::npos) << list.out;
    ProcessResult status = Busctl({"status", "org.gxemp.Host1"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Comm=gxemp"), std::string::npos) << status.out;
}

// Shell words, a JSON array of strings, a comment and a line that does not parse; events between
// results; a parse error makes the exit status 2.
TEST_F(ToolsTest, SessionTakesWordsAndJsonArrays) {
    Child session({GXEMPCTL_BIN, "--address", service.address(), "session"});
    std::string line;
    ASSERT_TRUE(session.ReadLine(&line));
    Json::Value subscribe(Json::arrayValue);
    subscribe.append("SetMotionSubscribeInfo");
    subscribe.append("w7");
    subscribe.append(MotionList({"EVENT_MOTION_SLAP_LEFT"}));  // multi-line text, escaped
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    session.Write("# a comment\nbad \"quote\n" + Json::writeString(b, subscribe) +
                  "\nStartTTSEngine 'two words'\n");
    std::vector<Json::Value> out;
    while (out.size() < 3 && session.ReadLine(&line)) out.push_back(ParseJson(line));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0]["error"].asString(), "parse");
    EXPECT_EQ(out[1]["result"].asInt(), 1);
    EXPECT_TRUE(out[2]["served"].asBool());
    Client control(service.address());
    EXPECT_EQ(control.EmitMotion(1000, "left"), 1);
    control.Drain();
    ASSERT_TRUE(session.ReadLine(&line));
    EXPECT_EQ(ParseJson(line)["name"].asString(), "EVENT_MOTION_SLAP_LEFT-w7");
    session.CloseInput();
    EXPECT_EQ(session.Wait(), 2);
}

TEST_F(ToolsTest, SimulatorControlsReadBack) {
    EXPECT_EQ(Ctl({"sim", "settings", "path"}).out, service.settingsPath() + "\n");
    EXPECT_EQ(Ctl({"sim", "model", "--none"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "model"}).out, "(none)\n");
    EXPECT_EQ(Ctl({"sim", "model", "T-SIMTV55"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "camera", "0"}).status, 0);
    EXPECT_EQ(Ctl({"call", "GetGestureCameraStatus"}).out, "served: yes\nresult: 0\n");
    EXPECT_EQ(Ctl({"sim", "trace", "clear"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "force", "gx_motion_recog_create", "0"}).status, 0);
    Ctl({"call", "IsSupportTTS"});
    Json::Value entry = ParseJson(Ctl({"sim", "trace", "--json"}).out);
    EXPECT_EQ(entry["function"].asString(), "gx_motion_recog_create");
    EXPECT_EQ(entry["result"].asInt(), 0);
    EXPECT_EQ(entry["detail"].asString(), "") << "a forced create writes no handle";
    ProcessResult session = Ctl({"session"}, "InitializeFace\nStartFaceTraining 3\n");
    ASSERT_EQ(session.status, 0) << session.err;
    EXPECT_NE(Ctl({"sim", "trace"}).out.find("= 1  face={3,0,0,0,0}"), std::string::npos);
    EXPECT_EQ(Ctl({"sim", "motion-state"}).out, "");
    EXPECT_EQ(Ctl({"sim", "stored-faces"}).out, "");
}

struct CtlErrorCase {
    std::vector<std::string> args;
    int status;
    const char* message;
};

class CtlErrorTest : public ToolsTest, public ::testing::WithParamInterface<CtlErrorCase> {};

TEST_P(CtlErrorTest, ExitStatusAndMessage) {
    ProcessResult r = Ctl(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CtlErrorTest,
    ::testing::Values(
        // clang-format off
        CtlErrorCase{{"frobnicate"},                         2, "unknown command 'frobnicate'"},
        CtlErrorCase{{"sim", "camera", "on"},                2, "must be an integer"},
        CtlErrorCase{{"sim", "gesture", "EVENT_MOTION_WAVE"}, 2, "unknown motion event"},
        CtlErrorCase{{"sim", "face-signal", "0", "size=3"},  2, "unknown face record field"},
        CtlErrorCase{{"sim", "force", "gx_no_such_entry", "1"}, 4, "unknown library entry point"},
        CtlErrorCase{{"sim", "hide", "gx_no_such_entry"},    4, "not every name"},
        CtlErrorCase{{"call", "a", "1", "2", "3", "4", "5"}, 2, "at most four arguments"},
        CtlErrorCase{{"play"},                               2, "play needs a scenario FILE"},
        CtlErrorCase{{"play", "--speed", "0", "x.jsonl"},    2, "--speed takes a number above 0"},
        CtlErrorCase{{"record", "/nonexistent/x.jsonl"},     2, "cannot write /nonexistent/x.jsonl"},
        CtlErrorCase{{"record", "--count", "2"},             2, "record needs the FILE to write"},
        CtlErrorCase{{"address", "x"},                       2, "address takes no arguments"},
        CtlErrorCase{{"view", "--frame", "0x480"},           2, "--frame takes a size"}),
    // clang-format on
    [](const ::testing::TestParamInfo<CtlErrorCase>& info) {
        std::string name;
        for (const std::string& a : info.param.args)
            for (char c : a) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name + "_" + std::to_string(info.index);
    });

TEST(CtlNoServiceTest, TheAddressComesFromTheEnvironmentWithoutTheOption) {
    TempDir dir;
    ProcessResult r = RunProgram({GXEMPCTL_BIN, "call", "IsSupportTTS"}, "",
                                 {"GXEMP_ADDRESS=unix:path=" + dir.path() + "/env.sock"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("env.sock"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace itest
