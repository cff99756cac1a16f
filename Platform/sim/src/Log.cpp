// The simulated logging service: one line "[<priority>] <tag>: <text>" per call.
//
// A line is formatted into one buffer and handed to the sink in one piece under the sink's mutex,
// so lines from different threads never interleave. Both sinks are buffered: a line is one copy
// into the buffer, and the buffer reaches stderr or the log file when it fills, on FlushLog (the
// service calls it when its loop has worked and twice a second) and at exit. A write(2) per line
// cost about eight times the formatting of the line and slowed every command and event that logs.
// GXEMP_LOG_FLUSH=line in the environment asks for every line to be written out at once (for
// watching a process that may crash).
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dlog.h"
#include "gxsim/Sim.h"

namespace {

constexpr size_t kStderrBuffer = 16 * 1024;

struct Sink {
    std::mutex mu;
    FILE* file = nullptr;
    std::string pending;  // stderr lines not yet written
    bool flushEachLine = false;
    std::atomic<bool> quiet{false};
    std::atomic<bool> capturing{false};
    std::vector<std::string> captured;
};

Sink& L() {
    // Never destroyed: threads may log while the process exits.
    static Sink* s = [] {
        auto* sink = new Sink;
        const char* flush = getenv("GXEMP_LOG_FLUSH");
        sink->flushEachLine = flush != nullptr && strcmp(flush, "line") == 0;
        sink->pending.reserve(kStderrBuffer);
        return sink;
    }();
    return *s;
}

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Caller holds the sink's mutex.
void FlushStderr(Sink& s) {
    if (s.pending.empty()) return;
    WriteAll(STDERR_FILENO, s.pending.data(), s.pending.size());
    s.pending.clear();
}

struct FlushAtExit {
    ~FlushAtExit() { gxsim::FlushLog(); }
} gFlushAtExit;

}  // namespace

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    char stackBuf[1024];
    char* buf = stackBuf;
    std::unique_ptr<char[]> heapBuf;
    if (!tag) tag = "";
    if (!fmt) fmt = "";

    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int prefix = snprintf(stackBuf, sizeof stackBuf, "[%d] %s: ", prio, tag);
    int text = -1;
    if (prefix >= 0 && static_cast<size_t>(prefix) < sizeof stackBuf - 1) {
        // One byte is kept for the newline that replaces the terminating NUL.
        text = vsnprintf(stackBuf + prefix, sizeof stackBuf - prefix - 1, fmt, ap);
    } else if (prefix >= 0) {
        text = vsnprintf(nullptr, 0, fmt, ap);
    }
    va_end(ap);
    if (text < 0) {
        va_end(ap2);
        return -1;
    }
    size_t len = static_cast<size_t>(prefix) + static_cast<size_t>(text);
    if (len + 1 >= sizeof stackBuf) {
        heapBuf.reset(new char[len + 2]);
        buf = heapBuf.get();
        snprintf(buf, static_cast<size_t>(prefix) + 1, "[%d] %s: ", prio, tag);
        vsnprintf(buf + prefix, static_cast<size_t>(text) + 1, fmt, ap2);
    }
    va_end(ap2);
    buf[len] = '\n';

    Sink& s = L();
    if (s.capturing.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.capturing.load(std::memory_order_relaxed)) s.captured.emplace_back(buf, len);
    }
    if (!s.quiet.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.file) {
            if (fwrite_unlocked(buf, 1, len + 1, s.file) != len + 1) return -1;
            if (s.flushEachLine) fflush(s.file);
        } else {
            if (s.pending.size() + len + 1 > kStderrBuffer) FlushStderr(s);
            s.pending.append(buf, len + 1);
            if (s.flushEachLine || s.pending.size() >= kStderrBuffer) FlushStderr(s);
        }
    }
    return static_cast<int>(len + 1);
}

namespace gxsim {

bool SetLogFile(const std::string& path, std::string* error) {
    FILE* f = nullptr;
    if (!path.empty()) {
        f = fopen(path.c_str(), "ae");
        if (!f) {
            if (error) *error = "cannot open log file " + path + ": " + strerror(errno);
            return false;
        }
        setvbuf(f, nullptr, _IOFBF, 64 * 1024);
    }
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    // Lines written so far go where they were meant to.
    FlushStderr(s);
    if (s.file) fclose(s.file);
    s.file = f;
    return true;
}

void FlushLog() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.file) fflush(s.file);
    FlushStderr(s);
}

void StartLogCapture() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    s.capturing = true;
}

std::vector<std::string> TakeLogLines() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    std::vector<std::string> out;
    out.swap(s.captured);
    return out;
}

void StopLogCapture() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    s.capturing = false;
    s.captured.clear();
}

void SetLogQuiet(bool quiet) {
    L().quiet = quiet;
}

}  // namespace gxsim
