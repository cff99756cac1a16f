// Engine base class: result encoding, event hand-off and the default slots.
#include "EmpEngineBase.h"

#include <cstdlib>
#include <utility>

namespace kiv {

namespace {
// A result string carries its kind in its first two characters; an untouched result is empty.
constexpr char kIntegerTag[] = "i:";
constexpr char kTextTag[] = "s:";
}  // namespace

EmpReturnValue DecodeReturnValue(const std::string& result) {
    EmpReturnValue value;
    if (result.compare(0, 2, kIntegerTag) == 0) {
        value.kind = EmpReturnValue::INTEGER;
        value.integer = static_cast<int>(std::strtol(result.c_str() + 2, nullptr, 10));
    } else if (result.compare(0, 2, kTextTag) == 0) {
        value.kind = EmpReturnValue::TEXT;
        value.text = result.substr(2);
    }
    return value;
}

CEmpEngineBase::CEmpEngineBase() = default;
CEmpEngineBase::~CEmpEngineBase() = default;

bool CEmpEngineBase::Execute(std::string&, const std::string&, const std::string&,
                             const std::string&, const std::string&, const std::string&) {
    return false;
}

bool CEmpEngineBase::ExecuteWithParamList(std::string& result, const std::string& strCmd,
                                          const ParamList& params) {
    std::string args[4];
    for (size_t i = 0; i < params.size() && i < 4; ++i) args[i] = params[i];
    return Execute(result, strCmd, args[0], args[1], args[2], args[3]);
}

void CEmpEngineBase::Destroy() {
    delete this;
}

void CEmpEngineBase::SetAppInfo(int id, std::string appId, std::string appName,
                                std::string appPath) {
    m_AppInfoId = id;
    m_AppInfoAppId = std::move(appId);
    m_AppInfoName = std::move(appName);
    m_AppInfoPath = std::move(appPath);
}

void CEmpEngineBase::SendEvent(int code, std::string name, std::string data) {
    IEmpEventSink* sink = m_pEventSink.load(std::memory_order_acquire);
    if (sink != nullptr) sink->OnEmpEvent(this, code, name, data);
}

void CEmpEngineBase::SetReturnValueInteger(std::string& result, int value) {
    result = kIntegerTag + std::to_string(value);
}

void CEmpEngineBase::SetReturnValueASCII(std::string& result, const char* value) {
    result = kTextTag;
    if (value != nullptr) result += value;
}

void CEmpEngineBase::SetReturnValueASCII(std::string& result, std::string& value) {
    result = kTextTag + value;
}

void CEmpEngineBase::SetEventSink(IEmpEventSink* sink) {
    m_pEventSink.store(sink, std::memory_order_release);
}

}  // namespace kiv
