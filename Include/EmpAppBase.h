// Application base class of the plug-in host framework.
//
// A plug-in derives from CEmpAppBase, sets the five application strings in its constructor and
// builds engines in CreateEmpEngine. The session slots (Open, Close, Execute, ...) keep a table of
// engines by session id or by session name; the host drives clients through them.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "EmpEngineBase.h"
#include "EmpTypes.h"

namespace kiv {

class CEmpAppBase {
public:
    CEmpAppBase();
    virtual ~CEmpAppBase();

    CEmpAppBase(const CEmpAppBase&) = delete;
    CEmpAppBase& operator=(const CEmpAppBase&) = delete;

    // Sessions named by text: returns 1 when the session exists afterwards, 0 when not.
    virtual int Open(const std::string& sessionName, const std::string& appId,
                     const std::string& appName, const std::string& appPath);
    virtual int Close(const std::string& sessionName, EmpType::type type);
    virtual bool Execute(std::string& result, const std::string& sessionName,
                         const std::string& strCmd, const std::string& arg1,
                         const std::string& arg2, const std::string& arg3,
                         const std::string& arg4);
    virtual bool ExecuteWithParamList(std::string& result, const std::string& sessionName,
                                      const std::string& strCmd, const ParamList& params);
    // Destroys every session's engine.
    virtual void Destroy();
    // Sessions numbered by the framework.
    virtual int Open(int sessionId, const std::string& appId, const std::string& appName,
                     const std::string& appPath);
    virtual int Close(int sessionId);
    virtual bool Execute(std::string& result, int sessionId, const std::string& strCmd,
                         const std::string& arg1, const std::string& arg2,
                         const std::string& arg3, const std::string& arg4);
    virtual bool ExecuteWithParamList(std::string& result, int sessionId,
                                      const std::string& strCmd, const ParamList& params);
    virtual CEmpEngineBase* CreateEmpEngine();
    virtual bool CheckVersion(std::string version);
    virtual bool CheckCredential(std::string credential);

    // The engine of a numbered session, or null.
    CEmpEngineBase* GetEngine(int sessionId);

    // The five application strings, in member order.
    std::string m_strName;
    std::string m_strId;
    std::string m_strVersion;
    std::string m_strLicense;
    std::string m_strCategory;

private:
    CEmpEngineBase* OpenEngine(const std::string& appId, const std::string& appName,
                               const std::string& appPath, int sessionId);

    std::mutex m_Lock;
    std::map<int, CEmpEngineBase*> m_NumberedSessions;
    std::map<std::string, CEmpEngineBase*> m_NamedSessions;
};

}  // namespace kiv
