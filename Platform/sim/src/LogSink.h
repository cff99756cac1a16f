// The simulated logging service's sink: where the lines go (held, stderr, a file, the journal),
// its buffer and its bounds (see Log.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace gxsim::internal {

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

// The process's one sink, never destroyed: threads may log while the process exits.
Sink& TheSink();

// The functions below expect the sink's mutex held.
void WriteAll(int fd, const char* p, size_t n);
// Writes the buffered lines out; the sink is chosen.
void WriteOut(Sink& s);
// Buffers one line (or several whole ones), given in consecutive pieces, written out when the
// buffer fills.
void Append(Sink& s, std::initializer_list<std::string_view> pieces);
// Makes `fd` (for `path`) the sink, after the lines meant for the old one were written there.
void SwitchTo(Sink& s, int fd, const std::string& path);

// Opens the log file for appending (created 0640); -1 with *error (when given) set.
int OpenFile(const std::string& path, std::string* error);

}  // namespace gxsim::internal
