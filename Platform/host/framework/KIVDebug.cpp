// The framework's logger. A message may be built by several calls (a prefix, then the text); each
// thread collects its pieces and writes them as one log line once a piece ends in a newline, so
// that messages of different threads never interleave.
#include "KIVDebug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "dlog.h"

namespace kiv {

namespace {
constexpr char kTag[] = "KIV";
thread_local std::string t_pending;
}  // namespace

void CKIVDebug::PrintLog(unsigned level, unsigned code, const char* fmt, ...) {
    (void)code;
    if (fmt == nullptr) return;
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    if (n < 0) return;
    t_pending.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
    if (t_pending.empty() || t_pending.back() != '\n') return;
    t_pending.pop_back();
    __dlog_print(LOG_ID_MAIN, static_cast<int>(level), kTag, "%s", t_pending.c_str());
    t_pending.clear();
}

}  // namespace kiv
