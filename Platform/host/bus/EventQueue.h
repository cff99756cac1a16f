// The hand-off of engine events from library threads to a client's connection. An event goes out
// at once from the library's thread when it can (the loop sleeps, nothing waits before it), so a
// paced gesture pays no wake-up of the loop thread; otherwise it waits in its client's queue,
// bounded (the oldest event goes first), and the loop, woken through an eventfd, sends it.
#pragma once

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "EmpEngineBase.h"

namespace gxhost {

struct PendingEvent {
    uint32_t engine;
    int32_t code;
    std::string name;
    std::string data;
};

// Builds the `Event` signal for `destination` and hands it to `bus`; a negative errno on failure.
int SendEventSignal(sd_bus* bus, const std::string& destination, const PendingEvent& event);

// The one lock of a process's connections: sd-bus objects may be used from one thread at a time.
// The loop thread holds it while it prepares and dispatches (RunLoopUnder, service/Loop.h) and
// lets go only while it waits; a library thread that gets it meanwhile may send on a connection.
// One lock for the process rather than one per connection: the loop's prepare and dispatch touch
// every connection (on a bus, all clients share one), so per-connection locks would all be taken
// together anyway.
class LoopLock {
public:
    void lock() {
        m_Mutex.lock();
        m_Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    void unlock() {
        m_Owner.store(std::thread::id(), std::memory_order_relaxed);
        m_Mutex.unlock();
    }
    // Never waits. False on the thread that holds it too: a command run by the loop may raise an
    // event on the loop thread itself.
    bool try_lock() {
        if (m_Owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) return false;
        if (!m_Mutex.try_lock()) return false;
        m_Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    // Under the lock: a loop runs that holds it whenever it uses a connection. Before and after
    // the loop the loop thread uses them without it, so then events always go through the queue.
    bool running = false;

private:
    std::mutex m_Mutex;
    std::atomic<std::thread::id> m_Owner{};
};

// Shared between the loop thread and the library threads of one client's engines.
struct EventQueue {
    std::mutex mutex;
    std::deque<PendingEvent> events;
    bool closed = false;
    uint64_t dropped = 0;  // since last reported
    // The loop has been woken for the events here and has not looked at them yet.
    bool wakePending = false;
    // The client's connection and name, set on the loop thread before the client has an engine;
    // a library thread uses the connection only under the loop lock, and only while not closed.
    sd_bus* bus = nullptr;
    std::string destination;

    // Takes no more events and forgets those waiting: their client is gone.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        events.clear();
    }
};

// One per engine: forwards SendEvent from whatever thread calls it to the owner's connection.
//
// Why a library thread never waits for the loop lock: a command dispatched on the loop thread
// (which holds the lock) calls into the libraries, and those may wait for their delivery thread
// (the simulator's WaitIdle and Drain do); if that delivery thread, inside SendEvent, waited for
// the lock, neither would go on. So it only tries the lock, and when the loop holds it the event
// takes the queue and the eventfd, as before; a paced event finds the loop asleep in its wait and
// goes out at once. Nothing here calls back into the plug-in or the libraries under the lock.
class EngineSink : public kiv::IEmpEventSink {
public:
    struct Limits {
        size_t queued;      // events waiting in the queue (HostLimits::maxQueuedEvents)
        uint64_t busWrite;  // messages waiting in sd-bus (HostLimits::maxBusWriteQueue)
    };
    EngineSink(uint32_t id, std::shared_ptr<EventQueue> queue, int wakeFd, Limits limits,
               LoopLock* loopLock)
        : m_Id(id),
          m_Queue(std::move(queue)),
          m_WakeFd(wakeFd),
          m_Limits(limits),
          m_LoopLock(loopLock) {}

    void OnEmpEvent(kiv::CEmpEngineBase*, int code, const std::string& name,
                    const std::string& data) override;

private:
    // Under the loop lock, while a loop runs: sends `event` unless it must wait (events already
    // wait, or sd-bus holds its limit). True when the event needs nothing more.
    bool SendNow(const PendingEvent& event);
    void Wake();

    uint32_t m_Id;
    std::shared_ptr<EventQueue> m_Queue;
    int m_WakeFd;
    Limits m_Limits;
    LoopLock* m_LoopLock;
};

}  // namespace gxhost
