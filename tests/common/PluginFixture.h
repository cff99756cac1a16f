// In-process harness for the plug-in: engines built by the real application object on the
// simulated platform, events captured from SendEvent, results decoded from the framework's result
// string, and the plug-in's log lines read back from the simulated logging service.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
#include "gxsim/Sim.h"

namespace gxtest {

struct Event {
    kiv::CEmpEngineBase* engine;
    int code;
    std::string name;
    std::string data;
};

// Collects what engines send; OnEmpEvent runs on the library's thread.
class EventRecorder : public kiv::IEmpEventSink {
public:
    void OnEmpEvent(kiv::CEmpEngineBase* engine, int code, const std::string& name,
                    const std::string& data) override;
    std::vector<Event> Events();
    // Returns what arrived so far and forgets it.
    std::vector<Event> Take();
    // Waits until at least `count` events arrived; false on timeout.
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    std::mutex m_Lock;
    std::condition_variable m_Arrived;
    std::vector<Event> m_Events;
};

// One log line of the plug-in, split into its fields.
struct LogLine {
    int priority = 0;
    std::string tag;
    std::string file;
    std::string function;
    int line = 0;
    std::string colour;  // the escape sequence after "> "
    std::string text;    // the message between the blank and the reset
    bool reset = false;  // ends in "\033[0m"
};
std::optional<LogLine> ParseLogLine(const std::string& raw);

struct Outcome {
    bool served;
    kiv::EmpReturnValue value;
    bool IsInt(int expected) const {
        return value.kind == kiv::EmpReturnValue::INTEGER && value.integer == expected;
    }
    bool IsText(const std::string& expected) const {
        return value.kind == kiv::EmpReturnValue::TEXT && value.text == expected;
    }
    bool Untouched() const { return value.kind == kiv::EmpReturnValue::NONE; }
};

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds an engine through the application object, as the framework does.
    kiv::CEmpEngineGX* NewEngine();
    void Destroy(kiv::CEmpEngineGX* engine);
    Outcome Exec(kiv::CEmpEngineGX* engine, const std::string& cmd, const std::string& arg1 = "",
                 const std::string& arg2 = "", const std::string& arg3 = "",
                 const std::string& arg4 = "");

    // Log lines written since the last call (all fields), and their GX-EMP message texts.
    std::vector<LogLine> TakeLog();
    std::vector<std::string> TakeMessages();
    static bool Contains(const std::vector<std::string>& texts, const std::string& text);
    // Library calls of one entry point since the last ClearTrace.
    static std::vector<gxsim::TraceEntry> Calls(const std::string& function);

    std::string m_Dir;
    kiv::CEmpAppGX* m_App = nullptr;
    EventRecorder m_Events;
    std::vector<kiv::CEmpEngineGX*> m_Engines;
};

}  // namespace gxtest
