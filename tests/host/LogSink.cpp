// The platform's log for the host's unit tests: lines are kept, so a test can look for one.
#include "LogSink.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_Mutex;
std::vector<std::string> g_Lines;
}  // namespace

extern "C" int __dlog_print(log_id_t, int, const char*, const char* fmt, ...) {
    char line[1024];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Lines.push_back(line);
    return n;
}

bool LogHas(const std::string& part) {
    std::lock_guard<std::mutex> lock(g_Mutex);
    for (const std::string& line : g_Lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}
