// The broker: the service's process when it runs a process per client.
//
// The plug-in keeps process-wide state (the current engine, the engine list, the motion library's
// entry points, the subscription semaphore), so clients served by one process would overhear and
// break each other. The broker therefore builds no engine: it accepts each client on the
// listening socket, checks it, and starts a worker (this program again, in worker mode) that
// serves that one connection, its engines and its events, and exits when the client goes.
//
// A worker gets the client's connection, its control link to the broker (a private D-Bus
// connection on which extensions talk) and each extension's shared descriptor, as
// worker/WorkerProtocol.h lays them out, and no other descriptor (whatever the broker inherited).
// The broker never forks a worker itself, so whatever threads it has, no lock can be left held in
// a worker: the worker template (worker/Template.h), a process the broker starts once by
// posix_spawn and exec, forks each worker, and the broker, a child subreaper, adopts and reaps it
// as its own child. The broker starts the template once its first worker is ready and answered
// (when its loop is idle next: posix_spawn holds the broker until the child has exec'd), and the
// template says when it is ready in turn (it has loaded the libraries); workers needed before
// that (the first spare, the first clients') are exec'd, so that the service's start neither
// waits for the template's nor shares the processor with it. Should the template fail to start or
// later (it ended, it did not answer within kTemplateAnswerMs), the broker logs why, starts
// workers with posix_spawn and exec (a worker is the same program either way) and starts a new
// template after a delay that doubles with each failure until one has forked a worker. A
// worker starts with SIGHUP, SIGTERM and SIGINT blocked: they wait, pending, until its loop handles
// them, so a signal that comes while it starts up stops it cleanly (SIGTERM) or is not lost
// (SIGHUP); the broker sends SIGHUP only to workers that have spoken on their link and remembers
// one for the others.
//
// A client's slot (--max-clients) frees as soon as the client hangs up: the broker keeps a copy of
// the client's descriptor only to see that. Workers are reaped by their child sources and by a
// waitpid sweep on SIGCHLD and every second, so that no exit is lost (a worker that a debugger
// held when it was killed is seen only once the debugger lets it go). Stopping sends SIGTERM (and
// SIGCONT, so that a stopped worker can act on it), SIGKILL after the grace, and gives up on a
// worker that still cannot be reaped after kKillWaitUsec more: the broker's stop is bounded. The
// template, which holds nothing of anyone's, is killed and reaped as the stop begins.
//
// So that a new client does not wait for a process to start, the broker keeps spare workers
// (--spare-workers, default 1): started, linked and joined to the TV like any worker, but with a
// hand-off socket where the client's connection would be. The next accepted connection goes to the
// oldest spare over that socket (SCM_RIGHTS, with the client's name), and a new spare starts
// kSpareAfterHandOffUsec later. A spare counts for no client's place; one that ends before it got a
// client is replaced after a delay that doubles with each such end (up to kMaxRestartDelayUsec)
// until a hand-off succeeds, so a worker that cannot start does not make the broker start processes
// in a loop. Stopping stops the spares with the workers.
//
// Broker.cpp accepts clients and stops the workers, Spawn.cpp starts a worker process (from the
// template, or by exec) and the template itself, Spares.cpp
// keeps the spares and hands clients to them, ControlLink.cpp relays the control links to the
// extensions, and Reap.cpp sees workers end.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus/FirstMessageGuard.h"
#include "gxhost/BusRef.h"

namespace gxhost {

class Listener;
struct Options;

struct BrokerOptions {
    std::string program;                  // what a worker runs (this executable)
    std::string argv0;                    // its argv[0]
    std::vector<std::string> workerArgs;  // options every worker gets
    size_t maxClients = 64;
    size_t spareWorkers = 1;                    // workers kept started for the next clients
    bool workerTemplate = true;                 // fork workers from the template (else exec)
    uint64_t stopGraceUsec = 10 * 1000 * 1000;  // then a worker that did not stop is killed
};

// The broker's options for the service's: this executable, run with what every worker is told
// on its command line (where to log, the limits of its client, the extensions' options).
BrokerOptions BrokerOptionsFor(const Options& options, const std::string& argv0);

// After SIGKILL, how long the broker waits for the workers to be reaped before it stops anyway.
constexpr uint64_t kKillWaitUsec = 2 * 1000 * 1000;
// How long the broker waits for the template's answer (it forks twice) before it gives it up.
constexpr int kTemplateAnswerMs = 5000;
// How often the broker reaps whatever child has ended, besides on SIGCHLD.
constexpr uint64_t kSweepUsec = 1000 * 1000;
// The delays before a spare that ended without a client is replaced, and before a template that
// failed is started again: the first, and the longest.
constexpr uint64_t kFirstRestartDelayUsec = 100 * 1000;
constexpr uint64_t kMaxRestartDelayUsec = 30 * 1000 * 1000;
// After a hand-off, how long the broker waits before it starts the next spare: started at once, its
// fork and start-up would take the processor from the first answers to the client just handed
// over, which the spare is there to hasten. A client that comes in between gets a worker started
// for it, as when there is no spare.
constexpr uint64_t kSpareAfterHandOffUsec = 10 * 1000;
// What the log says while there is no template.
extern const char kUntilTemplate[];

class Broker {
public:
    Broker(sd_event* event, BrokerOptions options);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Accepts clients on the listening socket (ownership passes here). Negative errno on failure.
    int Serve(int listenFd);
    // Stops accepting and asks every worker to stop (SIGTERM: each destroys its engines in order);
    // `done` runs on the loop once the last worker is gone.
    void Stop(std::function<void()> done);
    // Sends the signal to every worker (SIGHUP: reopen the log; a worker still starting gets it
    // once it is ready).
    void Signal(int signo);
    size_t WorkerCount() const { return m_Workers.size(); }
    size_t SpareCount() const { return m_Spares; }

private:
    struct Worker {
        ~Worker();
        Broker* broker = nullptr;
        pid_t pid = 0;
        std::string client;  // the client's unique name, ":1.N"
        pid_t clientPid = 0;
        EventSourceRef child;
        UnflushedBusRef control;
        SlotRef firstMessage;    // released before the link
        bool ready = false;      // the worker has spoken on its link
        bool hangUpDue = false;  // a SIGHUP came before it was ready
        int clientCopy = -1;     // the client's connection, only to see it hang up
        EventSourceRef clientWatch;
        bool spare = false;  // waiting for a client on its hand-off socket
        int handOff = -1;    // the broker's end of that socket
    };

    // Serves a client: hands it to a spare, or starts its worker; a negative errno when neither
    // could be done.
    int ServeClient(int clientFd, const ucred& peer);
    // Whether no further client may be served now.
    bool Full() const;
    // Starts a worker process whose kClientFd is `first` (closed here) and whose role `role`
    // names (--worker=NAME or --worker-spare); `what` names it in errors.
    int StartProcess(int first, const std::string& role, const std::string& what, Worker** out);
    // The arguments of a worker of this role, and the broker's descriptors it gets, in order.
    std::vector<std::string> WorkerArgv(const std::string& role, std::vector<int>* fds) const;
    // Starts the worker template when the first worker is ready (StartTemplateOnce), and again
    // after it failed (RestartTemplateLater); without it, workers are exec'd. Always when the loop
    // is idle: posix_spawn holds the broker until the child has exec'd, and the first worker's
    // answer (the reply to its first message) should not wait for that.
    void StartTemplateOnce();
    void RestartTemplateLater();
    void StartTemplateLater(uint64_t delayUsec);
    static int OnTemplateStart(sd_event_source* s, uint64_t usec, void* userdata);
    void StartTemplate();
    // Has the template fork a worker with these arguments and descriptors: 0 with *pid set, a
    // positive errno when the fork failed, or -1 when the template did (it is dropped then).
    int ForkFromTemplate(const std::vector<std::string>& args, const std::vector<int>& fds,
                         pid_t* pid);
    // Ends the template and closes its socket; `why`, when not null, is logged as an error.
    void DropTemplate(const char* why);
    static int OnTemplateReady(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    // Watches a started worker: its end, its control link (`link`, taken).
    int Adopt(pid_t pid, int link, Worker** out);
    // Hands the client to a spare; false when there is none or the hand-off failed.
    bool HandToSpare(int clientFd, const ucred& peer, const std::string& client);
    // Sends the client's connection and name to the spare; then it is the client's worker.
    int HandOff(Worker* spare, int clientFd, const std::string& client);
    // The worker now serves a client whose connection the broker keeps a copy of (see Broker.h).
    void Connected(Worker* worker, int clientCopy, const ucred& peer);
    // Starts spares until there are as many as asked for, unless a delay is running.
    void StartSpares();
    void DelaySpares();
    void StartSparesIn(uint64_t usec);
    int OpenControl(Worker* worker, int fd);
    void Forget(pid_t pid);
    // The worker `pid` has ended as `how` says; `clean`: with status 0.
    void Ended(pid_t pid, bool clean, const std::string& how);
    void ClientGone(Worker* worker);
    void Sweep();
    void MaybeDone();
    void Done();
    static int OnChild(sd_event_source* s, const siginfo_t* si, void* userdata);
    static int OnChildSignal(sd_event_source* s, const struct signalfd_siginfo* si, void* userdata);
    static int OnSweepTimer(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnClientHangUp(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int OnStopTimeout(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnKillTimeout(sd_event_source* s, uint64_t usec, void* userdata);
    static int OnSpareTimer(sd_event_source* s, uint64_t usec, void* userdata);

    static int OnFirstMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);

    EventRef m_Event;
    BrokerOptions m_Options;
    FirstMessageGuard m_Guard;
    sd_id128_t m_ServerId{};
    size_t m_Connected = 0;     // workers whose client is still connected: the slots taken
    size_t m_Spares = 0;        // workers in m_Workers that wait for a client
    uint64_t m_SpareDelay = 0;  // before the next spare, after spares ended without a client
    EventSourceRef m_SpareTimer;
    uint64_t m_NextClient = 1;
    bool m_Stopping = false;
    std::function<void()> m_Done;
    EventSourceRef m_StopTimer;
    EventSourceRef m_KillTimer;
    EventSourceRef m_ChildSignal;
    EventSourceRef m_SweepTimer;
    pid_t m_TemplatePid = 0;  // the worker template, 0 when there is none
    int m_TemplateFd = -1;    // the broker's end of its request socket
    bool m_TemplateReady = false;
    bool m_TemplateTried = false;
    EventSourceRef m_TemplateWait;   // until it is ready
    EventSourceRef m_TemplateStart;  // StartTemplateLater's
    uint64_t m_TemplateDelay = 0;    // before the next start, after a template failed
    // Destroyed first: the workers' links and the listener go before the loop's sources.
    std::unique_ptr<Listener> m_Listener;
    std::map<pid_t, std::unique_ptr<Worker>> m_Workers;
};

}  // namespace gxhost
