// See LogSink.h.
#include "LogSink.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gxsim::internal {
namespace {

constexpr size_t kFlushAt = 16 * 1024;
// Held lines beyond this go to stderr: a program that never chooses a sink still logs.
constexpr size_t kHoldLimit = 256 * 1024;

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

}  // namespace

Sink& TheSink() {
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

void Append(Sink& s, std::initializer_list<std::string_view> pieces) {
    size_t len = 0;
    for (std::string_view piece : pieces) len += piece.size();
    if (s.fd < 0 && s.pending.size() + len > kHoldLimit) s.fd = STDERR_FILENO;
    for (std::string_view piece : pieces) s.pending.append(piece);
    if (s.fd >= 0 && (s.flushEachLine || s.pending.size() >= kFlushAt)) WriteOut(s);
}

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

struct FlushAtExit {
    ~FlushAtExit() {
        Sink& s = TheSink();
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.fd < 0) s.fd = STDERR_FILENO;  // nobody chose: held lines are not lost
        WriteOut(s);
    }
} gFlushAtExit;

}  // namespace gxsim::internal
