#include "PluginFixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "vconf.h"

namespace gxtest {

namespace {

void Replace(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The voice-guide setting, INT_MIN when the store cannot be read.
int Tts() {
    int value = INT_MIN;
    vconf_get_int("db/menu/accessibility/tts", &value);
    return value;
}

}  // namespace

const char* const kNone = "none";
std::string I(int value) {
    return std::to_string(value);
}
std::string T(const std::string& text) {
    return "'" + text + "'";
}

void PluginTest::SetUp() {
    gxsim::Reset();
    gxsim::SetSettingsPath(m_Dir + "/settings.ini");
    gxsim::SetFaceImageDirectory(m_Dir + "/faces");
    gxsim::SetNextMotionHandle(kMotion);
    gxsim::SetNextFaceHandle(kFace);
    gxsim::SetLogQuiet(true);
    gxsim::StartLogCapture();
    m_App = new kiv::CEmpAppGX();
    EXPECT_EQ(Log(), "16 CEmpAppGX: CEmpAppGX::CEmpAppGX");
    gxsim::ClearTrace();
}

void PluginTest::TearDown() {
    while (!m_Engines.empty()) Destroy(m_Engines.back());
    gxsim::Drain();
    delete m_App;
    gxsim::StopLogCapture();
    gxsim::Reset();
    gxsim::SetSettingsPath("");
}

kiv::CEmpEngineGX* PluginTest::NewEngine() {
    auto* engine = static_cast<kiv::CEmpEngineGX*>(m_App->CreateEmpEngine());
    engine->SetEventSink(&m_Events);
    m_Engines.push_back(engine);
    m_Built.push_back(engine);
    return engine;
}

void PluginTest::Destroy(kiv::CEmpEngineGX* engine) {
    m_Engines.erase(std::remove(m_Engines.begin(), m_Engines.end(), engine), m_Engines.end());
    delete engine;
}

PluginTest::Outcome PluginTest::Exec(kiv::CEmpEngineBase* engine, const std::string& cmd,
                                     const std::string& arg1, const std::string& arg2) {
    // The third and fourth arguments are never read: they carry text that would show if they were.
    std::string result;
    bool served = engine->Execute(result, cmd, arg1, arg2, "arg3", "arg4");
    kiv::EmpReturnValue value = kiv::DecodeReturnValue(result);
    std::string text = value.text;
    Replace(text, m_Dir, "$DIR");
    return {served, value.kind == kiv::EmpReturnValue::INTEGER ? I(value.integer)
                    : value.kind == kiv::EmpReturnValue::TEXT  ? T(text)
                                                               : kNone};
}

std::string PluginTest::Calls() {
    const std::string callback =
        gxsim::FormatPointer(reinterpret_cast<void*>(&kiv::CEmpEngineGX::ProcessSignal));
    std::string out;
    for (const gxsim::TraceEntry& call : gxsim::Trace()) {
        out += (out.empty() ? "" : "; ") + call.function + "(";
        for (size_t i = 0; i < call.args.size(); ++i) {
            const std::string& arg = call.args[i];
            out += (i > 0 ? "," : "") + (arg == I(kMotion)         ? "M"
                                         : arg == I(kFace)         ? "F"
                                         : arg == callback         ? "CB"
                                         : arg.rfind("0x", 0) == 0 ? "&"
                                                                   : arg);
        }
        out += ")=" + std::to_string(call.result) + (call.detail.empty() ? "" : " " + call.detail);
    }
    gxsim::ClearTrace();
    return out;
}

std::vector<LogLine> PluginTest::TakeLog() {
    // A line of the plug-in, or of another tag (the framework's logger).
    static const std::regex kLine(
        R"(^\[(\d+)\] (?:GX-EMP: ([^:]+): (.+)\((\d+)\) > \x1b\[(\d+)m |([-\w]+): )([\s\S]*?)(\x1b\[0m)?$)");
    // The engine's code is spread over several sources, but its lines all carry EmpEngineGX.cpp as
    // their file, the name readers filter the log by: only the sources outside it log as
    // themselves.
    static const std::set<std::string> kFiles = {"EmpEngineGX.cpp", "EmpAppGX.cpp",
                                                 "EmpManager.cpp", "EmpProviderPlugin.cpp",
                                                 "EmpUtil.cpp"};
    std::vector<LogLine> lines;
    for (const std::string& raw : gxsim::TakeLogLines()) {
        std::smatch m;
        if (!std::regex_match(raw, m, kLine)) {
            ADD_FAILURE() << "not a log line: " << raw;
            continue;
        }
        LogLine line{std::stoi(m[1]), m[6].matched ? m[6] : m[3], 0, m[7]};
        if (m[6].matched) {
            // The framework's logger writes the source line into the text; it says nothing here.
            line.text = std::regex_replace(line.text, std::regex(R"(\(\d+\)\])"), "(#)]");
        } else {
            line.line = std::stoi(m[4]);
            EXPECT_EQ(kFiles.count(m[2]), 1u) << "filed under another source: " << raw;
            EXPECT_EQ(m[5], line.priority == 16 ? "31" : line.priority == 2 ? "33" : "32") << raw;
            EXPECT_EQ(m[8].matched, !line.text.empty()) << "an empty trace alone has no reset";
        }
        lines.push_back(line);
    }
    return lines;
}

std::string PluginTest::Render(const std::vector<LogLine>& lines,
                               const std::set<std::string>& only) {
    std::string out;
    for (const LogLine& line : lines) {
        if (!only.empty() && only.count(line.function) == 0) continue;
        out += (out.empty() ? "" : " | ") + std::to_string(line.priority) + " " + line.function +
               (line.text.empty() ? "" : ": " + line.text);
    }
    for (size_t i = 0; i < m_Built.size(); ++i)
        Replace(out, gxsim::FormatPointer(m_Built[i]), "E" + I(i + 1));  // as %p shows it
    return out;
}

void PluginTest::Check(kiv::CEmpEngineGX* engine, const Row& row) {
    if (row.setup != nullptr) row.setup();
    const std::string expected = row.calls;
    if (row.force != kNo) {
        ASSERT_TRUE(gxsim::ForceResult(expected.substr(0, expected.find('(')), row.force));
    }
    const int before = Tts();
    Calls();
    TakeLog();
    Outcome out = Exec(engine, row.cmd, row.arg1, row.arg2);
    EXPECT_TRUE(out.served);
    std::string calls = Calls();
    if (Tts() != before) calls += (calls.empty() ? "tts=" : "; tts=") + I(Tts());
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(out.result, row.result);
    EXPECT_EQ(Log(), std::string("16 Execute: strCmd = ") + row.cmd + " | 16 Execute: [Execute] " +
                         row.log);
    gxsim::ClearForcedResults();
}

}  // namespace gxtest
