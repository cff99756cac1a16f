// The broker: the service's process when it runs a process per client.
//
// The plug-in keeps process-wide state (the current engine, the engine list, the motion library's
// entry points, the subscription semaphore), so clients served by one process would overhear and
// break each other. The broker therefore builds no engine: it accepts each client on the
// listening socket, checks it, and starts a worker (this program again, in worker mode) that
// serves that one connection, its engines and its events, and exits when the client goes.
//
// A worker gets the client's connection as descriptor 3, its control link to the broker (a private
// D-Bus connection on which extensions talk) as descriptor 4, and each extension's shared
// descriptor from 5 on. Workers are started with posix_spawn and exec, never by a bare fork, so
// whatever threads the broker has, no lock can be left held in a worker.
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

#include "FirstMessageGuard.h"

namespace gxhost {

class Listener;

struct BrokerOptions {
    std::string program;                  // what a worker runs (this executable)
    std::string argv0;                    // its argv[0]
    std::vector<std::string> workerArgs;  // options every worker gets
    size_t maxClients = 64;
    uint64_t stopGraceUsec = 10 * 1000 * 1000;  // then a worker that did not stop is killed
};

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
    // Sends the signal to every worker (SIGHUP: reopen the log).
    void Signal(int signo);
    size_t WorkerCount() const { return m_Workers.size(); }

private:
    struct Worker {
        Broker* broker = nullptr;
        pid_t pid = 0;
        std::string client;  // the client's unique name, ":1.N"
        pid_t clientPid = 0;
        sd_event_source* child = nullptr;
        sd_bus* control = nullptr;
        sd_bus_slot* firstMessage = nullptr;
        bool ready = false;  // the worker has spoken on its link
    };

    // Starts the worker of a client; a negative errno when it could not.
    int Spawn(int clientFd, const ucred& peer);
    int OpenControl(Worker* worker, int fd);
    void Forget(pid_t pid);
    static int OnChild(sd_event_source* s, const siginfo_t* si, void* userdata);
    static int OnStopTimeout(sd_event_source* s, uint64_t usec, void* userdata);

    static int OnFirstMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);

    sd_event* m_Event;
    BrokerOptions m_Options;
    FirstMessageGuard m_Guard;
    sd_id128_t m_ServerId{};
    std::unique_ptr<Listener> m_Listener;
    std::map<pid_t, std::unique_ptr<Worker>> m_Workers;
    uint64_t m_NextClient = 1;
    bool m_Stopping = false;
    std::function<void()> m_Done;
    sd_event_source* m_StopTimer = nullptr;
};

}  // namespace gxhost
