// The limits that keep one client from costing the service without bound.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gxhost {

struct HostLimits {
    // Events waiting for one client; beyond it the oldest are dropped (counted and logged).
    size_t maxQueuedEvents = 1024;
    // Messages sd-bus may hold for one connection before events wait in our own queue instead.
    uint64_t maxBusWriteQueue = 256;
    // Longest string argument accepted from a client.
    size_t maxArgumentBytes = 1u << 20;
    // Clients served at once on a listening socket; further ones are refused.
    size_t maxClients = 64;
    // A connection that has sent no message this long after it was accepted (it has not finished
    // authenticating, or says nothing) is closed.
    uint64_t authTimeoutUsec = 5 * 1000 * 1000;
};

}  // namespace gxhost
