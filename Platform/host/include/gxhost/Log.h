// The host's log, for the host itself and for its extensions: every line goes through the
// platform's logging service under the tag "EMP-HOST", and in a worker process starts with
// "[worker <pid>] " so that the lines of the processes sharing one log can be told apart.
#pragma once

namespace gxhost {

// Priorities as the platform log shows them: 16 errors, 5 notices (started, stopped: what the
// terminal shows besides errors), 4 values and state changes.
constexpr int kLogError = 16;
constexpr int kLogNotice = 5;
constexpr int kLogInfo = 4;

// What the host's own log lines of this process start with: "" in the broker and a single
// process, "[worker <pid>] " in a worker.
const char* LogPrefix();
void SetLogPrefix(const char* prefix);

// One line of the host's log, printf-style.
void Log(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace gxhost
