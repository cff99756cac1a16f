#include "EmpAppGX.h"

#include "EmpEngineGX.h"
#include "EmpLog.h"

namespace kiv {

CEmpAppGX::CEmpAppGX() {
    EMP_LOGE("CEmpAppGX::CEmpAppGX");
    m_strName = "RECOG";
    m_strId = "0001";
    m_strVersion = "1.000";
    m_strLicense = "GPL";
    m_strCategory = "RECOG";
}

CEmpAppGX::~CEmpAppGX() {}

CEmpEngineBase* CEmpAppGX::CreateEmpEngine() {
    EMP_LOGE("CEmpAppGX::CreateEmpEngine");
    CEmpEngineBase* pEmpEngine = new CEmpEngineGX();
    if (pEmpEngine == nullptr) EMP_LOGE("NULL == pEmpEngine");
    return pEmpEngine;
}

}  // namespace kiv
