// The plug-in's engine: one per client session. It creates the motion handle at start-up, serves
// the client's commands (Execute), runs the motion subscription thread and turns the recognition
// libraries' callbacks into events. Its code is spread over several sources, one per job:
//   EmpEngineGX.cpp          construction, the capability check, teardown
//   EmpEngineRegistry.cpp    the registry of live engines (m_vCtxList, m_pCtx) and its lock
//   EmpCommandTable.cpp      Execute: the command names, their groups and handlers
//   EmpMotionCommands.cpp, EmpFaceCommands.cpp, EmpSpeechCommands.cpp   the handlers
//   EmpCommandArgs.cpp       the decoding of command arguments
//   EmpMotionSubscription.cpp  "SetMotionSubscribeInfo", its thread and main loop
//   EmpEngineSignals.cpp     the libraries' callbacks turned into events
//   EmpFaceJson.cpp          face records as the JSON texts of results and events
#pragma once

#include <glib.h>
#include <pthread.h>
#include <semaphore.h>

#include <mutex>
#include <string>
#include <vector>

#include "EmpEngineBase.h"
#include "EmpManager.h"
#include "EmpProviderPlugin.h"
#include "face_recognition.h"
#include "gesture_bridge.h"

namespace kiv {

// One entry of a motion subscription list.
struct GXMotionSignal {
    gx_motion_signal signal;
    bool subscribe;
};

// Hand-off from a "SetMotionSubscribeInfo" command to its subscription thread.
struct MotionSubscribeRequest {
    std::vector<GXMotionSignal> signals;
    int result;
    bool finished;
};

// Hand-shake between a subscription command and its subscription thread.
extern sem_t SuscribeSem;

class CEmpEngineGX : public CEmpEngineBase {
public:
    CEmpEngineGX();
    ~CEmpEngineGX() override;

    CEmpEngineGX(const CEmpEngineGX&) = delete;
    CEmpEngineGX& operator=(const CEmpEngineGX&) = delete;

    bool Execute(std::string& result, const std::string& strCmd, const std::string& arg1,
                 const std::string& arg2, const std::string& arg3,
                 const std::string& arg4) override;

    int Initial();

    // The callback registered with both recognition libraries.
    static void ProcessSignal(int handle, int signal, void* data, void* userData);
    void ProcessMotionSignal(int signal, void* data, void* userData);
    void ProcessFaceSignal(int signal, void* data, void* userData);
    int GetFaceResult(std::string& result, int signal, void* data);

    gx_motion_signal ConvertToMotionEvent(const std::string& name);
    static void* SubScribe(void* request);

    // The engine constructed last; the subscription thread works on it.
    static CEmpEngineGX* m_pCtx;

private:
    // The commands' handlers change the engine's own state through it (EmpEngineCommand.h).
    friend struct CommandCall;

    void m_IsSupportGX();
    void m_DestroyMotionMainLoopThread();

    void SetMotionSubscribeInfo(std::string& result, const std::string& arg1,
                                const std::string& arg2);
    void ReplaceMotionWidgetName(const std::string& name);
    std::string MotionWidgetName();

    CEmpManager* m_pManger;
    CEmpProviderPlugin* m_pProviderPlugin;
    int m_MotionHandle;
    int m_FaceHandle;
    std::string m_MotionWidgetName;
    GMainLoop* m_MotionLoop;
    pthread_t m_SubscribeThread;
    bool m_MotionSupported;
    bool m_FaceSupported;

    // Guards m_MotionWidgetName and m_MotionLoop, which commands, the subscription thread,
    // teardown and library callbacks touch from different threads.
    std::mutex m_Lock;
};

}  // namespace kiv
