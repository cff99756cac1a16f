#include "PluginFixture.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <regex>

namespace gxtest {

void EventRecorder::OnEmpEvent(kiv::CEmpEngineBase* engine, int code, const std::string& name,
                               const std::string& data) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Events.push_back({engine, code, name, data});
    m_Arrived.notify_all();
}

std::vector<Event> EventRecorder::Events() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Events;
}

std::vector<Event> EventRecorder::Take() {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<Event> taken;
    taken.swap(m_Events);
    return taken;
}

bool EventRecorder::WaitFor(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Arrived.wait_for(lock, timeout, [&] { return m_Events.size() >= count; });
}

std::optional<LogLine> ParseLogLine(const std::string& raw) {
    static const std::regex kLine(
        R"(^\[(\d+)\] ([^:]+): ([^:]+): (.+)\((\d+)\) > (\x1b\[\d+m) ([\s\S]*?)(\x1b\[0m)?$)");
    std::smatch m;
    if (!std::regex_match(raw, m, kLine)) return std::nullopt;
    LogLine line;
    line.priority = std::stoi(m[1]);
    line.tag = m[2];
    line.file = m[3];
    line.function = m[4];
    line.line = std::stoi(m[5]);
    line.colour = m[6];
    line.text = m[7];
    line.reset = m[8].matched;
    return line;
}

void PluginTest::SetUp() {
    char pattern[] = "/tmp/gxemp-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_Dir = pattern;
    gxsim::Reset();
    gxsim::SetSettingsPath(m_Dir + "/settings.ini");
    gxsim::SetFaceImageDirectory(m_Dir + "/faces");
    gxsim::SetLogQuiet(true);
    gxsim::StartLogCapture();
    m_App = new kiv::CEmpAppGX();
    gxsim::TakeLogLines();
    gxsim::ClearTrace();
}

void PluginTest::TearDown() {
    while (!m_Engines.empty()) Destroy(m_Engines.back());
    gxsim::Drain();
    delete m_App;
    gxsim::StopLogCapture();
    gxsim::Reset();
    gxsim::SetSettingsPath("");
    // Tests may leave read-only files and directories behind (a store that cannot be written).
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_Dir, ignored)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(m_Dir, ignored);
    if (std::filesystem::exists(m_Dir)) ADD_FAILURE() << "cannot remove " << m_Dir;
}

kiv::CEmpEngineGX* PluginTest::NewEngine() {
    auto* engine = static_cast<kiv::CEmpEngineGX*>(m_App->CreateEmpEngine());
    engine->SetEventSink(&m_Events);
    m_Engines.push_back(engine);
    return engine;
}

void PluginTest::Destroy(kiv::CEmpEngineGX* engine) {
    m_Engines.erase(std::remove(m_Engines.begin(), m_Engines.end(), engine), m_Engines.end());
    delete engine;
}

Outcome PluginTest::Exec(kiv::CEmpEngineGX* engine, const std::string& cmd, const std::string& arg1,
                         const std::string& arg2, const std::string& arg3,
                         const std::string& arg4) {
    std::string result;
    bool served = engine->Execute(result, cmd, arg1, arg2, arg3, arg4);
    return {served, kiv::DecodeReturnValue(result)};
}

std::vector<LogLine> PluginTest::TakeLog() {
    std::vector<LogLine> lines;
    for (const std::string& raw : gxsim::TakeLogLines()) {
        if (auto line = ParseLogLine(raw)) lines.push_back(*line);
    }
    return lines;
}

std::vector<std::string> PluginTest::TakeMessages() {
    std::vector<std::string> texts;
    for (const LogLine& line : TakeLog()) texts.push_back(line.text);
    return texts;
}

bool PluginTest::Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::vector<gxsim::TraceEntry> PluginTest::Calls(const std::string& function) {
    std::vector<gxsim::TraceEntry> calls;
    for (const gxsim::TraceEntry& entry : gxsim::Trace()) {
        if (entry.function == function) calls.push_back(entry);
    }
    return calls;
}

}  // namespace gxtest
