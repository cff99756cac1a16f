// The example web app (examples/web) in headless Chromium against the real service and bridge:
// a simulated slap moves its gallery, a grab chooses, a recognised face is greeted, the voice
// guide switches; a page of an origin not on the bridge's list cannot connect.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Harness.h"

namespace itest {
namespace {

class WebExampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Browser::Available(CHROMIUM_BIN))
            GTEST_SKIP() << CHROMIUM_BIN " is not installed (scripts/setup.sh installs chromium)";
        ASSERT_TRUE(site.ReadLine(&page));  // http://localhost:PORT/
        std::string origin = page.substr(0, page.size() - 1);
        std::ofstream(dir.path() + "/bridge.conf")
            << "[origin " << origin << "]\ncommands=motion;speech\nfaces=true\n";
        bridge = std::make_unique<Child>(
            std::vector<std::string>{"/bin/sh", "-c", "exec \"$@\" 2>>\"$0/bridge.log\"",
                                     dir.path(), GXEMP_BRIDGE_BIN, "--port", "0", "--config",
                                     dir.path() + "/bridge.conf", "--address", service.address()},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir.path()});
        ASSERT_TRUE(bridge->ReadLine(&ws));
        browser = std::make_unique<Browser>(CHROMIUM_BIN);
    }
    Service service;
    TempDir dir;
    Child site{{NODE_BIN, GXEMP_SOURCE_DIR "/examples/web/serve.mjs", "0"}};
    std::unique_ptr<Child> bridge;
    std::unique_ptr<Browser> browser;
    std::string page, ws;
};

TEST_F(WebExampleTest, SlidesOnASlapChoosesOnAGrabAndGreetsARecognisedFace) {
    std::string s = browser->Open(page + "?bridge=" + ws);
    ASSERT_EQ(browser->Await(s, "document.body.dataset.subscribed === 'yes' || null"), true);
    Client control(service.address());
    ASSERT_GT(control.EmitMotion(1000, "left"), 0);  // EVENT_MOTION_SLAP_LEFT
    EXPECT_EQ(browser->Await(s, "document.body.dataset.slide === '1' || null"), true);
    ASSERT_GT(control.EmitMotion(1005, ""), 0);  // EVENT_MOTION_GRAB
    EXPECT_EQ(browser->Await(s, "document.body.dataset.chosen || null"), "1");
    ASSERT_GT(control.EmitFace(3, 3, 400, 150, 140, 180), 0);  // recognised: id 3
    EXPECT_EQ(browser->Await(s,
                             "!document.getElementById('greeting').hidden && "
                             "document.getElementById('who').textContent || null"),
              "Noor");
    browser->Await(s, "document.getElementById('voice').click() ?? true");
    EXPECT_EQ(browser->Await(s,
                             "document.getElementById('voice').getAttribute('aria-pressed') "
                             "=== 'true' || null"),
              true);
    EXPECT_EQ(control.GetSetting("db/menu/accessibility/tts"), 1);
    std::ofstream(VIEW_SHOTS_DIR "/web-example-1280x720.png", std::ios::binary)
        << browser->Screenshot(s);
}

// Which origins the bridge refuses, and what it logs, is BridgeTest's table; here, what the page
// does when it is refused.
TEST_F(WebExampleTest, APageOfAnotherOriginIsRefusedAndSaysSo) {
    Child other{{NODE_BIN, GXEMP_SOURCE_DIR "/examples/web/serve.mjs", "0"}};
    std::string elsewhere;
    ASSERT_TRUE(other.ReadLine(&elsewhere));
    std::string s = browser->Open(elsewhere + "?bridge=" + ws);
    EXPECT_EQ(browser->Await(s, "document.body.dataset.bridge === 'reconnecting' || null"), true);
}

}  // namespace
}  // namespace itest
