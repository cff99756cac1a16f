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
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LogSink.h"
#include "dlog.h"
#include "gxsim/Sim.h"

using namespace gxsim::internal;

namespace {

// A line's head "[<priority>] <tag>: ", put together by hand: snprintf spent a third of a
// line's formatting on the head alone, and every line has one.
class LineHead {
public:
    LineHead(int prio, const char* tag) : m_Tag(tag), m_TagLen(strlen(tag)) {
        m_PrioLen =
            static_cast<size_t>(std::to_chars(m_Prio, m_Prio + sizeof m_Prio, prio).ptr - m_Prio);
    }
    size_t size() const { return m_PrioLen + m_TagLen + 5; }
    // Writes size() bytes, no NUL.
    void WriteTo(char* out) const {
        *out++ = '[';
        out = std::copy_n(m_Prio, m_PrioLen, out);
        *out++ = ']';
        *out++ = ' ';
        out = std::copy_n(m_Tag, m_TagLen, out);
        *out++ = ':';
        *out = ' ';
    }

private:
    char m_Prio[12];  // an int's digits and sign
    size_t m_PrioLen;
    const char* m_Tag;
    size_t m_TagLen;
};

// One line "[<priority>] <tag>: <text>\n" formatted into `stack`, or into *heap when it does not
// fit; its length without the newline, its head's (up to the text) in *head. -1 when the format
// fails.
long FormatLine(char (&stack)[1024], std::unique_ptr<char[]>* heap, const LineHead& lineHead,
                int* head, const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const size_t prefix = lineHead.size();
    int text = -1;
    if (prefix < sizeof stack - 1) {
        lineHead.WriteTo(stack);
        // One byte is kept for the newline that replaces the terminating NUL.
        text = vsnprintf(stack + prefix, sizeof stack - prefix - 1, fmt, ap);
    } else {
        text = vsnprintf(nullptr, 0, fmt, ap);
    }
    if (text < 0) {
        va_end(again);
        return -1;
    }
    size_t len = prefix + static_cast<size_t>(text);
    char* buf = stack;
    if (len + 1 >= sizeof stack) {
        heap->reset(new char[len + 2]);
        buf = heap->get();
        lineHead.WriteTo(buf);
        vsnprintf(buf + prefix, static_cast<size_t>(text) + 1, fmt, again);
    }
    va_end(again);
    buf[len] = '\n';
    *head = static_cast<int>(prefix);
    return static_cast<long>(len);
}

// A line break inside the text would split the call over two lines: written as \n instead.
// Returns the line to write (`buf` itself when it has none), its length without the newline in
// *len.
const char* EscapeBreaks(const char* buf, size_t* len, std::string* escaped) {
    const char* end = buf + *len;
    const char* brk = static_cast<const char*>(memchr(buf, '\n', *len));
    if (brk == nullptr) return buf;
    escaped->reserve(*len + 8);
    for (const char* from = buf; from <= end; from = brk + 1) {
        brk = static_cast<const char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
        if (brk == nullptr) brk = end;
        escaped->append(from, brk);
        escaped->append(brk < end ? "\\n" : "\n");
    }
    *len = escaped->size() - 1;
    return escaped->data();
}

// Writes one formatted line (with its newline, `head` bytes before its text) to the sink.
void WriteLine(Sink& s, int prio, const char* tag, const char* buf, size_t len, size_t head) {
    std::lock_guard<std::mutex> lk(s.mu);
    const bool marked = len - head >= 8 && memcmp(buf + head, "[worker ", 8) == 0;
    // The terminal shows the host's own notices and errors, nothing of the plug-in.
    if (s.echoNotices && strcmp(tag, kHostTag) == 0 &&
        (prio >= kPriorityError || (prio >= kPriorityNotice && s.workerMark.empty())))
        WriteAll(STDERR_FILENO, buf, len + 1);
    if (s.workerMark.empty() || marked || s.journal)
        Append(s, {{buf, len + 1}});
    else
        Append(s, {{buf, head}, s.workerMark, {buf + head, len + 1 - head}});
}

}  // namespace

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    Sink& s = TheSink();
    if (prio < s.minPriority.load(std::memory_order_relaxed)) return 0;
    if (!tag) tag = "";
    if (!fmt) fmt = "";
    char stack[1024];
    std::unique_ptr<char[]> heap;
    int head = 0;
    va_list ap;
    va_start(ap, fmt);
    long formatted = FormatLine(stack, &heap, LineHead(prio, tag), &head, fmt, ap);
    va_end(ap);
    if (formatted < 0) return -1;
    size_t len = static_cast<size_t>(formatted);
    std::string escaped;
    const char* line = EscapeBreaks(heap ? heap.get() : stack, &len, &escaped);
    if (s.capturing.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.capturing.load(std::memory_order_relaxed)) s.captured.emplace_back(line, len);
    }
    if (!s.quiet.load(std::memory_order_relaxed))
        WriteLine(s, prio, tag, line, len, static_cast<size_t>(head));
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

namespace {

// A worker is told so by its host (the variable is not passed on): its lines are marked, those it
// logged before it knew (the application object's constructor) too.
void MarkWorkerLines(Sink& s) {
    const char* worker = getenv("GXEMP_LOG_WORKER");
    if (worker == nullptr || worker[0] == '\0') return;
    std::lock_guard<std::mutex> lk(s.mu);
    s.workerPid = worker;
    s.workerMark = "[worker " + s.workerPid + "] ";
    unsetenv("GXEMP_LOG_WORKER");
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

// No file named: the journal under systemd, else the default file (and the terminal for the
// host's notices), else stderr.
void OpenDefaultLog(Sink& s) {
    if (NonEmpty(getenv("JOURNAL_STREAM")) || NonEmpty(getenv("INVOCATION_ID"))) {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.fd >= 0) WriteOut(s);
        if (s.fd >= 0 && s.fd != STDERR_FILENO) close(s.fd);
        s.fd = STDERR_FILENO;  // chosen: nothing is held any more
        s.path.clear();
        s.journal = true;
        WriteOut(s);
        return;
    }
    std::string file = DefaultLogPath();
    int fd = file.empty() ? -1 : OpenFile(file, nullptr);
    std::lock_guard<std::mutex> lk(s.mu);
    if (fd < 0) {
        SwitchTo(s, STDERR_FILENO, "");  // nowhere else to keep it
        return;
    }
    const char* max = getenv("GXEMP_LOG_MAX_BYTES");
    s.maxBytes = max != nullptr && atoll(max) > 0 ? atoll(max) : 4 << 20;
    s.echoNotices = true;
    SwitchTo(s, fd, file);
}

}  // namespace

bool OpenLog(const std::string& path, std::string* error) {
    Sink& s = TheSink();
    MarkWorkerLines(s);
    if (path.empty()) {
        OpenDefaultLog(s);
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
    Sink& s = TheSink();
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
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.path;
}

void DiscardHeldLog() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.fd >= 0) return;
    s.pending.clear();
    s.fd = STDERR_FILENO;
}

void SetLogLevel(int priority) {
    TheSink().minPriority = priority;
}

void FlushLog() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.fd >= 0) WriteOut(s);
}

void StartLogCapture() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    s.capturing = true;
}

std::vector<std::string> TakeLogLines() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    std::vector<std::string> out;
    out.swap(s.captured);
    return out;
}

void StopLogCapture() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> lk(s.mu);
    s.capturing = false;
    s.captured.clear();
}

void SetLogQuiet(bool quiet) {
    TheSink().quiet = quiet;
}

}  // namespace gxsim
