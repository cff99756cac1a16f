// The host's own log lines go through the platform's logging service under the tag "EMP-HOST".
#pragma once

#include "dlog.h"

namespace gxhost {

// Priorities as the platform log shows them: 16 errors, 4 values and state changes.
constexpr int kLogError = 16;
constexpr int kLogInfo = 4;

#define HostLog(prio, ...) __dlog_print(LOG_ID_MAIN, (prio), "EMP-HOST", __VA_ARGS__)

}  // namespace gxhost
