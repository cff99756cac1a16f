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
//
// Without a file named (OpenLog("")) every line is still kept, where the system's tools find it:
// - under systemd (JOURNAL_STREAM or INVOCATION_ID set) in the journal, one entry per line with
//   PRIORITY (mapped as SyslogPriority says), SYSLOG_IDENTIFIER (the tag), CODE_FILE, CODE_LINE
//   and CODE_FUNC (from the plug-in's "file: function(line) > " head) and, in a worker,
//   GXEMP_WORKER; the message is the text unchanged;
// - otherwise in $XDG_STATE_HOME/gxemp/gxemp.log (~/.local/state/...), moved to gxemp.log.1 when it
//   reaches GXEMP_LOG_MAX_BYTES (4 MiB), and the terminal (stderr) shows only the host's notices
//   and errors.
// A worker's lines name it: "[worker <pid>] " begins their text in a file (the host's own lines
// carry it already).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
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
    int fd = -1;          // -1: no sink chosen yet, lines are held
    std::string path;     // the log file; empty for stderr
    std::string pending;  // whole lines not yet written
    bool flushEachLine = false;
    std::atomic<int> minPriority{INT_MIN};
    std::atomic<bool> quiet{false};
    std::atomic<bool> capturing{false};
    std::vector<std::string> captured;
    // The default sinks (OpenLog("")).
    bool journal = false;      // lines go to the journal, not to fd
    bool echoNotices = false;  // the host's notices and errors also go to stderr
    off_t maxBytes = 0;        // the file is moved to PATH.1 at this size (0: never)
    std::string workerMark;    // "[worker <pid>] " in a worker
    std::string workerPid;
};

constexpr char kHostTag[] = "EMP-HOST";
constexpr int kPriorityError = 16;
constexpr int kPriorityNotice = 5;

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

int OpenFile(const std::string& path, std::string* error);

// The default file reached its bound: the process that sees it first (under an exclusive lock of
// the file, as broker and workers share it) moves it to PATH.1; every process then writes to a new
// file under the name. The caller holds the sink's mutex.
void RotateIfFull(Sink& s) {
    struct stat ours {};
    if (s.maxBytes <= 0 || fstat(s.fd, &ours) != 0 || ours.st_size < s.maxBytes) return;
    flock(s.fd, LOCK_EX);
    struct stat named {};
    if (stat(s.path.c_str(), &named) == 0 && named.st_ino == ours.st_ino)
        rename(s.path.c_str(), (s.path + ".1").c_str());
    flock(s.fd, LOCK_UN);
    int fd = OpenFile(s.path, nullptr);
    if (fd < 0) return;  // keep writing to the old one
    close(s.fd);
    s.fd = fd;
}

// syslog's priority for a platform priority: 16 and above error (3), 5 to 15 notice (5), 4 info
// (6), below debug (7, the plug-in's traces at 2).
int SyslogPriority(int prio) {
    return prio >= kPriorityError ? 3 : prio >= kPriorityNotice ? 5 : prio == 4 ? 6 : 7;
}

// One line "[<priority>] <tag>: <text>" as a journal entry.
void SendToJournal(const Sink& s, const char* line, size_t len) {
    int prio = 0, head = 0;
    char tag[64] = "";
    if (sscanf(line, "[%d] %63[^:]: %n", &prio, tag, &head) < 2 || head == 0) head = 0;
    std::string text(line + head, len - static_cast<size_t>(head));
    std::string message = "MESSAGE=" + text,
                priority = "PRIORITY=" + std::to_string(SyslogPriority(prio));
    std::string ident = std::string("SYSLOG_IDENTIFIER=") + (tag[0] ? tag : "gxemp");
    std::vector<std::string> fields{message, priority, ident};
    // The plug-in's lines begin "<file>: <function>(<line>) > ".
    char file[128], func[128];
    int at = 0;
    if (sscanf(text.c_str(), "%127[^: ]: %127[^( ](%d) > ", file, func, &at) == 3) {
        fields.push_back(std::string("CODE_FILE=") + file);
        fields.push_back("CODE_LINE=" + std::to_string(at));
        fields.push_back(std::string("CODE_FUNC=") + func);
    }
    if (!s.workerPid.empty()) fields.push_back("GXEMP_WORKER=" + s.workerPid);
    std::vector<struct iovec> iov;
    for (std::string& f : fields) iov.push_back({f.data(), f.size()});
    sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}

// Writes the buffered lines in pieces of whole lines, each at most PIPE_BUF bytes unless one line
// alone is longer. The caller holds the sink's mutex and has chosen a sink.
void WriteOut(Sink& s) {
    const std::string& p = s.pending;
    if (s.journal) {
        for (size_t pos = 0, end; pos < p.size(); pos = end + 1) {
            end = p.find('\n', pos);
            SendToJournal(s, p.data() + pos, end - pos);
        }
        s.pending.clear();
        return;
    }
    RotateIfFull(s);
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
    s.journal = false;
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
        const size_t head = static_cast<size_t>(prefix);
        const bool marked = len - head >= 8 && memcmp(buf + head, "[worker ", 8) == 0;
        // The terminal shows the host's own notices and errors, nothing of the plug-in.
        if (s.echoNotices && strcmp(tag, kHostTag) == 0 &&
            (prio >= kPriorityError || (prio >= kPriorityNotice && s.workerMark.empty())))
            WriteAll(STDERR_FILENO, buf, len + 1);
        if (s.workerMark.empty() || marked || s.journal) {
            Append(s, buf, len + 1);
        } else {
            std::string line(buf, head);
            line += s.workerMark;
            line.append(buf + head, len + 1 - head);
            Append(s, line.data(), line.size());
        }
    }
    return static_cast<int>(len + 1);
}

namespace gxsim {

namespace {

bool NonEmpty(const char* value) {
    return value != nullptr && value[0] != '\0';
}

// $XDG_STATE_HOME/gxemp/gxemp.log, its directory made (0700) where missing; "" without a home.
std::string DefaultLogPath() {
    std::string dir;
    if (const char* state = getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/')
        dir = state;
    else if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/')
        dir = std::string(home) + "/.local/state";
    else
        return "";
    dir += "/gxemp";
    for (size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at)
        mkdir(dir.substr(0, at).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    return dir + "/gxemp.log";
}

}  // namespace

bool OpenLog(const std::string& path, std::string* error) {
    Sink& s = L();
    // A worker is told so by its host (the variable is not passed on).
    if (const char* worker = getenv("GXEMP_LOG_WORKER"); worker != nullptr && worker[0] != '\0') {
        std::lock_guard<std::mutex> lk(s.mu);
        s.workerPid = worker;
        s.workerMark = "[worker " + s.workerPid + "] ";
        unsetenv("GXEMP_LOG_WORKER");
        // What the worker logged before it knew (the application object's constructor) too.
        std::string marked;
        for (size_t pos = 0, end; s.fd < 0 && pos < s.pending.size(); pos = end + 1) {
            end = s.pending.find('\n', pos);
            size_t text = s.pending.find(": ", pos);
            text = text < end ? text + 2 : pos;
            marked.append(s.pending, pos, text - pos);
            if (s.pending.compare(text, 8, "[worker ") != 0) marked += s.workerMark;
            marked.append(s.pending, text, end + 1 - text);
        }
        if (s.fd < 0) s.pending.swap(marked);
    }
    if (path.empty()) {
        if (NonEmpty(getenv("JOURNAL_STREAM")) || NonEmpty(getenv("INVOCATION_ID"))) {
            std::lock_guard<std::mutex> lk(s.mu);
            if (s.fd >= 0) WriteOut(s);
            if (s.fd >= 0 && s.fd != STDERR_FILENO) close(s.fd);
            s.fd = STDERR_FILENO;  // chosen: nothing is held any more
            s.path.clear();
            s.journal = true;
            WriteOut(s);
            return true;
        }
        std::string file = DefaultLogPath();
        int fd = file.empty() ? -1 : OpenFile(file, nullptr);
        std::lock_guard<std::mutex> lk(s.mu);
        if (fd < 0) {
            SwitchTo(s, STDERR_FILENO, "");  // nowhere else to keep it
            return true;
        }
        const char* max = getenv("GXEMP_LOG_MAX_BYTES");
        s.maxBytes = max != nullptr && atoll(max) > 0 ? atoll(max) : 4 << 20;
        s.echoNotices = true;
        SwitchTo(s, fd, file);
        return true;
    }
    int fd = OpenFile(path, error);
    if (fd < 0) return false;
    std::lock_guard<std::mutex> lk(s.mu);
    s.echoNotices = false;
    s.maxBytes = 0;
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
