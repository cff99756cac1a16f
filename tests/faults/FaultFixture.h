// Shared fixture of the in-process fault tests: the plug-in on the simulated platform, with its
// files in a private directory, and a way to show that an engine still serves and loses nothing.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineBase.h"
#include "gxsim/Sim.h"

namespace faults {

struct Event {
    int code;
    std::string name;
    std::string data;
};

// Records an engine's events; library threads call it.
class Recorder : public kiv::IEmpEventSink {
public:
    void OnEmpEvent(kiv::CEmpEngineBase*, int code, const std::string& name,
                    const std::string& data) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(Event{code, name, data});
    }
    std::vector<Event> Take() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::vector<Event> out;
        out.swap(m_Events);
        return out;
    }

private:
    std::mutex m_Mutex;
    std::vector<Event> m_Events;
};

const char kGrabList[] = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gxemp-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        gxsim::Reset();
        gxsim::SetLogQuiet(true);
        gxsim::SetSettingsPath(m_Dir + "/settings.ini");
        gxsim::SetFaceImageDirectory(m_Dir + "/faces");
        m_App = std::make_unique<kiv::CEmpAppGX>();
    }

    void TearDown() override {
        for (auto it = m_Engines.rbegin(); it != m_Engines.rend(); ++it) (*it)->Destroy();
        m_Engines.clear();
        gxsim::Drain();
        gxsim::Reset();
        gxsim::SetSettingsPath("");
        std::string cmd = "chmod -R u+w '" + m_Dir + "' 2>/dev/null; rm -rf '" + m_Dir + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_Dir;
    }

    kiv::CEmpEngineBase* NewEngine() {
        kiv::CEmpEngineBase* engine = m_App->CreateEmpEngine();
        engine->SetEventSink(&m_Events);
        m_Engines.push_back(engine);
        return engine;
    }

    void DestroyEngine(kiv::CEmpEngineBase* engine) {
        for (auto it = m_Engines.begin(); it != m_Engines.end(); ++it) {
            if (*it == engine) {
                m_Engines.erase(it);
                break;
            }
        }
        engine->Destroy();
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

    std::string m_Dir;
    std::unique_ptr<kiv::CEmpAppGX> m_App;
    Recorder m_Events;
    std::vector<kiv::CEmpEngineBase*> m_Engines;
};

}  // namespace faults
