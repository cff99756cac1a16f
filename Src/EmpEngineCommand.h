// What the engine's command tables hold and what a command's handler gets. Execute
// (EmpCommandTable.cpp) finds the command's entry in its group's table and runs the entry's
// handler with a CommandCall; the handlers live in EmpMotionCommands.cpp, EmpFaceCommands.cpp and
// EmpSpeechCommands.cpp, or are one of the templates below where the command is nothing but one
// manager operation.
#pragma once

#include <string>

#include <json/json.h>

#include "EmpEngineGX.h"
#include "EmpManager.h"

namespace kiv {

// One command being carried out: the engine, its manager, the handle of the command's group (the
// motion or face handle; 0 for speech and status), the client's first two arguments and the
// result to fill.
struct CommandCall {
    CEmpEngineGX& engine;
    CEmpManager& manager;
    int handle;
    const std::string& arg1;
    const std::string& arg2;
    std::string& result;

    void ReturnInteger(int value) { engine.SetReturnValueInteger(result, value); }
    void ReturnText(const char* text) { engine.SetReturnValueASCII(result, text); }
    void ReturnText(std::string& text) { engine.SetReturnValueASCII(result, text); }

    // The engine's own state that some commands change.
    void ReplaceMotionWidgetName(const std::string& name) { engine.ReplaceMotionWidgetName(name); }
    void SetMotionSubscribeInfo() { engine.SetMotionSubscribeInfo(result, arg1, arg2); }
    int& FaceHandle() { return engine.m_FaceHandle; }
};

// A command name, its handler, and the text of its command line after "[Execute] ".
struct CommandEntry {
    const char* name;
    void (*run)(CommandCall& call);
    const char* trace;
};

// ---- Argument decoding (EmpCommandArgs.cpp) ----------------------------------------------------

// A decimal command argument, read as strtol does with base 10 and clamped to 32 bits.
int DecimalArgument(const std::string& text);

// Parses a client's JSON text. jsoncpp throws on nesting deeper than its limit; such a text is
// treated like any other text that does not parse.
bool ParseJsonText(const std::string& text, Json::Value& root);

// ---- Handlers ----------------------------------------------------------------------------------

namespace Cmd {

// The result is the manager operation's on the group's handle.
template <int (CEmpManager::*Operation)(int)>
void OnHandle(CommandCall& call) {
    call.ReturnInteger((call.manager.*Operation)(call.handle));
}

// The result is the manager operation's on the group's handle and the first argument, read as a
// decimal number.
template <int (CEmpManager::*Operation)(int, int)>
void OnHandleAndNumber(CommandCall& call) {
    call.ReturnInteger((call.manager.*Operation)(call.handle, DecimalArgument(call.arg1)));
}

// The result is the value a manager query writes, or kUnwritten where it writes none.
template <int (CEmpManager::*Query)(int, int*), int kUnwritten>
void QueryValue(CommandCall& call) {
    int value = kUnwritten;
    (call.manager.*Query)(call.handle, &value);
    call.ReturnInteger(value);
}

// The result is the manager operation's, which takes no handle.
template <int (CEmpManager::*Operation)()>
void Unbound(CommandCall& call) {
    call.ReturnInteger((call.manager.*Operation)());
}

// Motion group (EmpMotionCommands.cpp).
void GetGestureCameraStatus(CommandCall& call);
void SubscirbeMotionSignal(CommandCall& call);
void SubscribeMotionEvent(CommandCall& call);
void UnsubscribeMotionEvent(CommandCall& call);
void SetMotionSubscribeInfo(CommandCall& call);

// Face group (EmpFaceCommands.cpp).
void SubscribeFaceEvent(CommandCall& call);
void UnsubscribeFaceEvent(CommandCall& call);
void InitializeFace(CommandCall& call);
void EnableFaceRecognition(CommandCall& call);
void DisableFaceRecognition(CommandCall& call);
void StartFaceTraining(CommandCall& call);
void StartFaceRecognition(CommandCall& call);
void OverWriteFace(CommandCall& call);
void OverWriteThumbnail(CommandCall& call);
void TrainThumbnail(CommandCall& call);
void FaceVersion(CommandCall& call);
void GetFaceRecognitionResult(CommandCall& call);
void GetFaceDetectionResult(CommandCall& call);
void GetFaceTrainingResult(CommandCall& call);
void EncryptFaceImage(CommandCall& call);
void DecryptFaceImage(CommandCall& call);

// Speech and status group (EmpSpeechCommands.cpp).
void EnableTTSEngine(CommandCall& call);
void DisableTTSEngine(CommandCall& call);
void StartTTSEngine(CommandCall& call);
void GetUserLevel(CommandCall& call);

}  // namespace Cmd

}  // namespace kiv
