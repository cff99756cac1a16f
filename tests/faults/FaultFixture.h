// The plug-in harness, with a way to show that an engine keeps serving and loses no event.
#pragma once

#include "PluginFixture.h"

namespace faults {

const char kGrabList[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

class FaultTest : public gxtest::PluginTest {
protected:
    // Emits `count` face detections, or grabs, and counts the events that arrived for them.
    size_t Delivered(bool face, int count, const std::string& widget = "") {
        m_Events.Take();
        for (int i = 0; i < count; ++i) {
            if (face) gxsim::EmitFaceSignal(0, gxsim::FaceRecord{i, std::nullopt});
            if (!face) gxsim::EmitMotionSignal(1005, "g" + std::to_string(i));
        }
        gxsim::Drain();
        size_t n = 0;
        for (const gxtest::Event& e : m_Events.Take())
            n += e.name == (face ? "EVENT_FR_DETECT_FACE" : "EVENT_MOTION_GRAB-" + widget);
        return n;
    }
    // The engine still creates a face handle, subscribes and delivers every face event.
    void ExpectFaceServing(kiv::CEmpEngineBase* engine) {
        EXPECT_EQ(Exec(engine, "InitializeFace").result, "1");
        EXPECT_EQ(Exec(engine, "SubscribeFaceEvent", "app").result, "1");
        EXPECT_EQ(Delivered(true, 25), 25u);
    }
    // The engine still subscribes a list and delivers every grab under the widget name.
    void ExpectMotionServing(kiv::CEmpEngineBase* engine, const std::string& widget) {
        EXPECT_EQ(Exec(engine, "SetMotionSubscribeInfo", widget, kGrabList).result, "1");
        EXPECT_EQ(Delivered(false, 25, widget), 25u);
    }
};

}  // namespace faults
