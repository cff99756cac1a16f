// The hand-off of engine events from library threads to the loop thread: each client has one
// queue, bounded (the oldest event goes first), and each engine a sink that fills its owner's
// queue and wakes the loop through an eventfd.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "EmpEngineBase.h"

namespace gxhost {

struct PendingEvent {
    uint32_t engine;
    int32_t code;
    std::string name;
    std::string data;
};

// Shared between the loop thread and the library threads of one client's engines.
struct EventQueue {
    std::mutex mutex;
    std::deque<PendingEvent> events;
    bool closed = false;
    uint64_t dropped = 0;  // since last reported

    // Takes no more events and forgets those waiting: their client is gone.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        events.clear();
    }
};

// One per engine: forwards SendEvent from whatever thread calls it into the owner's queue.
class EngineSink : public kiv::IEmpEventSink {
public:
    EngineSink(uint32_t id, std::shared_ptr<EventQueue> queue, int wakeFd, size_t limit)
        : m_Id(id), m_Queue(std::move(queue)), m_WakeFd(wakeFd), m_Limit(limit) {}

    void OnEmpEvent(kiv::CEmpEngineBase*, int code, const std::string& name,
                    const std::string& data) override {
        {
            std::lock_guard<std::mutex> lock(m_Queue->mutex);
            if (m_Queue->closed) return;
            if (m_Queue->events.size() >= m_Limit) {
                m_Queue->events.pop_front();
                ++m_Queue->dropped;
            }
            m_Queue->events.push_back(PendingEvent{m_Id, code, name, data});
        }
        uint64_t one = 1;
        // A full eventfd counter still leaves it readable, so a failed write loses nothing.
        ssize_t n = write(m_WakeFd, &one, sizeof one);
        (void)n;
    }

private:
    uint32_t m_Id;
    std::shared_ptr<EventQueue> m_Queue;
    int m_WakeFd;
    size_t m_Limit;
};

}  // namespace gxhost
