// Programs run by tests and benchmarks: started with their output captured, waited for, and
// taken down with the process that started them.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace gxtest {

struct SpawnOptions {
    std::vector<std::string> env;  // NAME=VALUE entries added to the environment
    int in = -1;                   // standard input; -1: /dev/null
    int out = -1, err = -1;        // standard output and error; -1: this process's
    int maxFds = 0;                // > 0: the program's descriptor limit (soft and hard)
};

// Starts `argv` (argv[0] a path) with its signals unblocked; it is killed when the caller ends,
// so a test stopped by a timeout takes what it started with it.
pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Waits for `pid` to end: its exit status, or 128 + the signal that ended it.
int WaitExit(pid_t pid);
// The children of `pid` (every thread's), e.g. a service's worker processes.
std::vector<pid_t> ChildrenOf(pid_t pid);
// Whether `pid` is a service's worker template: the child that forks the workers and serves no
// client (its command line holds --worker-template; its workers write their role over that).
bool IsWorkerTemplate(pid_t pid);

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end, its standard input empty.
ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});

// Polls `done` every `every` until it holds (true) or `timeoutMs` have passed (false): a deadline
// is an upper bound only, never the event waited for.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000,
               std::chrono::microseconds every = std::chrono::milliseconds(20));

// A running child with pipes to its standard input and output.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Reads one line of standard output (without the newline, or the `end` given); false at end
    // or timeout.
    bool ReadLine(std::string* line, int timeoutMs = 10000, char end = '\n');
    void Write(const std::string& text);
    void CloseInput();
    int Wait();  // exit status, or 128 + signal
    // Sends `signal` (unless it has ended and was waited for) and waits for the exit status.
    int Stop(int signal) {
        if (m_Status < 0) ::kill(m_Pid, signal);
        return Wait();
    }
    pid_t pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
    int m_In = -1, m_Out = -1;
    std::string m_Buffer;
    int m_Status = -1;
};

}  // namespace gxtest
