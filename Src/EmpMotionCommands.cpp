// The motion commands that are more than one manager operation on the motion handle, and the
// widget name that motion events carry.
#include "EmpEngineCommand.h"
#include "EmpEngineLog.h"

namespace kiv {

namespace Cmd {

void GetGestureCameraStatus(CommandCall& call) {
    gx_camera_status status = 2;
    call.manager.GetGestureCameraStatus(&status);
    EXEC_LOGE("current camera status = %d", status);
    call.ReturnInteger(status);
}

void SubscirbeMotionSignal(CommandCall& call) {
    call.ReturnInteger(call.manager.SubscirbeMotionSignal(call.handle, DecimalArgument(call.arg1),
                                                          CEmpEngineGX::ProcessSignal, nullptr));
}

void SubscribeMotionEvent(CommandCall& call) {
    call.ReplaceMotionWidgetName(call.arg1);
    call.ReturnInteger(call.manager.SubscribeMotionEvent(call.handle));
}

void UnsubscribeMotionEvent(CommandCall& call) {
    call.ReplaceMotionWidgetName(call.arg1);
    call.ReturnInteger(call.manager.UnsubscribeMotionEvent(call.handle));
}

void SetMotionSubscribeInfo(CommandCall& call) {
    call.SetMotionSubscribeInfo();
}

}  // namespace Cmd

void CEmpEngineGX::ReplaceMotionWidgetName(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_MotionWidgetName = name;
    }
    EXEC_LOGE("m_MotionWidgetName = %s\n", name.c_str());
}

std::string CEmpEngineGX::MotionWidgetName() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_MotionWidgetName;
}

}  // namespace kiv
