// Engine base class of the plug-in host framework.
//
// The framework creates engines through CEmpAppBase::CreateEmpEngine, hands every client command
// to Execute and destroys engines through the virtual destructor. An engine reports asynchronous
// happenings with SendEvent, which may be called from any thread.
#pragma once

#include <atomic>
#include <string>

#include "EmpTypes.h"

namespace kiv {

class CEmpEngineBase;

// Receives the events of the engines it is installed on. The framework installs one before the
// engine serves its first command; OnEmpEvent runs on the thread that called SendEvent.
class IEmpEventSink {
public:
    virtual ~IEmpEventSink() = default;
    virtual void OnEmpEvent(CEmpEngineBase* engine, int code, const std::string& name,
                            const std::string& data) = 0;
};

// What a command stored in its result string. The framework keeps the kind in the string itself,
// so that a result left untouched (empty) stays distinguishable from an empty text.
struct EmpReturnValue {
    enum Kind { NONE, INTEGER, TEXT };
    Kind kind = NONE;
    int integer = 0;
    std::string text;
};

// Decodes a result string written by SetReturnValueInteger / SetReturnValueASCII.
EmpReturnValue DecodeReturnValue(const std::string& result);

class CEmpEngineBase {
public:
    CEmpEngineBase();
    virtual ~CEmpEngineBase();

    CEmpEngineBase(const CEmpEngineBase&) = delete;
    CEmpEngineBase& operator=(const CEmpEngineBase&) = delete;

    // Runs one client command; returns whether the command was carried out.
    virtual bool Execute(std::string& result, const std::string& strCmd, const std::string& arg1,
                         const std::string& arg2, const std::string& arg3,
                         const std::string& arg4);
    // Runs a command whose arguments come as a list: the first four become arg1 to arg4.
    virtual bool ExecuteWithParamList(std::string& result, const std::string& strCmd,
                                      const ParamList& params);
    // Destroys the engine through its virtual destructor.
    virtual void Destroy();
    // Records which client application the engine serves.
    virtual void SetAppInfo(int id, std::string appId, std::string appName, std::string appPath);

    // Helpers for derived engines.
    void SendEvent(int code, std::string name, std::string data);
    void SetReturnValueInteger(std::string& result, int value);
    void SetReturnValueASCII(std::string& result, const char* value);
    void SetReturnValueASCII(std::string& result, std::string& value);

    // Framework side.
    void SetEventSink(IEmpEventSink* sink);
    int GetAppInfoId() const { return m_AppInfoId; }
    const std::string& GetAppInfoAppId() const { return m_AppInfoAppId; }

private:
    std::atomic<IEmpEventSink*> m_pEventSink{nullptr};
    int m_AppInfoId = 0;
    std::string m_AppInfoAppId;
    std::string m_AppInfoName;
    std::string m_AppInfoPath;
};

}  // namespace kiv
