// Application base class: the session table through which the host drives engines.
#include "EmpAppBase.h"

#include <utility>
#include <vector>

namespace kiv {

CEmpAppBase::CEmpAppBase() = default;

CEmpAppBase::~CEmpAppBase() {
    Destroy();
}

CEmpEngineBase* CEmpAppBase::OpenEngine(const std::string& appId, const std::string& appName,
                                        const std::string& appPath, int sessionId) {
    CEmpEngineBase* engine = CreateEmpEngine();
    if (engine != nullptr) engine->SetAppInfo(sessionId, appId, appName, appPath);
    return engine;
}

int CEmpAppBase::Open(const std::string& sessionName, const std::string& appId,
                      const std::string& appName, const std::string& appPath) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_NamedSessions.count(sessionName) != 0) return 1;
    }
    // Engines are built outside the lock: start-up calls into the platform libraries.
    CEmpEngineBase* engine = OpenEngine(appId, appName, appPath, 0);
    if (engine == nullptr) return 0;
    std::lock_guard<std::mutex> lock(m_Lock);
    auto inserted = m_NamedSessions.emplace(sessionName, engine);
    if (!inserted.second) delete engine;  // opened twice at once: keep the first
    return 1;
}

int CEmpAppBase::Close(const std::string& sessionName, EmpType::type) {
    CEmpEngineBase* engine = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto it = m_NamedSessions.find(sessionName);
        if (it == m_NamedSessions.end()) return 0;
        engine = it->second;
        m_NamedSessions.erase(it);
    }
    delete engine;
    return 1;
}

bool CEmpAppBase::Execute(std::string& result, const std::string& sessionName,
                          const std::string& strCmd, const std::string& arg1,
                          const std::string& arg2, const std::string& arg3,
                          const std::string& arg4) {
    CEmpEngineBase* engine = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto it = m_NamedSessions.find(sessionName);
        if (it == m_NamedSessions.end()) return false;
        engine = it->second;
    }
    return engine->Execute(result, strCmd, arg1, arg2, arg3, arg4);
}

bool CEmpAppBase::ExecuteWithParamList(std::string& result, const std::string& sessionName,
                                       const std::string& strCmd, const ParamList& params) {
    CEmpEngineBase* engine = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto it = m_NamedSessions.find(sessionName);
        if (it == m_NamedSessions.end()) return false;
        engine = it->second;
    }
    return engine->ExecuteWithParamList(result, strCmd, params);
}

void CEmpAppBase::Destroy() {
    std::vector<CEmpEngineBase*> engines;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        // Numbered sessions in the order they were numbered, then the named ones.
        for (auto& entry : m_NumberedSessions) engines.push_back(entry.second);
        for (auto& entry : m_NamedSessions) engines.push_back(entry.second);
        m_NumberedSessions.clear();
        m_NamedSessions.clear();
    }
    for (CEmpEngineBase* engine : engines) delete engine;
}

int CEmpAppBase::Open(int sessionId, const std::string& appId, const std::string& appName,
                      const std::string& appPath) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_NumberedSessions.count(sessionId) != 0) return 1;
    }
    CEmpEngineBase* engine = OpenEngine(appId, appName, appPath, sessionId);
    if (engine == nullptr) return 0;
    std::lock_guard<std::mutex> lock(m_Lock);
    auto inserted = m_NumberedSessions.emplace(sessionId, engine);
    if (!inserted.second) delete engine;
    return 1;
}

int CEmpAppBase::Close(int sessionId) {
    CEmpEngineBase* engine = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        auto it = m_NumberedSessions.find(sessionId);
        if (it == m_NumberedSessions.end()) return 0;
        engine = it->second;
        m_NumberedSessions.erase(it);
    }
    delete engine;
    return 1;
}

bool CEmpAppBase::Execute(std::string& result, int sessionId, const std::string& strCmd,
                          const std::string& arg1, const std::string& arg2, const std::string& arg3,
                          const std::string& arg4) {
    CEmpEngineBase* engine = GetEngine(sessionId);
    if (engine == nullptr) return false;
    return engine->Execute(result, strCmd, arg1, arg2, arg3, arg4);
}

bool CEmpAppBase::ExecuteWithParamList(std::string& result, int sessionId,
                                       const std::string& strCmd, const ParamList& params) {
    CEmpEngineBase* engine = GetEngine(sessionId);
    if (engine == nullptr) return false;
    return engine->ExecuteWithParamList(result, strCmd, params);
}

CEmpEngineBase* CEmpAppBase::CreateEmpEngine() {
    return nullptr;
}

bool CEmpAppBase::CheckVersion(std::string version) {
    return version == m_strVersion;
}

bool CEmpAppBase::CheckCredential(std::string credential) {
    return credential == m_strLicense;
}

CEmpEngineBase* CEmpAppBase::GetEngine(int sessionId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_NumberedSessions.find(sessionId);
    return it == m_NumberedSessions.end() ? nullptr : it->second;
}

}  // namespace kiv
