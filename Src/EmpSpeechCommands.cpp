// The speech and status commands that are more than one manager operation.
#include "EmpEngineCommand.h"

namespace kiv {

namespace Cmd {

void EnableTTSEngine(CommandCall& call) {
    call.ReturnInteger(call.manager.EnableTTSEngine(true));
}

void DisableTTSEngine(CommandCall& call) {
    call.ReturnInteger(call.manager.EnableTTSEngine(false));
}

void StartTTSEngine(CommandCall& call) {
    call.ReturnInteger(call.manager.StartTTSEngine(call.arg1));
}

void GetUserLevel(CommandCall& call) {
    call.ReturnText("Beginner");
}

}  // namespace Cmd

}  // namespace kiv
