// Shared fixture of the in-process fault tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "PluginFixture.h"
#include "gxsim/Sim.h"

namespace faults {

using gxtest::Event;

const char kGrabList[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

// The plug-in harness, with a way to show that an engine still serves and loses nothing.
class FaultTest : public gxtest::PluginTest {
protected:
    void DestroyEngine(kiv::CEmpEngineBase* engine) {
        Destroy(static_cast<kiv::CEmpEngineGX*>(engine));
    }

    // Runs a command: nullopt when the engine did not serve it, else what it stored.
    static std::optional<kiv::EmpReturnValue> Run(kiv::CEmpEngineBase* engine,
                                                  const std::string& cmd,
                                                  const std::string& arg1 = "",
                                                  const std::string& arg2 = "") {
        std::string result;
        if (!engine->Execute(result, cmd, arg1, arg2, "", "")) return std::nullopt;
        return kiv::DecodeReturnValue(result);
    }
    static int RunInt(kiv::CEmpEngineBase* engine, const std::string& cmd,
                      const std::string& arg1 = "", const std::string& arg2 = "") {
        auto r = Run(engine, cmd, arg1, arg2);
        if (!r) return -1000;  // not served
        if (r->kind != kiv::EmpReturnValue::INTEGER) return -2000;
        return r->integer;
    }

    // Emits `count` face detections and returns how many events the engine's sink received.
    size_t FaceEventsDelivered(int count) {
        m_Events.Take();
        for (int i = 0; i < count; ++i) {
            gxsim::FaceRecord record;
            record.id = i;
            gxsim::EmitFaceSignal(0, record);
        }
        gxsim::Drain();
        size_t n = 0;
        for (const Event& e : m_Events.Take())
            if (e.code == 6512 && e.name == "EVENT_FR_DETECT_FACE") ++n;
        return n;
    }

    // Emits `count` grabs and returns how many arrived under the widget name.
    size_t GrabEventsDelivered(int count, const std::string& widget) {
        m_Events.Take();
        for (int i = 0; i < count; ++i) gxsim::EmitMotionSignal(1005, "g" + std::to_string(i));
        gxsim::Drain();
        size_t n = 0;
        for (const Event& e : m_Events.Take())
            if (e.code == 6511 && e.name == "EVENT_MOTION_GRAB-" + widget) ++n;
        return n;
    }

    // The engine still serves face commands and delivers every face event.
    void ExpectFaceServing(kiv::CEmpEngineBase* engine) {
        EXPECT_EQ(RunInt(engine, "InitializeFace"), 1);
        EXPECT_EQ(RunInt(engine, "SubscribeFaceEvent", "app"), 1);
        EXPECT_EQ(FaceEventsDelivered(25), 25u);
    }

    // The engine still subscribes motion events and delivers every one.
    void ExpectMotionServing(kiv::CEmpEngineBase* engine, const std::string& widget) {
        EXPECT_EQ(RunInt(engine, "SetMotionSubscribeInfo", widget, kGrabList), 1);
        EXPECT_EQ(GrabEventsDelivered(25, widget), 25u);
    }
};

}  // namespace faults
