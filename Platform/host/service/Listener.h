// The listening socket of the service: accepts clients, checks who they are and hands them on,
// and holds under abuse.
//
// - A peer of another user than the service's (root excepted) is refused.
// - At the client limit further clients are refused, and told why: the connection finishes
//   authenticating, the calls a bus client makes first (Hello, AddMatch) are answered, and its
//   first other call gets org.gxemp.Error.TooManyClients naming the limit; then it is closed. So
//   it learns it at once instead of waiting in the backlog. At most kMaxRefusing are being told at
//   a time (more are closed at once), each for at most kRefuseUsec.
// - A client is accepted only while the process has the descriptors to serve it; otherwise the
//   connection waits in the backlog and the listener rests for a moment (accepting it would only
//   close it again). The same when accept fails for want of descriptors or memory (EMFILE, ENFILE,
//   ENOBUFS, ENOMEM), or serving an accepted client does: the connection that caused it stays in
//   the backlog and the socket stays readable, so accepting again at once would spin.
// Repeated refusals and failures are logged once per second with a count.
#pragma once

#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>

#include "bus/FirstMessageGuard.h"
#include "gxhost/BusRef.h"

namespace gxhost {

class Listener {
public:
    // fd: a listening socket, non-blocking; owned from here on.
    Listener(sd_event* event, int fd);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // `accepted` takes ownership of the client's descriptor and returns 0, or a negative errno
    // when it could not serve the client; running out of descriptors or memory there makes the
    // listener rest as a failed accept does. `full` says whether the client limit is reached.
    // Returns a negative errno on failure.
    // `descriptors`: how many descriptors serving one client takes (beyond the client's own).
    using Accepted = std::function<int(int fd, const ucred& peer)>;
    // `limit`: the client limit, as the refusal names it.
    int Start(Accepted accepted, std::function<bool()> full, int descriptors, size_t limit);
    // Stops accepting (clients still in the backlog are left there); the socket stays open.
    void Stop();

    static constexpr uint64_t kPauseUsec = 100 * 1000;
    static constexpr size_t kMaxRefusing = 16;
    static constexpr uint64_t kRefuseUsec = 2 * 1000 * 1000;

private:
    struct Summary {  // one log line per second for a repeated condition
        uint64_t count = 0;
        uint64_t lastLog = 0;
        bool Due(uint64_t now);
    };
    static int OnReadable(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int OnPauseOver(sd_event_source* s, uint64_t usec, void* userdata);
    void PauseAccepting(int err);
    // A refused client: told why on its own connection, then closed.
    struct Refusal {
        Listener* listener = nullptr;
        UnflushedBusRef bus;
        EventSourceRef timer;  // closes it when it says nothing in time, and after
        bool told = false;
    };
    int SetUpRefusal(Refusal* refusal, int fd);
    void Refuse(int fd);
    void EndRefusal(Refusal* refusal);
    static int OnRefusedMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnRefusalTimer(sd_event_source* s, uint64_t usec, void* userdata);
    // Whether the process has the descriptors to accept and serve one more client.
    bool HasRoom() const;
    uint64_t Now() const;

    EventRef m_Event;
    int m_Fd;
    EventSourceRef m_Io;
    EventSourceRef m_Timer;
    Accepted m_Accepted;
    std::function<bool()> m_Full;
    int m_Descriptors = 0;
    size_t m_Limit = 0;
    Summary m_Failed, m_Refused;
    FirstMessageGuard m_Guard;
    sd_id128_t m_ServerId{};
    std::list<Refusal> m_Refusals;
};

}  // namespace gxhost
