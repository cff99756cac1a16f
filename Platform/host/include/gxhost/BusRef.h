// Owning handles for sd-bus and sd-event objects, so that every path out of a function releases
// what it took: a reference is dropped when its handle goes out of scope, and an sd_bus_error's
// contents are freed when its guard does.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <utility>

namespace gxhost {

template <typename T, T* (*Unref)(T*)>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* taken) : m_Ptr(taken) {}  // takes over one reference
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : m_Ptr(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { reset(); }

    T* get() const { return m_Ptr; }
    explicit operator bool() const { return m_Ptr != nullptr; }
    // For the out-parameter of the sd_*_new/open/call functions: drops what is held first.
    T** out() {
        reset();
        return &m_Ptr;
    }
    T* release() { return std::exchange(m_Ptr, nullptr); }
    void reset(T* taken = nullptr) {
        if (T* old = std::exchange(m_Ptr, taken)) Unref(old);
    }

private:
    T* m_Ptr = nullptr;
};

using BusRef = Ref<sd_bus, sd_bus_flush_close_unref>;
// A connection closed without writing out what is still queued: one whose peer may not read
// (a client, a worker), where a flush could block the loop for ever.
using UnflushedBusRef = Ref<sd_bus, sd_bus_close_unref>;
// One more reference to a connection that its owner closes.
using SharedBusRef = Ref<sd_bus, sd_bus_unref>;
using MessageRef = Ref<sd_bus_message, sd_bus_message_unref>;
using SlotRef = Ref<sd_bus_slot, sd_bus_slot_unref>;
using EventRef = Ref<sd_event, sd_event_unref>;
using EventSourceRef = Ref<sd_event_source, sd_event_source_unref>;

// An sd_bus_error whose name and message are freed with it.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    sd_bus_error* get() { return &error; }
    const char* message() const { return error.message ? error.message : ""; }
};

}  // namespace gxhost
