// In-process harness for the plug-in: engines built by the real application object on the
// simulated platform, events captured from SendEvent, results decoded from the framework's result
// string, library calls read back from the simulator's trace and log lines from its logging
// service. Everything a test compares is rendered as one line of text, so that a table row states
// a whole outcome and a failure prints what differs.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
#include "TempDir.h"
#include "gxsim/Sim.h"

namespace gxtest {

// The handles the simulated libraries hand to the first engine and its first face instance. They
// match no signal number, so that a rendered call shows them as M and F.
constexpr int kMotion = 700;
constexpr int kFace = 900;
// No value: the row does not force a result.
constexpr int kNo = INT_MIN;

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
                    const std::string& data) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Events.push_back({engine, code, name, data});
    }
    // What arrived so far, forgotten here.
    std::vector<Event> Take() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return std::exchange(m_Events, {});
    }

private:
    std::mutex m_Lock;
    std::vector<Event> m_Events;
};

// One log line of the plug-in, split into its fields.
struct LogLine {
    int priority = 0;
    std::string function;
    int line = 0;
    std::string text;
};

// A command's stored result as text: "7" for an integer, '...' for a text, none when untouched.
std::string I(int value);
std::string T(const std::string& text);
extern const char* const kNone;

// One command row: the command, how the TV is prepared, what it must do.
struct Row {
    const char* cmd;
    const char* arg1;
    const char* arg2;
    void (*setup)();    // prepares the TV before the command (nullptr: as the fixture left it)
    int force;          // the first entry point of `calls` returns this instead of working
    const char* calls;  // every library call, in order (see Calls()), and a voice-guide write
    std::string result;
    const char* log;  // the log after "[Execute] ": the command line's text, then " | " lines
    std::string absent = {};  // motion rows: the result once the motion library is unloaded
};

// gtest shows a table row that failed by the log it expects.
template <class Row, class = decltype(Row::log)>
std::ostream& operator<<(std::ostream& os, const Row& row) {
    return os << row.log;
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds an engine through the application object, as the framework does.
    kiv::CEmpEngineGX* NewEngine();
    void Destroy(kiv::CEmpEngineGX* engine);
    struct Outcome {
        bool served;
        std::string result;
    };
    Outcome Exec(kiv::CEmpEngineBase* engine, const std::string& cmd, const std::string& arg1 = "",
                 const std::string& arg2 = "");

    // Library calls since the last call, as "fn(arg,...)=result detail; ...", the engine's
    // handles shown as M and F, ProcessSignal as CB and other pointers as &.
    static std::string Calls();
    // Log lines since the last call. Every line of the plug-in must carry the tag GX-EMP, the
    // colour of its priority and the reset; Log renders them "<priority> <function>: <text>"
    // joined by " | ", with each engine's address shown as E<n> (n: the order of NewEngine).
    std::vector<LogLine> TakeLog();
    std::string Render(const std::vector<LogLine>& lines, const std::set<std::string>& only = {});
    std::string Log() { return Render(TakeLog()); }

    // Runs a row on the engine and checks it completely.
    void Check(kiv::CEmpEngineGX* engine, const Row& row);

    TempDir m_Temp{"gxemp-unit"};  // the simulator's files of this test
    const std::string m_Dir = m_Temp.path();
    kiv::CEmpAppGX* m_App = nullptr;
    EventRecorder m_Events;
    std::vector<kiv::CEmpEngineGX*> m_Engines;
    std::vector<kiv::CEmpEngineGX*> m_Built;  // every engine built, for E<n>
};

}  // namespace gxtest
