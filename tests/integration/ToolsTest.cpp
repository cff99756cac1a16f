// The service driven by stock D-Bus tools (busctl, gdbus) and by gxempctl, through their output
// and exit codes.
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

class StockToolsTest : public ::testing::Test {
protected:
    ProcessResult Busctl(std::vector<std::string> args) {
        args.insert(args.begin(), {BUSCTL_BIN, "--address=" + service.address()});
        return RunProgram(args);
    }
    ProcessResult Gdbus(const std::string& verb, std::vector<std::string> args) {
        std::vector<std::string> argv = {GDBUS_BIN,       verb,
                                         "--address",     service.address(),
                                         "--dest",        "org.gxemp.Host1",
                                         "--object-path", "/org/gxemp/Host1"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv);
    }
    Service service;
};

TEST_F(StockToolsTest, BusctlCallsEveryMethod) {
    ProcessResult open = Busctl(
        {"call", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1", "Open", "s", "busctl"});
    ASSERT_EQ(open.status, 0) << open.err;
    EXPECT_EQ(open.out.rfind("u ", 0), 0u) << open.out;
    // busctl's connection (and with it the engine) is gone: Execute and Close are refused.
    std::string id = open.out.substr(2, open.out.find('\n') - 2);
    ProcessResult exec = Busctl({"call", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1",
                                 "Execute", "usssss", id, "IsSupportTTS", "", "", "", ""});
    EXPECT_NE(exec.status, 0);
    EXPECT_NE(exec.err.find("no engine"), std::string::npos) << exec.err;
    ProcessResult close = Busctl(
        {"call", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1", "Close", "u", id});
    EXPECT_NE(close.status, 0);
    ProcessResult info =
        Busctl({"get-property", "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1", "Info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out,
              "a{ss} 5 \"name\" \"RECOG\" \"id\" \"0001\" \"version\" \"1.000\" \"license\" "
              "\"GPL\" \"category\" \"RECOG\"\n");
}

TEST_F(StockToolsTest, BusctlIntrospectsBothObjects) {
    ProcessResult host = Busctl({"introspect", "org.gxemp.Host1", "/org/gxemp/Host1"});
    ASSERT_EQ(host.status, 0) << host.err;
    for (const char* member : {".Open", ".Execute", ".Close", ".Event", ".Info"})
        EXPECT_NE(host.out.find(member), std::string::npos) << member;
    EXPECT_NE(host.out.find("usssss"), std::string::npos);
    ProcessResult sim = Busctl({"introspect", "org.gxemp.Host1", "/org/gxemp/Simulator1"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    EXPECT_NE(sim.out.find(".EmitMotionSignal"), std::string::npos);
    ProcessResult setting =
        Busctl({"call", "org.gxemp.Host1", "/org/gxemp/Simulator1", "org.gxemp.Simulator1",
                "GetSetting", "s", "db/menu/accessibility/tts"});
    EXPECT_EQ(setting.out, "i 0\n") << setting.err;
    // The bus calls busctl makes to list the names and show who owns one.
    ProcessResult list = Busctl({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("org.gxemp.Host1"), std::string::npos) << list.out;
    ProcessResult status = Busctl({"status", "org.gxemp.Host1"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Comm=gxemp"), std::string::npos) << status.out;
}

TEST_F(StockToolsTest, GdbusCallsAndIntrospects) {
    ProcessResult open = Gdbus("call", {"--method", "org.gxemp.Host1.Open", "gdbus"});
    ASSERT_EQ(open.status, 0) << open.err;
    EXPECT_EQ(open.out.rfind("(uint32 ", 0), 0u) << open.out;
    ProcessResult exec =
        Gdbus("call", {"--method", "org.gxemp.Host1.Execute", "1", "IsSupportTTS", "", "", "", ""});
    EXPECT_NE(exec.status, 0);
    EXPECT_NE(exec.err.find("org.gxemp.Host1.Error.NoSuchEngine"), std::string::npos) << exec.err;
    ProcessResult info = Gdbus(
        "call", {"--method", "org.freedesktop.DBus.Properties.Get", "org.gxemp.Host1", "Info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("'license': 'GPL'"), std::string::npos) << info.out;
    ProcessResult intro = Gdbus("introspect", {});
    ASSERT_EQ(intro.status, 0) << intro.err;
    EXPECT_NE(intro.out.find("Execute(in  u engine"), std::string::npos) << intro.out;
    EXPECT_NE(intro.out.find("Event(u engine"), std::string::npos);
}

// ---- gxempctl ----------------------------------------------------------------------------------

class CtlTest : public ::testing::Test {
protected:
    ProcessResult Ctl(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {GXEMPCTL_BIN, "--address", service.address()});
        return RunProgram(args, input);
    }
    Service service;
};

TEST_F(CtlTest, InfoAndCall) {
    ProcessResult info = Ctl({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(ParseJson(info.out)["version"].asString(), "1.000");
    ProcessResult call = Ctl({"call", "GetUserLevel"});
    EXPECT_EQ(call.status, 0);
    EXPECT_EQ(call.out, "served: yes\nresult: Beginner\n");
    ProcessResult json = Ctl({"call", "--json", "IsSupportTTS"});
    Json::Value v = ParseJson(json.out);
    EXPECT_TRUE(v["served"].asBool());
    EXPECT_TRUE(v["result"].isInt());
    ProcessResult unknown = Ctl({"call", "NoSuchCommand"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "served: no\nresult: (none)\n");
}

TEST_F(CtlTest, SessionPrintsResultsAndEventsAsJsonLines) {
    Child session({GXEMPCTL_BIN, "--address", service.address(), "session"});
    std::string line;
    ASSERT_TRUE(session.ReadLine(&line));
    Json::Value opened = ParseJson(line);
    EXPECT_EQ(opened["type"].asString(), "open");

    // Shell words, a JSON array of strings, a comment, and a line that does not parse.
    Json::Value subscribe(Json::arrayValue);
    subscribe.append("SetMotionSubscribeInfo");
    subscribe.append("w7");
    subscribe.append(MotionList({"EVENT_MOTION_SLAP_LEFT"}));  // multi-line text, escaped
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    session.Write("EnableTTSEngine\n# a comment\nbad \"quote\n" + Json::writeString(b, subscribe) +
                  "\nStartTTSEngine 'two words'\nNoSuchCommand x\n");
    std::vector<Json::Value> out;
    while (out.size() < 5 && session.ReadLine(&line)) out.push_back(ParseJson(line));
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0]["command"].asString(), "EnableTTSEngine");
    EXPECT_EQ(out[0]["result"].asInt(), 1);
    EXPECT_EQ(out[1]["type"].asString(), "error");
    EXPECT_EQ(out[1]["error"].asString(), "parse");
    EXPECT_EQ(out[2]["command"].asString(), "SetMotionSubscribeInfo");
    EXPECT_EQ(out[2]["result"].asInt(), 1);
    EXPECT_TRUE(out[3]["served"].asBool());
    EXPECT_FALSE(out[4]["served"].asBool());
    EXPECT_EQ(out[4]["result"].asString(), "");

    Client control(service.address());
    EXPECT_EQ(control.EmitMotion(1000, "left"), 1);
    control.Drain();
    ASSERT_TRUE(session.ReadLine(&line));
    Json::Value event = ParseJson(line);
    EXPECT_EQ(event["type"].asString(), "event");
    EXPECT_EQ(event["name"].asString(), "EVENT_MOTION_SLAP_LEFT-w7");
    EXPECT_EQ(event["data"].asString(), "left");
    EXPECT_EQ(event["engine"].asUInt(), opened["engine"].asUInt());
    session.CloseInput();
    EXPECT_EQ(session.Wait(), 2) << "a line that did not parse makes the exit status 2";
    EXPECT_EQ(control.GetSetting("db/menu/accessibility/tts"), 1);
}

TEST_F(CtlTest, MonitorPrintsGestureAndFaceEvents) {
    Child monitor({GXEMPCTL_BIN, "--address", service.address(), "monitor", "tv", "--count", "2",
                   "--timeout", "20"});
    std::string line;
    ASSERT_TRUE(monitor.ReadLine(&line));
    Json::Value ready = ParseJson(line);
    ASSERT_EQ(ready["type"].asString(), "subscribed");
    EXPECT_EQ(ready["motion"]["result"].asInt(), 1);
    EXPECT_EQ(ready["face"]["result"].asInt(), 1);

    ProcessResult gesture = RunProgram({GXEMPCTL_BIN, "--address", service.address(), "sim",
                                        "gesture", "EVENT_MOTION_GRAB", "text"});
    EXPECT_EQ(gesture.status, 0) << gesture.err;
    EXPECT_EQ(gesture.out, "signal 1005 delivered to 1 subscriber(s)\n");
    ProcessResult face = RunProgram(
        {GXEMPCTL_BIN, "--address", service.address(), "sim", "face-signal", "4", "--no-data"});
    EXPECT_EQ(face.status, 0) << face.err;

    ASSERT_TRUE(monitor.ReadLine(&line));
    Json::Value first = ParseJson(line);
    EXPECT_EQ(first["name"].asString(), "EVENT_MOTION_GRAB-tv");
    EXPECT_EQ(first["data"].asString(), "text");
    EXPECT_EQ(first["code"].asInt(), 6511);
    ASSERT_TRUE(monitor.ReadLine(&line));
    Json::Value second = ParseJson(line);
    EXPECT_EQ(second["name"].asString(), "EVENT_FR_DETECTION_FAIL");
    EXPECT_EQ(second["code"].asInt(), 6512);
    EXPECT_EQ(monitor.Wait(), 0);
}

TEST_F(CtlTest, SimulatorControlsReadBack) {
    EXPECT_EQ(Ctl({"sim", "settings", "get", "db/menu/accessibility/tts"}).out, "0\n");
    EXPECT_EQ(Ctl({"sim", "settings", "set", "db/menu/accessibility/tts", "1"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "settings", "get", "db/menu/accessibility/tts"}).out, "1\n");
    EXPECT_EQ(Ctl({"sim", "settings", "path"}).out, service.settingsPath() + "\n");
    EXPECT_EQ(Ctl({"sim", "model", "T-VRDLBGYC"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "model"}).out, "T-VRDLBGYC\n");
    EXPECT_EQ(Ctl({"sim", "model", "--none"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "model"}).out, "(none)\n");
    // Camera disconnected: the status command reports it.
    EXPECT_EQ(Ctl({"sim", "camera", "0"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "model", "T-SIMTV55"}).status, 0);
    EXPECT_EQ(Ctl({"call", "GetGestureCameraStatus"}).out, "served: yes\nresult: 0\n");
    EXPECT_EQ(Ctl({"sim", "trace", "clear"}).status, 0);
    EXPECT_EQ(Ctl({"sim", "force", "gx_motion_recog_create", "0"}).status, 0);
    Ctl({"call", "IsSupportTTS"});
    ProcessResult trace = Ctl({"sim", "trace"});
    EXPECT_NE(trace.out.find("gx_motion_recog_create("), std::string::npos) << trace.out;
    EXPECT_NE(trace.out.find(") = 0\n"), std::string::npos) << trace.out;
}

struct CtlErrorCase {
    std::vector<std::string> args;
    int status;
    const char* message;
};

class CtlErrorTest : public CtlTest, public ::testing::WithParamInterface<CtlErrorCase> {};

TEST_P(CtlErrorTest, ExitStatusAndMessage) {
    ProcessResult r = Ctl(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CtlErrorTest,
    ::testing::Values(
        CtlErrorCase{{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        CtlErrorCase{{"sim", "camera", "on"}, 2, "must be an integer"},
        CtlErrorCase{{"sim", "gesture", "EVENT_MOTION_WAVE"}, 2, "unknown motion event"},
        CtlErrorCase{{"sim", "face-signal", "0", "size=3"}, 2, "unknown face record field"},
        CtlErrorCase{{"sim", "force", "gx_no_such_entry", "1"}, 4, "unknown library entry point"},
        CtlErrorCase{{"sim", "hide", "gx_no_such_entry"}, 4, "not every name"},
        CtlErrorCase{{"call", "a", "1", "2", "3", "4", "5"}, 2, "at most four arguments"},
        CtlErrorCase{{"view", "--frame", "0x480"}, 2, "--frame takes a size"}),
    [](const ::testing::TestParamInfo<CtlErrorCase>& info) {
        std::string name;
        for (const std::string& a : info.param.args)
            for (char c : a) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name + "_" + std::to_string(info.index);
    });

TEST(CtlNoServiceTest, UnreachableServiceIsExitStatus3) {
    TempDir dir;
    ProcessResult r =
        RunProgram({GXEMPCTL_BIN, "--address", "unix:path=" + dir.path() + "/none.sock", "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot reach the gxemp service"), std::string::npos) << r.err;
    // GXEMP_ADDRESS is where clients look without --address.
    r = RunProgram({GXEMPCTL_BIN, "call", "IsSupportTTS"}, "",
                   {"GXEMP_ADDRESS=unix:path=" + dir.path() + "/env.sock"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("env.sock"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace itest
