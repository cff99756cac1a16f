// The hand-off of engine events to a client's connection. See EventQueue.h.
#include "bus/EventQueue.h"

#include <cstring>

#include "gxhost/BusRef.h"
#include "gxhost/Endpoint.h"
#include "service/HostLog.h"

namespace gxhost {

int SendEventSignal(sd_bus* bus, const std::string& destination, const PendingEvent& event) {
    MessageRef m;
    int r = sd_bus_message_new_signal(bus, m.out(), kHostPath, kHostInterface, "Event");
    if (r >= 0) r = sd_bus_message_set_destination(m.get(), destination.c_str());
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "uiss", event.engine, event.code, event.name.c_str(),
                                  event.data.c_str());
    if (r >= 0) r = sd_bus_send(bus, m.get(), nullptr);
    return r;
}

void EngineSink::OnEmpEvent(kiv::CEmpEngineBase*, int code, const std::string& name,
                            const std::string& data) {
    PendingEvent event{m_Id, code, name, data};
    if (m_LoopLock != nullptr && m_LoopLock->try_lock()) {
        std::lock_guard<LoopLock> loop(*m_LoopLock, std::adopt_lock);
        if (m_LoopLock->running && SendNow(event)) return;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_Queue->mutex);
        if (m_Queue->closed) return;
        if (m_Queue->events.size() >= m_Limits.queued) {
            m_Queue->events.pop_front();
            ++m_Queue->dropped;
        }
        m_Queue->events.push_back(std::move(event));
        // Once woken, the loop takes every event queued until it looks: a flood costs one
        // write(2) per batch the loop sends, not one per event.
        wake = !m_Queue->wakePending;
        m_Queue->wakePending = true;
    }
    if (wake) Wake();
}

bool EngineSink::SendNow(const PendingEvent& event) {
    // Held while sending, so that an event another thread queues meanwhile comes after this one.
    std::lock_guard<std::mutex> lock(m_Queue->mutex);
    if (m_Queue->closed) return true;
    // Those waiting go first, and a client that does not read leaves its events in our bounded
    // queue rather than in the connection's unbounded one: the loop's DeliverEvents decides.
    uint64_t queued = 0;
    if (!m_Queue->events.empty() || sd_bus_get_n_queued_write(m_Queue->bus, &queued) < 0 ||
        queued >= m_Limits.busWrite)
        return false;
    int r = SendEventSignal(m_Queue->bus, m_Queue->destination, event);
    if (r < 0)
        HostLog(kLogError, "cannot send event %s to %s: %s", event.name.c_str(),
                m_Queue->destination.c_str(), std::strerror(-r));
    // The loop polls the connection for writing only if it had bytes waiting when it prepared:
    // a partial write (or a connection that failed) needs it to prepare again.
    if (r < 0 || (sd_bus_get_n_queued_write(m_Queue->bus, &queued) >= 0 && queued > 0)) Wake();
    return true;
}

void EngineSink::Wake() {
    uint64_t one = 1;
    // A full eventfd counter still leaves it readable, so a failed write loses nothing.
    ssize_t n = write(m_WakeFd, &one, sizeof one);
    (void)n;
}

}  // namespace gxhost
