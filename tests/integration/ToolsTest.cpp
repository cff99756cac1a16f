// The service through stock D-Bus tools and gxempctl, beyond what the documentation's examples
// already run (DocsTest): busctl's bus calls and errors, gxempctl's session input forms, the
// simulator's read-backs. Exit statuses and their messages are CliTest's table.
#include <gtest/gtest.h>
#include <json/json.h>

#include <set>
#include <string>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

class ToolsTest : public ::testing::Test {
protected:
    Service service;
};

// busctl's calls, its reading of a D-Bus error, and its questions to the bus (list, status, who
// owns a name: the service owns org.gxemp.Host1 as ":1.0", the driver itself, a client its own
// name, and nobody any other).
TEST_F(ToolsTest, BusctlCallsListsAndReadsStatus) {
    const std::string host = "org.gxemp.Host1", sim = "org.gxemp.Simulator1";
    // clang-format off
    auto ownerOf = [](const char* name) {
        return std::vector<std::string>{"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", "s", name};
    };
    struct { std::vector<std::string> args; int status; const char* printed; } const rows[] = {
        {ownerOf(":1.1"), 0, "s \":1.1\"\n"},  // this busctl, the service's first client
        {ownerOf("org.gxemp.Host1"), 0, "s \":1.0\"\n"},
        {ownerOf(":1.0"), 0, "s \":1.0\"\n"},
        {ownerOf("org.freedesktop.DBus"), 0, "s \"org.freedesktop.DBus\"\n"},
        {ownerOf(":1.999999"), 1, "no such name"},
        {ownerOf("org.example.Nobody"), 1, "no such name"},
        {{"call", host, "/org/gxemp/Host1", host, "Open", "s", "busctl"}, 0, "u 1\n"},
        // busctl's connection (and with it the engine) is gone: Execute is refused.
        {{"call", host, "/org/gxemp/Host1", host, "Execute", "usssss", "1", "IsSupportTTS", "", "", "", ""}, 1, "no engine 1 is open"},
        {{"call", host, "/org/gxemp/Simulator1", sim, "GetSetting", "s", "db/menu/accessibility/tts"}, 0, "i 0\n"},
        {{"list"}, 0, "org.gxemp.Host1"},
        {{"status", host}, 0, "Comm=gxemp"},
    };
    // clang-format on
    for (const auto& row : rows) {
        std::vector<std::string> argv = {BUSCTL_BIN, "--address=" + service.address()};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ProcessResult r = RunProgram(argv);
        EXPECT_EQ(r.status, row.status) << row.args[0] << " " << r.err;
        EXPECT_NE((r.out + r.err).find(row.printed), std::string::npos) << r.out << r.err;
    }
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

// (The camera as a client then sees it: TvFaultTest.)
TEST_F(ToolsTest, SimulatorControlsReadBack) {
    EXPECT_EQ(service.Ctl({"sim", "settings", "path"}).out, service.settingsPath() + "\n");
    EXPECT_EQ(service.Ctl({"sim", "model", "--none"}).status, 0);
    EXPECT_EQ(service.Ctl({"sim", "model"}).out, "(none)\n");
    EXPECT_EQ(service.Ctl({"sim", "trace", "clear"}).status, 0);
    EXPECT_EQ(service.Ctl({"sim", "force", "gx_motion_recog_create", "0"}).status, 0);
    service.Ctl({"call", "IsSupportTTS"});
    Json::Value entry = ParseJson(service.Ctl({"sim", "trace", "--json"}).out);
    EXPECT_EQ(entry["function"].asString(), "gx_motion_recog_create");
    EXPECT_EQ(entry["result"].asInt(), 0);
    EXPECT_EQ(service.Ctl({"sim", "motion-state"}).out, "");
    EXPECT_EQ(service.Ctl({"sim", "stored-faces"}).out, "");
}

// sim reset puts the TV back to its defaults, but a client that runs keeps its subscription.
TEST_F(ToolsTest, ResetKeepsRunningClientsSubscribed) {
    Client client(service.address());
    uint32_t engine = client.Open();
    ASSERT_EQ(client.Subscribe(engine, "w1", {"EVENT_MOTION_GRAB"}), 1);
    EXPECT_EQ(service.Ctl({"sim", "model", "--none"}).status, 0);
    EXPECT_EQ(service.Ctl({"sim", "reset"}).status, 0);
    EXPECT_EQ(service.Ctl({"sim", "model"}).out, "T-SIMTV55\n") << "the TV is back to its defaults";
    EXPECT_EQ(service.Ctl({"sim", "gesture", "EVENT_MOTION_GRAB", "after"}).out,
              "signal 1005 delivered to 1 subscriber(s)\n");
    ASSERT_TRUE(client.WaitEvents(1));
    EXPECT_EQ(client.events[0].name, "EVENT_MOTION_GRAB-w1");
    // A new engine gets a handle of its own, not the live instance's.
    client.Open();
    std::set<int> handles;
    for (const Json::Value& instance : JsonLines(service.Ctl({"sim", "motion-state"}).out))
        handles.insert(instance["handle"].asInt());
    EXPECT_EQ(handles.size(), 2u);
}

}  // namespace
}  // namespace itest
