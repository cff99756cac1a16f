// The host's own log lines go through the platform's logging service under the tag "EMP-HOST".
// In a worker process every line starts with "[worker <pid>] ", so that the lines of the processes
// sharing one log can be told apart.
#pragma once

#include "dlog.h"

namespace gxhost {

// Priorities as the platform log shows them: 16 errors, 5 notices (started, stopped: what the
// terminal shows besides errors), 4 values and state changes.
constexpr int kLogError = 16;
constexpr int kLogNotice = 5;
constexpr int kLogInfo = 4;

// LogPrefix() is declared in gxhost/Extension.h.
const char* LogPrefix();
void SetLogPrefix(const char* prefix);

#define HostLog(prio, fmt, ...) \
    __dlog_print(LOG_ID_MAIN, (prio), "EMP-HOST", "%s" fmt, gxhost::LogPrefix(), ##__VA_ARGS__)

}  // namespace gxhost
