// gxempctl view against the real service: whom its HTTP server answers, its event stream read
// with curl (as a script would), and its page in headless Chromium.
#include <glib.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(view.ReadLine(&url));
        port = url.substr(17, url.find('/', 17) - 17);  // http://127.0.0.1:PORT/?token=T
        token = url.substr(url.find("token=") + 6);
        events = "http://127.0.0.1:" + port + "/events?token=" + token;
        ASSERT_EQ(token.size(), 32u);
    }
    std::unique_ptr<Child> Stream() {
        return std::make_unique<Child>(std::vector<std::string>{CURL_BIN, "-sN", events});
    }
    // The data of the next message of `type` on a stream (others are skipped).
    static Json::Value Next(Child& stream, const std::string& type) {
        std::string line;
        for (bool wanted = false; stream.ReadLine(&line);) {
            if (line.rfind("event: ", 0) == 0) wanted = line.substr(7) == type;
            if (wanted && line.rfind("data: ", 0) == 0) return ParseJson(line.substr(6));
        }
        ADD_FAILURE() << "no '" << type << "' message";
        return Json::Value();
    }
    Service service;
    Child view{{GXEMPCTL_BIN, "--address", service.address(), "view", "--port", "0", "--frame",
                "640x480"}};
    std::string url, port, token, events;
};

TEST_F(ViewTest, AnswersOnlyItsOwnUrlUnderItsOwnName) {
    const std::string here = "127.0.0.1:" + port, t = "?token=" + token;
    using Case = std::tuple<const char*, std::string, std::string, int, const char*>;
    for (const auto& [method, host, target, status, body] : std::vector<Case>{
             {"GET", here, "/" + t, 200, "new EventSource("},  // the script is in the page
             {"GET", "localhost:" + port, "/" + t, 200, "default-src 'none'"},
             {"GET", here, "/", 403, "token"},
             {"GET", here, "/" + t + "0", 403, "token"},
             {"GET", "localhost.attacker.example:" + port, "/" + t, 403, "Host"},
             {"POST", here, "/" + t, 405, "GET"},
         }) {
        ProcessResult r = RunProgram({CURL_BIN, "-si", "-X", method, "-H", "Host: " + host,
                                      "http://127.0.0.1:" + port + target});
        EXPECT_EQ(r.out.rfind("HTTP/1.1 " + std::to_string(status) + " ", 0), 0u)
            << method << " " << target << " Host: " << host << "\n"
            << r.out.substr(0, 300);
        EXPECT_NE(r.out.find(body), std::string::npos);
        EXPECT_EQ(r.out.find("Access-Control-"), std::string::npos) << "no CORS header";
    }
    // Another view on its port: the message says how to get a free one.
    ProcessResult busy = service.Ctl({"view", "--port", port});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("(--port 0 picks a free port)"), std::string::npos) << busy.err;
}
TEST_F(ViewTest, StreamsEventsStateAndRecentEventsAndComesBackWithTheService) {
    auto stream = Stream();
    Json::Value state = Next(*stream, "state");
    EXPECT_EQ(state["frame"], ParseJson(R"({"width": 640, "height": 480})"));

    ASSERT_EQ(service.Ctl({"sim", "gesture", "EVENT_MOTION_SLAP_LEFT", "left"}).status, 0);
    Json::Value gesture = Next(*stream, "event"),
                want = ParseJson(
                    R"({"name": "EVENT_MOTION_SLAP_LEFT-view", "data": "left", "code": 6511})");
    want["engine"] = state["engine"];
    EXPECT_GT(gesture["time"].asInt64(), 1600000000000) << "milliseconds since 1970";
    gesture.removeMember("time");
    EXPECT_EQ(gesture, want);
    ASSERT_EQ(
        service.Ctl({"sim", "face-signal", "0", "id=7", "x=10", "y=20", "w=30", "h=40"}).status, 0);
    EXPECT_EQ(Next(*stream, "event")["name"], "EVENT_FR_DETECT_FACE");  // its box: in Chromium

    // The voice guide and the camera, as the ordinary commands report them, when they change.
    ASSERT_EQ(service.Ctl({"call", "EnableTTSEngine"}).status, 0);
    EXPECT_EQ(Next(*stream, "state")["voiceGuide"], 1);
    ASSERT_EQ(service.Ctl({"sim", "camera", "0"}).status, 0);
    EXPECT_EQ(Next(*stream, "state")["camera"], 0);

    // A tab opened later learns the state, then the recent events in order.
    auto late = Stream();
    EXPECT_EQ(Next(*late, "history")["name"], "EVENT_MOTION_SLAP_LEFT-view");
    EXPECT_EQ(Next(*late, "history")["name"], "EVENT_FR_DETECT_FACE");

    // The service restarts: the view says so, connects again and subscribes its new engine.
    service.Stop();
    EXPECT_EQ(Next(*stream, "state")["service"], "reconnecting");
    ASSERT_TRUE(service.Start());
    do state = Next(*stream, "state");
    while (state["service"] == "reconnecting");
    EXPECT_EQ(state["reconnects"], 1);  // and connected
    ASSERT_EQ(service.Ctl({"sim", "gesture", "EVENT_MOTION_GRAB"}).status, 0);
    EXPECT_EQ(Next(*stream, "event")["name"], "EVENT_MOTION_GRAB-view");
}

TEST_F(ViewTest, SixteenTabsAndSlowOnesHoldNobodyUp) {
    std::vector<std::unique_ptr<Child>> tabs;
    while (tabs.size() < 16) tabs.push_back(Stream());
    for (auto& tab : tabs) ASSERT_EQ(Next(*tab, "state")["service"], "connected");
    EXPECT_EQ(RunProgram({CURL_BIN, "-so/dev/null", "-w%{http_code}", events}).out, "503");
    tabs[0] = nullptr;  // a tab closed: its place is free at once (after one turn of the loop)
    RunProgram({CURL_BIN, "-s", url});
    tabs[0] = Stream();
    ASSERT_EQ(Next(*tabs[0], "state")["service"], "connected");

    // Only tab 1 reads; far more than the sockets hold goes by.
    Client control(service.address());
    const std::string text(100 * 1024, 'x');
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(control.EmitMotion(1005, text + std::to_string(i)), 1);
        ASSERT_EQ(Next(*tabs[1], "event")["data"], text + std::to_string(i));
    }
    // A slow tab lost the oldest events, is told so, and still gets the newest.
    EXPECT_GT(Next(*tabs[2], "dropped")["count"].asInt(), 0);
    Json::Value last;
    do last = Next(*tabs[2], "event");
    while (!last.isNull() && last["data"] != text + "149");
    EXPECT_FALSE(last.isNull());
}

TEST_F(ViewTest, PageInChromiumShowsTheGestureAndTheFaces) {
    if (!Browser::Available(CHROMIUM_BIN))
        GTEST_SKIP() << CHROMIUM_BIN " is not installed (scripts/setup.sh installs chromium)";
    Browser chrome(CHROMIUM_BIN);
    std::string s = chrome.Open(url);
    auto await = [&](const std::string& expression) { return chrome.Await(s, expression); };
    ASSERT_EQ(await("document.body?.dataset.stream === 'open' || null"), true);

    Client control(service.address());
    control.EmitMotion(1000, "left");
    control.EmitFace(0, 7, 120, 200, 150, 190);
    control.EmitFace(3, 3, 400, 150, 140, 180);
    std::string shown =
        await("document.querySelector('.face.recog') && document.body.innerText").asString();
    for (const char* text : {"Slap left", "EVENT_MOTION_SLAP_LEFT-view", "detect #7", "face #3"})
        EXPECT_NE(shown.find(text), std::string::npos) << text << " is not on the page:\n" << shown;

    std::ofstream(VIEW_SHOTS_DIR "/view-1280x720.png", std::ios::binary) << chrome.Screenshot(s);
    EXPECT_EQ(chrome.Close(), 0);
}

}  // namespace
}  // namespace itest
