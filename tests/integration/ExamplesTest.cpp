// The clients in examples/ (Python on Gio, C on sd-bus) against a live service: each opens an
// engine, subscribes, prints the events the simulated TV sends as they were sent, and closes its
// engine when it has seen enough or is asked to stop.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <string>
#include <vector>

#include "Harness.h"

namespace itest {
namespace {

class ExamplesTest : public ::testing::TestWithParam<const char*> {
protected:
    Service service;
    std::vector<std::string> env{"GXEMP_ADDRESS=" + service.address()};
};

// Each prints the events it was sent, as sent, and closes its engine when asked to stop (a count
// of events ends a run the same way: docs/CLIENT.md runs both clients so).
TEST_P(ExamplesTest, PrintsEventsAsSentAndClosesItsEngineOnSigterm) {
    Child client({GetParam(), "--widget", "tv"}, env);
    std::string line;
    ASSERT_TRUE(client.ReadLine(&line));
    EXPECT_EQ(line, "engine 1: gestures on, faces on");
    Client control(service.address());
    EXPECT_EQ(control.EmitMotion(1005, "hand closed"), 1);
    EXPECT_EQ(control.EmitMotion(1006, "no event for this one"), 0) << "not subscribed";
    EXPECT_EQ(control.EmitMotion(1000, ""), 1);
    EXPECT_EQ(control.EmitFace(0, 7, 10, 20, 30, 40), 1);
    const Json::Value detected =
        ParseJson(R"({"detectResult": [{"nDetectID": 7, "x": 10, "y": 20, "w": 30, "h": 40}]})");
    // The events are all printed before the signal comes: none waits unread when it does.
    std::string printed;
    while (printed.find("EVENT_FR_DETECT_FACE") == std::string::npos || line != "}") {
        ASSERT_TRUE(client.ReadLine(&line)) << printed;
        printed += line + "\n";
    }
    kill(client.pid(), SIGTERM);
    while (client.ReadLine(&line)) printed += line + "\n";
    EXPECT_EQ(printed,
              "event 6511 EVENT_MOTION_GRAB-tv: hand closed\n"
              "event 6511 EVENT_MOTION_SLAP_LEFT-tv\n"
              "event 6512 EVENT_FR_DETECT_FACE: " +
                  detected.toStyledString() + "\nengine 1 closed\n");
    EXPECT_EQ(client.Wait(), 0);
    // Its engine is gone: a gesture reaches nobody.
    EXPECT_EQ(control.EmitMotion(1005, "x"), 0);
}

INSTANTIATE_TEST_SUITE_P(Clients, ExamplesTest,
                         ::testing::Values(GXEMP_SOURCE_DIR "/examples/python/gxemp-client.py",
                                           GXEMP_CLIENT_C_BIN),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "Python" : "C");
                         });

}  // namespace
}  // namespace itest
