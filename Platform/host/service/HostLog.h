// The host's own log lines (see gxhost/Log.h). A macro rather than gxhost::Log, so that the format
// is checked against its arguments where the line is written and no va_list is built.
#pragma once

#include "dlog.h"
#include "gxhost/Log.h"

#define HostLog(prio, fmt, ...) \
    __dlog_print(LOG_ID_MAIN, (prio), "EMP-HOST", "%s" fmt, gxhost::LogPrefix(), ##__VA_ARGS__)
