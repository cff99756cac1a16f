// The broker's spare workers: kept started for the next clients, each handed one over its
// hand-off socket. See Broker.h.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Broker.h"
#include "service/HostLog.h"
#include "worker/WorkerProtocol.h"

namespace gxhost {

// A spare, one that is ready if there is one (a spare still starting takes the client too: it
// answers sooner than a worker started now). One whose socket fails is stopped, and the client
// gets a worker of its own.
bool Broker::HandToSpare(int clientFd, const ucred& peer, const std::string& client) {
    Worker* spare = nullptr;
    for (auto& [pid, worker] : m_Workers)
        if (worker->spare && (spare == nullptr || (worker->ready && !spare->ready)))
            spare = worker.get();
    if (spare == nullptr) return false;
    int r = HandOff(spare, clientFd, client);
    if (r < 0) {
        HostLog(kLogError, "cannot hand client %s to spare worker %d: %s", client.c_str(),
                static_cast<int>(spare->pid), std::strerror(-r));
        kill(spare->pid, SIGKILL);
        return false;
    }
    Connected(spare, clientFd, peer);
    m_SpareDelay = 0;
    StartSparesIn(kSpareAfterHandOffUsec);
    return true;
}

int Broker::HandOff(Worker* spare, int clientFd, const std::string& client) {
    int r = SendClient(spare->handOff, clientFd, client);
    if (r < 0) return r;
    // The spare has what it needs: closing the socket tells it that no more comes.
    close(spare->handOff);
    spare->handOff = -1;
    spare->spare = false;
    --m_Spares;
    spare->client = client;
    return 0;
}

void Broker::StartSpares() {
    while (!m_Stopping && m_Spares < m_Options.spareWorkers &&
           (!m_SpareTimer ||
            sd_event_source_get_enabled(m_SpareTimer.get(), nullptr) == SD_EVENT_OFF)) {
        // A sequenced socket keeps the client's name in one message with its descriptor.
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
            HostLog(kLogError, "cannot start a spare worker: %s", std::strerror(errno));
            DelaySpares();
            return;
        }
        Worker* worker = nullptr;
        if (StartProcess(pair[1], std::string("--") + kWorkerSpareOption, "a spare worker",
                         &worker) < 0) {
            close(pair[0]);
            DelaySpares();
            return;
        }
        worker->spare = true;
        worker->handOff = pair[0];
        ++m_Spares;
    }
}

void Broker::DelaySpares() {
    m_SpareDelay = m_SpareDelay == 0 ? kFirstRestartDelayUsec
                                     : std::min(2 * m_SpareDelay, kMaxRestartDelayUsec);
    StartSparesIn(m_SpareDelay);
}

// Spares start when the timer fires, not before (StartSpares waits for it).
void Broker::StartSparesIn(uint64_t usec) {
    if (!m_SpareTimer) {
        int r = sd_event_add_time_relative(m_Event.get(), m_SpareTimer.out(), CLOCK_MONOTONIC, usec,
                                           0, &Broker::OnSpareTimer, this);
        if (r < 0) {
            HostLog(kLogError, "cannot time the next spare worker: %s (none is started)",
                    std::strerror(-r));
            return;
        }
    } else {
        sd_event_source_set_time_relative(m_SpareTimer.get(), usec);
    }
    sd_event_source_set_enabled(m_SpareTimer.get(), SD_EVENT_ONESHOT);
}

int Broker::OnSpareTimer(sd_event_source*, uint64_t, void* userdata) {
    static_cast<Broker*>(userdata)->StartSpares();
    return 0;
}

}  // namespace gxhost
