// Host1's events: from the library threads' queues to each client's connection. See Host1.h.
#include <unistd.h>

#include <cstring>

#include "Host1.h"
#include "gxhost/Endpoint.h"
#include "service/HostLog.h"

namespace gxhost {

namespace {
constexpr uint64_t kRetryUsec = 20 * 1000;
}  // namespace

int Host1::OnWake(sd_event_source*, int fd, uint32_t, void* userdata) {
    auto* self = static_cast<Host1*>(userdata);
    uint64_t count = 0;
    ssize_t n = read(fd, &count, sizeof count);
    (void)n;
    for (auto& client : self->m_Clients)
        if (!client->gone) self->DeliverEvents(client.get());
    return 0;
}

int Host1::OnRetry(sd_event_source*, uint64_t, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    client->retry.reset();
    if (!client->gone) client->host->DeliverEvents(client);
    return 0;
}

void Host1::DeliverEvents(Client* client) {
    {
        // Events queued from now on wake the loop again.
        std::lock_guard<std::mutex> lock(client->queue->mutex);
        client->queue->wakePending = false;
    }
    uint64_t queued = 0;
    bool more = false;
    uint64_t dropped = 0;
    for (;;) {
        if (sd_bus_get_n_queued_write(client->bus, &queued) < 0) break;
        PendingEvent event;
        {
            std::lock_guard<std::mutex> lock(client->queue->mutex);
            dropped += client->queue->dropped;
            client->queue->dropped = 0;
            if (client->queue->events.empty()) break;
            // A client that does not read leaves its events with us, where the bound applies,
            // rather than in the connection's unbounded write queue.
            if (queued >= m_Limits.maxBusWriteQueue) {
                more = true;
                break;
            }
            event = std::move(client->queue->events.front());
            client->queue->events.pop_front();
        }
        int r = SendEventSignal(client->bus, client->name, event);
        if (r < 0) {
            HostLog(kLogError, "cannot send event %s to %s: %s", event.name.c_str(),
                    client->name.c_str(), std::strerror(-r));
            if (r == -ENOBUFS) {
                more = true;
                break;
            }
        }
    }
    if (dropped > 0) {
        client->droppedTotal += dropped;
        HostLog(kLogError, "client %s does not keep up: dropped %llu oldest events (%llu in total)",
                client->name.c_str(), static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(client->droppedTotal));
    }
    if (more) RetryLater(client);
}

// What is left waiting goes out when the connection has drained a little.
void Host1::RetryLater(Client* client) {
    if (client->retry) return;
    int r = sd_event_add_time_relative(m_Event.get(), client->retry.out(), CLOCK_MONOTONIC,
                                       kRetryUsec, 0, &Host1::OnRetry, client);
    if (r < 0)
        HostLog(kLogError, "cannot schedule the events waiting for %s: %s (they go with the next)",
                client->name.c_str(), std::strerror(-r));
}

}  // namespace gxhost
