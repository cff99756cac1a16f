// The plug-in's log lines, all written through the platform logging service under the tag
// "GX-EMP": "<file>: <function>(<line>) > <colour> <message><reset>". Errors and command traces
// are red (priority 16), flow is yellow (2), values are green (4). An empty trace is the prefix,
// the colour and the blank, with nothing after it.
#pragma once

#include "dlog.h"

#ifndef __FILE_NAME__
#define __FILE_NAME__ __FILE__
#endif

// The file field of a line. A class whose code is spread over several sources keeps one name on
// all of its lines (the engine's say EmpEngineGX.cpp), the name readers of the log filter by.
#ifndef EMP_LOG_FILE
#define EMP_LOG_FILE __FILE_NAME__
#endif

#define EMP_LOG_TAG "GX-EMP"
#define EMP_PRIO_ERROR 16
#define EMP_PRIO_TRACE 2
#define EMP_PRIO_INFO 4
#define EMP_COLOR_RED "\033[31m"
#define EMP_COLOR_YELLOW "\033[33m"
#define EMP_COLOR_GREEN "\033[32m"
#define EMP_COLOR_RESET "\033[0m"

// Logs with an explicit function name, for lines whose function field is not the enclosing one.
#define EMP_LOG_FN(prio, color, func, fmt, ...)                                                 \
    __dlog_print(LOG_ID_MAIN, prio, EMP_LOG_TAG, "%s: %s(%d) > " color " " fmt EMP_COLOR_RESET, \
                 EMP_LOG_FILE, func, __LINE__, ##__VA_ARGS__)

#define EMP_LOGE(fmt, ...) \
    EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, __FUNCTION__, fmt, ##__VA_ARGS__)
#define EMP_LOGD(fmt, ...) \
    EMP_LOG_FN(EMP_PRIO_TRACE, EMP_COLOR_YELLOW, __FUNCTION__, fmt, ##__VA_ARGS__)
#define EMP_LOGI(fmt, ...) \
    EMP_LOG_FN(EMP_PRIO_INFO, EMP_COLOR_GREEN, __FUNCTION__, fmt, ##__VA_ARGS__)

#define EMP_TRACE_EMPTY(prio, color)                                                      \
    __dlog_print(LOG_ID_MAIN, prio, EMP_LOG_TAG, "%s: %s(%d) > " color " ", EMP_LOG_FILE, \
                 __FUNCTION__, __LINE__)
#define EMP_TRACE() EMP_TRACE_EMPTY(EMP_PRIO_TRACE, EMP_COLOR_YELLOW)
