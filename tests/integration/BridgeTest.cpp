// gxemp-bridge against the real service: who may open a WebSocket, the protocol (each command
// group against each origin's rights, malformed and oversized input, floods, a reader that
// stops), and which page receives gestures. The client is a small blocking WebSocket client of
// our own, so that a test can send what no browser would and stop reading when it likes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <json/json.h>

#include <deque>
#include <fstream>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "WsClient.h"

namespace itest {
namespace {

// A WebSocket to the bridge that speaks JSON-RPC.
class Ws : public WsClient {
public:
    using WsClient::WsClient;

    Json::Value Request(const std::string& method, const Json::Value& params) {
        Json::Value m;
        m["jsonrpc"] = "2.0";
        m["id"] = ++m_Id;
        m["method"] = method;
        if (!params.isNull()) m["params"] = params;
        Send(Json::writeString(Json::StreamWriterBuilder(), m));
        return m_Id;
    }
    // Sends a request and returns its answer (result or error), skipping what comes before.
    Json::Value Call(const std::string& method, const Json::Value& params = Json::Value()) {
        Json::Value id = Request(method, params);
        return Next([&](const Json::Value& m) { return m["id"] == id; });
    }
    // The next text message `want` accepts, of those skipped before first; null when the
    // connection closes (closeCode) first.
    template <typename Want>
    Json::Value Next(Want want, int timeoutMs = 20000) {
        for (auto it = m_Skipped.begin(); it != m_Skipped.end(); ++it)
            if (want(*it)) {
                Json::Value m = *it;
                m_Skipped.erase(it);
                return m;
            }
        for (std::string text; ReadFrame(&text, timeoutMs);) {
            Json::Value m = ParseJson(text);
            if (want(m)) return m;
            m_Skipped.push_back(m);
        }
        return Json::Value();
    }
    Json::Value Notification(const std::string& method) {
        return Next([&](const Json::Value& m) { return m["method"] == method; })["params"];
    }
    // Reads to the close frame; its code (0: none).
    int CloseCode() {
        for (std::string text; ReadFrame(&text, 20000);) {
        }
        return closeCode;
    }

private:
    int m_Id = 0;
    std::deque<Json::Value> m_Skipped;
};

const char kConfig[] = R"([limits]
connections-per-origin=3
commands-in-flight=4
commands-per-second=20
queued-messages=16
[origin http://localhost:8080]
commands=motion;speech
faces=true
[origin http://127.0.0.1:9000]
commands=face
background=true
)";
const std::string kTv = "http://localhost:8080", kFaceApp = "http://127.0.0.1:9000";

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(configWritten);
        ASSERT_TRUE(bridge.ReadLine(&url));
        port = static_cast<unsigned>(std::stoi(url.substr(url.rfind(':') + 1)));
        token = ReadFile(dir.path() + "/gxemp/bridge.token");
        token.pop_back();  // the newline
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    std::unique_ptr<Ws> Open(const std::string& origin, int rcvbuf = 0) {
        auto ws = std::make_unique<Ws>(port, Host(), origin, "/bridge/v1", rcvbuf);
        EXPECT_EQ(ws->status, 101) << origin;
        if (!origin.empty()) {
            EXPECT_EQ(ws->Notification("hello")["protocol"], 1);
        }
        return ws;
    }
    bool Logged(const std::string& text) {
        return WaitUntil(
            [&] { return ReadFile(dir.path() + "/bridge.log").find(text) != std::string::npos; });
    }

    Service service;
    TempDir dir;
    // Written before the bridge starts, which reads it once.
    bool configWritten = static_cast<bool>(std::ofstream(dir.path() + "/bridge.conf") << kConfig);
    Child bridge{
        {"/bin/sh", "-c", "exec \"$@\" 2>>\"$0/bridge.log\"", dir.path(), GXEMP_BRIDGE_BIN,
         "--port", "0", "--config", dir.path() + "/bridge.conf", "--address", service.address()},
        {"XDG_RUNTIME_DIR=" + dir.path()}};
    std::string url, token;
    unsigned port = 0;
};

TEST_F(BridgeTest, OpensOnlyForItsOwnNameAndTheOriginsOnItsList) {
    const std::string here = Host(), p = ":" + std::to_string(port);
    struct Row {
        std::string host, origin, path;
        int status;
        const char* log;
    };
    // clang-format off
    for (const Row& r : std::vector<Row>{
             {here,                 kTv,                                  "/bridge/v1",  101, nullptr},
             {"localhost" + p,      kFaceApp,                             "/bridge/v1",  101, nullptr},
             {"127.0.0.1:1",        kTv,                                  "/bridge/v1",  403, "Host must be"},
             {here,                 "null",                               "/bridge/v1",  403, "Origin null"},
             {here,                 "http://127.0.0.1.evil.example",      "/bridge/v1",  403, "Origin not on the allowlist"},
             {here,                 "http://localhost.evil",              "/bridge/v1",  403, "Origin not on the allowlist"},
             {here,                 "http://localhost:8080.evil.example", "/bridge/v1",  403, "Origin not on the allowlist"},
             {here,                 "http://localhost:808",               "/bridge/v1",  403, "Origin not on the allowlist"},
             {here,                 "https://localhost:8080",             "/bridge/v1",  403, "Origin not on the allowlist"},
             {here,                 kTv,                                  "/bridge/v2",  404, "no such path"},
             {here,                 kTv,                                  "/bridge/v1/", 404, "no such path"},
         }) {
        // clang-format on
        Ws ws(port, r.host, r.origin, r.path);
        EXPECT_EQ(ws.status, r.status) << r.host << " " << r.origin << " " << r.path;
        if (r.log != nullptr) {
            EXPECT_TRUE(Logged("refused GET " + r.path + " from 127.0.0.1 (Host " + r.host +
                               ", Origin " + r.origin + "): " + std::to_string(r.status) + " " +
                               r.log));
        }
    }
    // The status resource names an allowed origin exactly, and no other.
    ProcessResult ok = RunProgram(
        {CURL_BIN, "-si", "-H", "Origin: " + kTv, "http://" + here + "/bridge/v1/status"});
    EXPECT_NE(ok.out.find("Access-Control-Allow-Origin: " + kTv + "\r\n"), std::string::npos);
    EXPECT_NE(ok.out.find("Vary: Origin"), std::string::npos);
    ProcessResult bad = RunProgram({CURL_BIN, "-si", "-H", "Origin: http://localhost.evil",
                                    "http://" + here + "/bridge/v1/status"});
    EXPECT_EQ(bad.out.rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(bad.out.find("Access-Control-Allow-Origin"), std::string::npos);

    // One origin holds three connections at most; a fourth is refused until one closes.
    std::vector<std::unique_ptr<Ws>> pages;
    while (pages.size() < 3) pages.push_back(Open(kTv));
    EXPECT_EQ(Ws(port, here, kTv).status, 503);
    EXPECT_TRUE(Logged("503 this origin has all its 3 connections open"));
    EXPECT_EQ(Ws(port, here, kFaceApp).status, 101);  // others still may
}

TEST_F(BridgeTest, ClientsWithoutOriginPresentTheTokenFirst) {
    struct Row {
        std::string first;
        const char* log;
    };
    // clang-format off
    for (const Row& r : std::vector<Row>{
             {R"({"jsonrpc":"2.0","id":1,"method":"state"})", "the first message must auth"},
             {R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"token":"0"}})", "wrong token"},
             {R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"token":")" + token.substr(1) + "0\"}}", "wrong token"},
             {"not json", "the first message must authenticate"},
         }) {
        // clang-format on
        Ws ws(port, Host(), "");
        ASSERT_EQ(ws.status, 101);
        EXPECT_EQ(ws.Notification("hello")["authenticate"], true);
        ws.Send(r.first);
        EXPECT_EQ(ws.CloseCode(), 1008) << r.first;
        EXPECT_TRUE(Logged(std::string("a client without Origin with 1008: ") + r.log));
    }
    // The right token, and the rights it gives: tests/js (gxemp.js presents it).
}

TEST_F(BridgeTest, AnswersEachRequestByItsOriginsRights) {
    auto tv = Open(kTv), faces = Open(kFaceApp);
    struct Row {
        Ws* page;
        const char* method;
        const char* params;
        const char* result;  // the whole result, or
        int error;           // an error's code
    };
    // clang-format off
    for (const Row& r : std::vector<Row>{
             {tv.get(),    "command",      R"({"name": "IsSupportMotionRecognition"})", R"({"served": true, "result": 0})", 0},
             {tv.get(),    "command",      R"({"name": "EnableTTSEngine"})", R"({"served": true, "result": 1})", 0},
             {tv.get(),    "command",      R"({"name": "GetZoomTriggerCondition", "args": ["x"]})", nullptr, 0},
             {tv.get(),    "command",      R"({"name": "FaceVersion"})", nullptr, -32001},
             {tv.get(),    "command",      R"({"name": "SetMotionSubscribeInfo", "args": ["a", "{}"]})", nullptr, -32001},
             {tv.get(),    "command",      R"({"name": "IsSupportTTS", "args": ["1","2","3","4","5"]})", nullptr, -32602},
             {tv.get(),    "command",      R"({"name": "IsSupportTTS", "args": [1]})", nullptr, -32602},
             {tv.get(),    "subscribe",    R"({"gestures": ["EVENT_MOTION_GRAB"], "faces": true})", R"({"gestures": ["EVENT_MOTION_GRAB"], "faces": true, "background": false})", 0},
             {tv.get(),    "subscribe",    R"({"gestures": ["EVENT_MOTION_NOD"]})", nullptr, -32602},
             {tv.get(),    "subscribe",    R"({"background": true})", nullptr, -32001},
             {tv.get(),    "visibility",   R"({"visible": true})", nullptr, -32602},
             {tv.get(),    "nosuchmethod", "{}", nullptr, -32601},
             {faces.get(), "command",      R"({"name": "FaceVersion"})", nullptr, 0},
             {faces.get(), "command",      R"({"name": "IsSupportTTS"})", nullptr, -32001},
             {faces.get(), "command",      R"({"name": "GetGestureCameraStatus"})", nullptr, -32001},
             {faces.get(), "subscribe",    R"({"faces": true})", nullptr, -32001},
             {faces.get(), "subscribe",    R"({"background": true})", R"({"gestures": [], "faces": false, "background": true})", 0},
         }) {
        // clang-format on
        Json::Value answer = r.page->Call(r.method, r.params ? ParseJson(r.params) : Json::Value());
        std::string what = std::string(r.method) + " " + r.params;
        if (r.error != 0) {
            EXPECT_EQ(answer["error"]["code"], r.error) << what;
        } else {
            EXPECT_FALSE(answer.isMember("error")) << what << answer;
            EXPECT_TRUE(r.result != nullptr || answer["result"]["served"] == true)
                << what << answer;
            if (r.result != nullptr) {
                EXPECT_EQ(answer["result"], ParseJson(r.result)) << what;
            }
        }
    }
    // A refusal is logged once, however often it comes.
    EXPECT_EQ(tv->Call("command", ParseJson(R"({"name": "FaceVersion"})"))["error"]["code"],
              -32001);
    const std::string refused = "refused a request of " + kTv + ": this origin may not use face";
    EXPECT_TRUE(Logged(refused));
    std::string log = ReadFile(dir.path() + "/bridge.log");
    EXPECT_EQ(log.find(refused), log.rfind(refused));
    // The voice guide was switched on: the page hears of it.
    EXPECT_EQ(tv->Notification("state")["voiceGuide"], 1);

    // Text that is no request.
    for (const auto& [text, code, id] : std::vector<std::tuple<std::string, int, Json::Value>>{
             {"{\"jsonrpc\":\"2.0\",", -32700, Json::Value()},
             {R"({"jsonrpc":"2.0","id":1,"id":2,"method":"state"})", -32700, Json::Value()},
             {std::string(5000, '['), -32700, Json::Value()},
             {R"([{"jsonrpc":"2.0","id":1,"method":"state"}])", -32600, Json::Value()},
             {R"({"jsonrpc":"1.0","id":"a","method":"state"})", -32600, "a"},
             {R"({"jsonrpc":"2.0","id":[1],"method":"state"})", -32600, Json::Value()},
         }) {
        tv->Send(text);
        Json::Value e = tv->Next([](const Json::Value& m) { return m.isMember("error"); });
        EXPECT_EQ(e["error"]["code"], code) << text;
        EXPECT_EQ(e["id"], id) << text;
    }
    // A message announced over 64 KiB ends the connection before its body is read (libsoup sends
    // no close frame then; a browser reports 1006).
    tv->SendFrame(1, R"({"jsonrpc":"2.0","id":1,"method":"state","params":")", 65 * 1024);
    EXPECT_EQ(tv->CloseCode(), 0);
    EXPECT_TRUE(tv->ended);
}

TEST_F(BridgeTest, FloodsAreRefusedThenClosedAndAClosedSocketEndsItsWorker) {
    // The worker serving this page: one that served nobody before it connected (others may
    // still be ending meanwhile, so counts alone would not tell).
    const std::vector<pid_t> before = service.ServingWorkers();
    auto tv = Open(kTv);
    pid_t worker = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (pid_t w : service.ServingWorkers())
            if (std::find(before.begin(), before.end(), w) == before.end()) worker = w;
        return worker > 0;
    }));
    // Far more commands than four in flight and twenty a second allow, without waiting.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) tv->Request("command", ParseJson(R"({"name": "IsSupportTTS"})"));
    int served = 0, refused = 0;
    for (Json::Value m; !(m = tv->Next([](const Json::Value&) { return true; })).isNull();) {
        served += m["result"]["served"].asBool();
        refused += m["error"]["code"] == -32002;
    }
    EXPECT_EQ(tv->closeCode, 1008);
    EXPECT_GE(served, 1);
    // Twenty in each second the flood took (one, unless the machine is busy).
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LE(served, 20 * (1 + std::chrono::duration_cast<std::chrono::seconds>(took).count()));
    EXPECT_GE(refused, 1);
    EXPECT_TRUE(Logged("closing a connection of http://localhost:8080 with 1008: too many"));
    EXPECT_TRUE(WaitUntil([&] {
        std::vector<pid_t> now = service.Workers();
        return std::find(now.begin(), now.end(), worker) == now.end();
    }));
}

TEST_F(BridgeTest, GesturesGoToTheFocusedVisiblePageAndSlowOnesLoseTheOldest) {
    auto one = Open(kTv), two = Open(kTv), back = Open(kFaceApp);
    const Json::Value grab = ParseJson(R"({"gestures": ["EVENT_MOTION_GRAB"]})");
    for (Ws* page : {one.get(), two.get()})
        ASSERT_EQ(page->Call("subscribe", grab)["result"]["gestures"].size(), 1u);
    ASSERT_EQ(back->Call("subscribe", ParseJson(R"({"gestures": ["EVENT_MOTION_GRAB"],
                                               "background": true})"))["result"]["background"],
              true);
    const Json::Value focused = ParseJson(R"({"visible": true, "focused": true})");
    EXPECT_EQ(one->Call("visibility", focused)["result"]["focus"], true);
    EXPECT_EQ(two->Call("visibility",
                        ParseJson(R"({"visible": true, "focused": false})"))["result"]["focus"],
              false);
    Client control(service.address());
    auto next = [](Ws& page) { return page.Notification("event")["payload"].asString(); };
    ASSERT_GT(control.EmitMotion(1005, "first"), 0);
    EXPECT_EQ(next(*one), "first");
    EXPECT_EQ(next(*back), "first");  // it may receive in the background
    // The last page to gain focus has it; the other is told, and delivery moves.
    EXPECT_EQ(two->Call("visibility", focused)["result"]["focus"], true);
    EXPECT_FALSE(one->Next([](const Json::Value& m) {
                        return m["method"] == "focus" && m["params"]["focus"] == false;
                    })
                     .isNull());
    ASSERT_GT(control.EmitMotion(1005, "second"), 0);
    // The bridge decides when an event reaches it: "first" may still have been on its way from
    // two's worker when two gained focus, and is then delivered. Nothing else comes before
    // "second".
    std::string got = next(*two);
    if (got == "first") got = next(*two);
    EXPECT_EQ(got, "second");
    EXPECT_EQ(two->Call("visibility",
                        ParseJson(R"({"visible": false, "focused": true})"))["result"]["focus"],
              false);
    EXPECT_EQ(one->Call("visibility", focused)["result"]["focus"], true);
    ASSERT_GT(control.EmitMotion(1005, "third"), 0);
    got = next(*one);  // "second", too, may arrive after one has the focus again
    if (got == "second") got = next(*one);
    EXPECT_EQ(got, "third");
    EXPECT_EQ(next(*back), "second");
    EXPECT_EQ(next(*back), "third");

    // A page that stops reading: the oldest events go, and it is told how many.
    auto slow = Open(kTv, 16 * 1024);
    ASSERT_EQ(slow->Call("subscribe", grab)["result"]["gestures"].size(), 1u);
    ASSERT_EQ(slow->Call("visibility", focused)["result"]["focus"], true);
    const std::string text(100 * 1024, 'x');
    for (int i = 0; i < 60; ++i) {
        ASSERT_GT(control.EmitMotion(1005, text + std::to_string(i)), 0);
        EXPECT_TRUE(next(*back) == text + std::to_string(i));  // a reader is not held up
    }
    EXPECT_GT(slow->Notification("dropped")["count"].asInt(), 0);
    Json::Value last;
    do last = slow->Notification("event");
    while (!last.isNull() && last["payload"] != text + "59");
    EXPECT_GT(last["seq"].asInt(), 1);
}

// A configuration the bridge cannot take stops it with status 2 and says what and where.
TEST(BridgeConfigTest, BadFilesAreRefusedWithTheirFault) {
    const std::pair<const char*, const char*> kRows[] = {
        {"[limits]\nconnections=0\n", "[limits] connections takes 1 to 1024"},
        {"[limits]\nkeep-alive-seconds=x\n", "[limits] keep-alive-seconds takes 1 to 3600"},
        {"[limits]\nspeed=1\n", "[limits] has no key 'speed'"},
        {"[origin http://a.b/path]\n", "[origin http://a.b/path]: not an origin"},
        {"[origin http://a.b]\ncommands=motion;tv\n",
         "[origin http://a.b] commands: unknown group 'tv'"},
        {"[origin http://a.b]\nfaces=maybe\n", "[origin http://a.b] faces: "},
        {"[origin http://a.b]\ncolour=1\n", "[origin http://a.b] has no key 'colour'"},
        {"[origins]\n", "unknown group [origins]"},
    };
    TempDir dir;
    const std::string file = dir.path() + "/bridge.conf";
    for (const auto& [text, message] : kRows) {
        std::ofstream(file) << text;
        ProcessResult r = RunProgram({GXEMP_BRIDGE_BIN, "--config", file, "--port", "0"});
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find(file + ": " + message), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace itest
