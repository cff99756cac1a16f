// The host's log line prefix, and its log for extensions.
#include "gxhost/Log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "dlog.h"

namespace gxhost {

namespace {
std::string g_LogPrefix;
}  // namespace

const char* LogPrefix() {
    return g_LogPrefix.c_str();
}

void SetLogPrefix(const char* prefix) {
    g_LogPrefix = prefix;
}

void Log(int priority, const char* fmt, ...) {
    char line[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    __dlog_print(LOG_ID_MAIN, priority, "EMP-HOST", "%s%s", LogPrefix(), line);
}

}  // namespace gxhost
