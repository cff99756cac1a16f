// Scenarios end to end: gxempctl record and play against real services, through their output
// and exit codes.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <string>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

const char kTts[] = "db/menu/accessibility/tts";
// Subscribes the player's engine to two gestures (widget "t") and to face events.
const std::string kSubscribe =
    R"({"at": 0, "command": ["SetMotionSubscribeInfo", "t", {"motionEventList": [{"itemType": "EVENT_MOTION_GRAB"}, {"itemType": "EVENT_MOTION_SLAP_LEFT"}]}]})"
    "\n"
    R"({"at": 0, "command": ["InitializeFace"]})"
    "\n"
    R"({"at": 0, "command": ["SubscribeFaceEvent", "t"]})"
    "\n";

// The JSON lines of `out` whose "type" is `type`.
std::vector<Json::Value> Lines(const std::string& out, const std::string& type) {
    std::vector<Json::Value> lines;
    for (const Json::Value& v : JsonLines(out))
        if (v["type"] == type) lines.push_back(v);
    return lines;
}

class ScenarioTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    TempDir dir;
};

TEST_F(ScenarioTest, RecordingPlaysBackTheSameEventsOnAnotherService) {
    Service recorded, replayed;
    std::string file = dir.path() + "/session.jsonl";
    // clang-format off
    const std::vector<std::vector<std::string>> session = {
        {"gesture", "EVENT_MOTION_GRAB", "text \"quoted\"\ttab, ünïcode\nsecond line"},
        {"gesture", "1000"},
        {"face-signal", "0", "id=3", "x=1", "y=2", "w=30", "h=-4"},
        {"face-signal", "3", "id=2", "path=/faces/a b.pgm", "x=5", "y=6", "w=7", "h=8"},
        {"face-signal", "2", "id=9", "path="},
        {"face-signal", "4", "--no-data"},
        {"gesture", "EVENT_MOTION_UNGRAB", ""},
    };
    // clang-format on
    Child rec({GXEMPCTL_BIN, "--address", recorded.address(), "record", file, "--widget", "w1",
               "--count", std::to_string(session.size()), "--duration", "60"});
    std::string line;
    ASSERT_TRUE(rec.ReadLine(&line));
    ASSERT_EQ(Lines(line, "subscribed").size(), 1u) << line;
    for (std::vector<std::string> words : session) {
        words.insert(words.begin(), "sim");
        ASSERT_EQ(recorded.Ctl(words).status, 0);
    }
    std::string out;
    while (rec.ReadLine(&line)) out += line + "\n";
    ASSERT_EQ(rec.Wait(), 0) << out;
    std::vector<Json::Value> original = Lines(out, "event");
    ASSERT_EQ(original.size(), session.size()) << out;

    ProcessResult play = replayed.Ctl({"play", file});
    ASSERT_EQ(play.status, 0) << play.err << play.out;
    std::vector<Json::Value> again = Lines(play.out, "event");
    ASSERT_EQ(again.size(), original.size()) << play.out;
    for (size_t i = 0; i < original.size(); ++i)
        for (const char* key : {"name", "data", "code"})
            EXPECT_EQ(again[i][key], original[i][key]) << "event " << i << " " << key;
    EXPECT_EQ(Lines(play.out, "passed")[0]["expectations"].asInt(), 3 + 7)
        << "three subscriptions and every event were checked";
}

// A bad file runs nothing: its valid first line (switching the voice guide on) is not played.
struct BadFile {
    const char* line2;  // nullptr: the file does not exist
    const char* message;
};

class BadFileTest : public ScenarioTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, IsRefusedWithOneLineAndNothingPlayed) {
    Service service;
    std::string path = dir.path() + "/s.jsonl";
    if (GetParam().line2 != nullptr)
        Write("s.jsonl", std::string(R"({"at": 1, "setting": {"key": ")") + kTts +
                             R"(", "value": 1}})" + "\n" + GetParam().line2 + "\n");
    ProcessResult r = service.Ctl({"play", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "gxempctl: " + path + GetParam().message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Client(service.address()).GetSetting(kTts), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, BadFileTest, ::testing::Values(
    BadFile{R"({"at": 2, "camera": 0, "colour": 1})", ":2: 'colour': unknown key"},
    BadFile{R"({"at": 2, "gesture": "EVENT_MOTION_GRAB", "face": 0})", ":2: 'gesture': a second action on one line (the first is 'face')"},
    BadFile{R"({"at": 0.5, "camera": 0})", ":2: 'at': time goes backwards: 0.5 comes after 1"},
    BadFile{R"([1, 2])", ":2: a step is a JSON object, not [1,2]"},
    BadFile{R"({"at": 2, "camera": 0,})", ":2: not JSON (column 23: Missing '}' or object member name)"},
    BadFile{R"({"at": 2, "expect-event": {"name": "EVENT_MOTION_WAVE-t"}})", ":2: 'expect-event.name': unknown event name \"EVENT_MOTION_WAVE-t\""},
    BadFile{R"({"at": 2, "gesture": "EVENT_MOTION_DEFAULT_MAX"})", ":2: 'gesture': unknown motion event \"EVENT_MOTION_DEFAULT_MAX\""},
    BadFile{R"({"at": 2, "face": 0, "record": {"id": 7, "x": "10"}})", ":2: 'record.x': must be an integer, not \"10\""},
    BadFile{R"({"at": 2, "camera": 0, "data": "x"})", ":2: 'data': does not go with 'camera'"},
    BadFile{R"({"at": 2, "gesture": "EVENT_MOTION_GRAB", "data": 5})", ":2: 'data': must be a string"},
    BadFile{R"({"camera": 0})", ":2: 'at': missing: every step has a time in seconds"},
    BadFile{R"({"at": 2})", ":2: no action: one of gesture, motion, face, faces, camera, setting, profile, command, expect-event"},
    BadFile{R"({"at": 2, "command": ["X"], "expect": {"result": true}})", ":2: 'expect.result': must be an integer or a string"},
    BadFile{nullptr, ": cannot read: No such file or directory"}),
    [](const auto& info) { return TestName(info.param.message); });
// clang-format on

// What a run reports: its exit status and how the first line of its error output begins (for a
// run that passes, only the row's name).
struct Outcome {
    const char* lines;
    int status;
    const char* message;
};

class OutcomeTest : public ScenarioTest, public ::testing::WithParamInterface<Outcome> {};

TEST_P(OutcomeTest, ExitStatusAndFailedExpectation) {
    Service service;
    std::string file = Write("s.jsonl", kSubscribe + GetParam().lines);
    ProcessResult r = service.Ctl({"play", file, "--loop", "2"});
    EXPECT_EQ(r.status, GetParam().status) << r.out;
    std::string error = GetParam().status == 0 ? "" : "gxempctl: " + file + GetParam().message;
    EXPECT_EQ(r.err.substr(0, error.size()), error);
    EXPECT_EQ(r.err.empty(), GetParam().status == 0) << r.err;
    EXPECT_EQ(Lines(r.out, "failed").size(), GetParam().status == 1 ? 1u : 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Runs, OutcomeTest, ::testing::Values(
    Outcome{R"({"at": 0.1, "face": 0, "record": {"id": 1, "x": 5, "y": 6, "w": 7, "h": 8}}
               {"at": 0.1, "expect-event": {"name": "EVENT_FR_DETECT_FACE", "data": {"detectResult": [{"nDetectID": 1, "x": 5}]}}}
               {"at": 0.1, "gesture": "EVENT_MOTION_GRAB"}
               {"at": 0.1, "expect-event": {"name": "EVENT_MOTION_GRAB-t", "data": ""}})", 0, "passed"},
    // A profile step reaches the simulated TV. (Signals by number and the camera are steps of the
    // scenarios in scenarios/, which the docs' examples play.)
    Outcome{R"({"at": 0.1, "camera": 0}
               {"at": 0.1, "command": ["GetGestureCameraStatus"], "expect": {"result": 0}}
               {"at": 0.1, "profile": ")" GXEMP_SOURCE_DIR R"(/Platform/sim/profiles/default.ini"}
               {"at": 0.1, "command": ["GetGestureCameraStatus"], "expect": {"result": 1}})", 0, "passed with a profile step"},
    Outcome{R"({"at": 0.1, "command": ["NoSuchCommand"], "expect": {"served": true}})", 1,
            ":4: 'command' failed: expected {\"served\":true}, got {\"result\":\"\",\"served\":false}"},
    Outcome{R"({"at": 0.1, "command": ["EnableTTSEngine"], "expect": {"result": "1"}})", 1,
            ":4: 'command' failed: expected {\"result\":\"1\"}, got {\"result\":1,\"served\":true}"},
    Outcome{R"({"at": 0.1, "expect-event": {"name": "EVENT_MOTION_GRAB-t"}, "within": 0.2})", 1,
            ":4: 'expect-event' failed: expected {\"name\":\"EVENT_MOTION_GRAB-t\",\"within\":0.2}, got no event"},
    Outcome{R"({"at": 0.1, "gesture": "EVENT_MOTION_GRAB", "data": "a"}
               {"at": 0.1, "expect-event": {"name": "EVENT_MOTION_GRAB-t", "data": "b"}, "within": 0.2})", 1,
            ":5: 'expect-event' failed: expected {\"data\":\"b\",\"name\":\"EVENT_MOTION_GRAB-t\",\"within\":0.2}, got [{\"data\":\"a\",\"name\":\"EVENT_MOTION_GRAB-t\"}]"},
    Outcome{R"({"at": 0.1, "face": 0, "record": {"id": 1, "x": 5}}
               {"at": 0.1, "expect-event": {"name": "EVENT_FR_DETECT_FACE", "data": {"detectResult": [{"x": 6}]}}, "within": 0.2})", 1,
            ":5: 'expect-event' failed: expected {\"data\":{\"detectResult\":[{\"x\":6}]},\"name\":\"EVENT_FR_DETECT_FACE\",\"within\":0.2}, got [{"},
    Outcome{R"({"at": 0.1, "gesture": "EVENT_MOTION_GRAB"}
               {"at": 0.1, "gesture": "EVENT_MOTION_SLAP_LEFT"}
               {"at": 0.2, "expect-event": {"name": "EVENT_MOTION_SLAP_LEFT-t"}}
               {"at": 0.2, "expect-event": {"name": "EVENT_MOTION_GRAB-t"}, "within": 0.2})", 1,
            ":7: 'expect-event' failed: expected {\"name\":\"EVENT_MOTION_GRAB-t\",\"within\":0.2}, got [{\"data\":\"\",\"name\":\"EVENT_MOTION_GRAB-t\"}]"}),
    [](const auto& info) { return TestName(info.param.message); });
// clang-format on

TEST_F(ScenarioTest, SpeedDividesTheGapsDryRunPlaysNothingAndNoServiceIsExit3) {
    Service service;
    // Lines may end in CR LF.
    std::string file = Write(
        "s.jsonl", R"({"at": 0, "camera": 1})"
                   "\r\n"
                   R"({"at": 4, "camera": 0})"
                   "\r\n"
                   R"({"at": 8, "setting": {"key": "db/menu/accessibility/tts", "value": 1}})");
    ProcessResult plan = service.Ctl({"play", "--dry-run", "--speed", "20", file});
    ASSERT_EQ(plan.status, 0) << plan.err;
    std::vector<Json::Value> due = Lines(plan.out, "step");
    ASSERT_EQ(due.size(), 3u);
    EXPECT_EQ(due[2]["due"].asDouble(), 0.4);
    EXPECT_EQ(Client(service.address()).GetSetting(kTts), 0);

    ProcessResult r = service.Ctl({"play", "--speed", "20", file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Json::Value> steps = Lines(r.out, "step");
    ASSERT_EQ(steps.size(), 3u);
    // A step is never sent before it is due (a late one does not move the next), and the last
    // one well before its unscaled 8 s shows that --speed was applied (the margin keeps a busy
    // machine out of the verdict).
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_GE(steps[i]["time"].asDouble() + 1e-6, due[i]["due"].asDouble()) << "step " << i;
    EXPECT_LT(steps[2]["time"].asDouble(), 4.0);
    EXPECT_EQ(Client(service.address()).GetSetting(kTts), 1);
    EXPECT_EQ(RunProgram({GXEMPCTL_BIN, "--address", "unix:path=" + dir.path() + "/none.sock",
                          "play", file})
                  .status,
              3);
}

}  // namespace
}  // namespace itest
