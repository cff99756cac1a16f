// Logger of the plug-in host framework.
#pragma once

namespace kiv {

class CKIVDebug {
public:
    // printf-style. A message may be built by several calls; it is written as one log line when
    // the text of a call ends in a newline.
    static void PrintLog(unsigned level, unsigned code, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
};

}  // namespace kiv
