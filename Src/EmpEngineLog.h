// Logging for the engine's sources: every line is filed under EmpEngineGX.cpp, whichever source
// implements it. Include this instead of EmpLog.h in them.
#pragma once

#define EMP_LOG_FILE "EmpEngineGX.cpp"
#include "EmpLog.h"

// Lines written on behalf of a command carry "Execute" as their function, wherever the command's
// handler is implemented.
#define EXEC_LOGE(fmt, ...) EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "Execute", fmt, ##__VA_ARGS__)
