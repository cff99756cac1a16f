// The simulated logging service: one line "[<priority>] <tag>: <text>" per call.
//
// One call is always one line: a line break inside the text is written as the two characters
// \n. A line is formatted into one buffer and appended to the sink's buffer under the sink's
// mutex, so lines of different threads never interleave; the buffer reaches the sink (stderr or
// the log file) when it fills, on FlushLog (the service calls it when its loop has worked and
// twice a second) and at exit. A write(2) per line cost about eight times the formatting of the
// line and slowed every command and event that logs. GXEMP_LOG_FLUSH=line in the environment
// asks for every line to be written out at once (for watching a process that may crash).
//
// Several processes may write to one sink (the service's broker and its workers share stderr or
// the log file): every write(2) carries whole lines, at most PIPE_BUF bytes of them where it can,
// which the kernel keeps in one piece on a pipe as on a file opened for appending.
//
// Until the program chooses the sink (OpenLog), lines are held in memory, so that what is logged
// before the command line is read still reaches the sink it names.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dlog.h"
#include "gxsim/Sim.h"

namespace {

constexpr size_t kFlushAt = 16 * 1024;
// Held lines beyond this go to stderr: a program that never chooses a sink still logs.
constexpr size_t kHoldLimit = 256 * 1024;

struct Sink {
    std::mutex mu;
    int fd = -1;           // -1: no sink chosen yet, lines are held
    std::string path;      // the log file; empty for stderr
    std::string pending;   // whole lines not yet written
    bool flushEachLine = false;
    std::atomic<int> minPriority{INT_MIN};
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
        sink->pending.reserve(kFlushAt);
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

// Writes the buffered lines in pieces of whole lines, each at most PIPE_BUF bytes unless one line
// alone is longer. The caller holds the sink's mutex and has chosen a sink.
void WriteOut(Sink& s) {
    const std::string& p = s.pending;
    size_t pos = 0;
    while (pos < p.size()) {
        size_t end = pos + PIPE_BUF;
        if (end >= p.size()) {
            end = p.size();
        } else {
            size_t nl = p.rfind('\n', end - 1);
            end = (nl == std::string::npos || nl < pos) ? p.find('\n', pos) + 1 : nl + 1;
        }
        WriteAll(s.fd, p.data() + pos, end - pos);
        pos = end;
    }
    s.pending.clear();
}

void Append(Sink& s, const char* line, size_t len) {
    if (s.fd < 0 && s.pending.size() + len > kHoldLimit) s.fd = STDERR_FILENO;
    s.pending.append(line, len);
    if (s.fd >= 0 && (s.flushEachLine || s.pending.size() >= kFlushAt)) WriteOut(s);
}

struct FlushAtExit {
    ~FlushAtExit() {
        Sink& s = L();
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.fd < 0) s.fd = STDERR_FILENO;  // nobody chose: held lines are not lost
        WriteOut(s);
    }
} gFlushAtExit;

int OpenFile(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0 && error) *error = "cannot open log file " + path + ": " + strerror(errno);
    return fd;
}

// Makes `fd` (for `path`) the sink, after the lines meant for the old one were written there.
void SwitchTo(Sink& s, int fd, const std::string& path) {
    if (s.fd >= 0) WriteOut(s);
    if (s.fd >= 0 && s.fd != STDERR_FILENO) close(s.fd);
    s.fd = fd;
    s.path = path;
    WriteOut(s);
}

}  // namespace

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    Sink& s = L();
    if (prio < s.minPriority.load(std::memory_order_relaxed)) return 0;
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

    // A line break inside the text would split the call over two lines.
    std::string escaped;
    if (memchr(buf, '\n', len) != nullptr) {
        escaped.reserve(len + 8);
        for (size_t i = 0; i < len; ++i) {
            if (buf[i] == '\n')
                escaped += "\\n";
            else
                escaped += buf[i];
        }
        escaped += '\n';
        buf = escaped.data();
        len = escaped.size() - 1;
    }

    if (s.capturing.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.capturing.load(std::memory_order_relaxed)) s.captured.emplace_back(buf, len);
    }
    if (!s.quiet.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lk(s.mu);
        Append(s, buf, len + 1);
    }
    return static_cast<int>(len + 1);
}

namespace gxsim {

bool OpenLog(const std::string& path, std::string* error) {
    int fd = path.empty() ? STDERR_FILENO : OpenFile(path, error);
    if (fd < 0) return false;
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    SwitchTo(s, fd, path);
    return true;
}

bool ReopenLog(std::string* error) {
    Sink& s = L();
    std::string path;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.path.empty()) return true;  // stderr is not ours to reopen
        path = s.path;
    }
    int fd = OpenFile(path, error);
    if (fd < 0) return false;
    std::lock_guard<std::mutex> lk(s.mu);
    SwitchTo(s, fd, path);
    return true;
}

std::string LogPath() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.path;
}

void DiscardHeldLog() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.fd >= 0) return;
    s.pending.clear();
    s.fd = STDERR_FILENO;
}

void SetLogLevel(int priority) {
    L().minPriority = priority;
}

void FlushLog() {
    Sink& s = L();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.fd >= 0) WriteOut(s);
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
