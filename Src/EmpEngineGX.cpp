// The engine's life: construction with its start-up, the check of what the TV supports, and
// teardown. The rest of the engine is in the sources EmpEngineGX.h lists.
#include "EmpEngineGX.h"

#include "EmpEngineLog.h"
#include "EmpEngineRegistry.h"
#include "EmpUtil.h"
#include "factory_data.h"

namespace kiv {

CEmpEngineGX::CEmpEngineGX()
    : m_pManger(nullptr),
      m_pProviderPlugin(nullptr),
      m_MotionHandle(0),
      m_FaceHandle(0),
      m_MotionLoop(nullptr),
      m_SubscribeThread(),
      m_MotionSupported(false),
      m_FaceSupported(false) {
    EMP_TRACE();
    RegisterEngine(this);
    EMP_LOGE("m_vCtxList  add [%p]", static_cast<void*>(this));
    Initial();
}

int CEmpEngineGX::Initial() {
    EMP_TRACE();
    m_pManger = new CEmpManager();
    if (m_pManger == nullptr) EMP_LOGE("[Main ERROR] NULL == m_pManger\n");
    m_pProviderPlugin = new CEmpProviderPlugin();
    if (m_pProviderPlugin == nullptr) {
        EMP_LOGE("[Main ERROR] NULL == m_pProviderPlugin\n");
    } else {
        m_pProviderPlugin->LoadMotionLib();
    }
    m_IsSupportGX();
    if (!m_MotionSupported) return 1;

    // The library writes a local; callbacks see the handle only once it is published.
    int handle = m_MotionHandle;
    int created = m_pManger->CreateMotionHandle(&handle);
    PublishHandle(m_MotionHandle, handle);
    if (created == 0) {
        EMP_LOGE("CreateMotionHandle failed");
        m_MotionSupported = false;
    }
    return 1;
}

CEmpEngineGX::~CEmpEngineGX() {
    EMP_TRACE();
    if (m_pManger != nullptr) {
        if (m_MotionSupported) m_pManger->DestroyMotionHandle(m_MotionHandle);
        delete m_pManger;
        m_pManger = nullptr;
    }
    if (UnregisterEngine(this)) EMP_LOGE("remove pointer (%p)", static_cast<void*>(this));
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_MotionWidgetName.clear();
    }
    m_MotionSupported = false;
    m_DestroyMotionMainLoopThread();
    if (m_pProviderPlugin != nullptr) {
        m_pProviderPlugin->UnLoadMotionLib();
        delete m_pProviderPlugin;
        m_pProviderPlugin = nullptr;
    }
}

void CEmpEngineGX::m_IsSupportGX() {
    std::string model = CEMPUtil::GetSWVersion();
    std::vector<std::string> codes{"T-VRDLPQNC", "T-VRDLTSWC", "T-VRDLBGYC"};
    if (CEMPUtil::MatchSpecifiedModels(model, codes) == 0) {
        m_MotionSupported = false;
        m_FaceSupported = false;
        EMP_LOGE("current model %s don't support motion control and voice recognition",
                 model.c_str());
        return;
    }
    int motion = 0;
    if (GetData(ID_MRT_MOTION_RECOG, &motion) == 0) {
        EMP_LOGE("GetData of ID_MRT_MOTION_RECOG failed");
        m_MotionSupported = false;
        return;
    }
    EMP_LOGE("The value of ID_MRT_MOTION_RECOG is %d", motion);
    m_MotionSupported = motion != 0;
    m_FaceSupported = motion != 0;
    int voice = 0;
    if (GetData(ID_MRT_VOICE_RECOG, &voice) == 0) {
        EMP_LOGE("GetData of ID_MRT_VOICE_RECOG failed");
    } else {
        EMP_LOGE("The value of ID_MRT_VOICE_RECOG is %d", voice);
    }
}

}  // namespace kiv
