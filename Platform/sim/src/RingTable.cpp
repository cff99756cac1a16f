// The table of the processes that read the ring (see Ring.h): their entries, their published
// subscriptions and counters, and the sum an emit answers with.
#include <errno.h>
#include <signal.h>

#include <algorithm>
#include <climits>

#include "Ring.h"

namespace gxsim::internal {

int SignalRing::Register(int32_t pid) {
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < kRingEntries; ++i) {
            int32_t seen = __atomic_load_n(&m_Entries[i].pid, __ATOMIC_ACQUIRE);
            // The second pass takes the entry of a process that ended without freeing it.
            bool free = seen == 0 || (pass == 1 && seen > 0 && kill(seen, 0) < 0 && errno == ESRCH);
            if (!free || !__atomic_compare_exchange_n(&m_Entries[i].pid, &seen, pid, false,
                                                      __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
                continue;
            PublishCounts(static_cast<int>(i), RingCounts());
            PublishCounters(static_cast<int>(i), RingCounters());
            return static_cast<int>(i);
        }
    }
    return -1;
}

void SignalRing::Release(int32_t pid) {
    if (pid <= 0) return;
    for (uint32_t i = 0; i < kRingEntries; ++i) {
        int32_t seen = pid;
        if (__atomic_load_n(&m_Entries[i].pid, __ATOMIC_ACQUIRE) != pid) continue;
        PublishCounts(static_cast<int>(i), RingCounts());
        __atomic_compare_exchange_n(&m_Entries[i].pid, &seen, 0, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED);
    }
}

void SignalRing::PublishCounts(int entry, const RingCounts& counts) {
    if (entry < 0 || static_cast<uint32_t>(entry) >= kRingEntries) return;
    // The entry is among those the emitters look at (again, should damage have lowered that).
    uint32_t used = __atomic_load_n(&m_Header->entries, __ATOMIC_RELAXED);
    while (used < static_cast<uint32_t>(entry) + 1 &&
           !__atomic_compare_exchange_n(&m_Header->entries, &used, entry + 1, false,
                                        __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
    }
    Entry& e = m_Entries[entry];
    uint32_t v = __atomic_load_n(&e.version, __ATOMIC_RELAXED);
    __atomic_store_n(&e.version, (v + 1) | 1, __ATOMIC_RELAXED);  // odd
    RingFence(__ATOMIC_RELEASE);
    for (int i = 0; i < kRingMotionSignals; ++i)
        __atomic_store_n(&e.motion[i], counts.motion[i], __ATOMIC_RELAXED);
    for (int i = 0; i < kRingFaceSignals; ++i)
        __atomic_store_n(&e.face[i], counts.face[i], __ATOMIC_RELAXED);
    __atomic_add_fetch(&e.version, 1, __ATOMIC_RELEASE);  // even
}

void SignalRing::PublishCounters(int entry, const RingCounters& c) {
    if (entry < 0 || static_cast<uint32_t>(entry) >= kRingEntries) return;
    Entry& e = m_Entries[entry];
    __atomic_store_n(&e.overrun, c.overrun, __ATOMIC_RELAXED);
    __atomic_store_n(&e.skipped, c.skipped, __ATOMIC_RELAXED);
    __atomic_store_n(&e.torn, c.torn, __ATOMIC_RELAXED);
}

// Emits read the table every time: they look at the entries ever taken, not the whole table. A
// damaged count is taken as the whole table.
uint32_t SignalRing::EntriesInUse() const {
    uint32_t used = __atomic_load_n(&m_Header->entries, __ATOMIC_ACQUIRE);
    return used > kRingEntries ? kRingEntries : used;
}

int SignalRing::Subscribed(bool face, int signal) const {
    int index = face ? signal : signal - kRingFirstMotionSignal;
    if (index < 0 || index >= (face ? kRingFaceSignals : kRingMotionSignals)) return 0;
    uint64_t sum = 0;
    for (uint32_t i = 0, n = EntriesInUse(); i < n; ++i) {
        const Entry& e = m_Entries[i];
        if (__atomic_load_n(&e.pid, __ATOMIC_ACQUIRE) <= 0) continue;
        // A few tries for a copy its owner did not change meanwhile; a process stopped while it
        // writes its counts leaves them odd, and its last value is taken.
        uint32_t count = 0;
        for (int attempt = 0; attempt < 4; ++attempt) {
            uint32_t before = __atomic_load_n(&e.version, __ATOMIC_ACQUIRE);
            count = __atomic_load_n(face ? &e.face[index] : &e.motion[index], __ATOMIC_RELAXED);
            RingFence(__ATOMIC_ACQUIRE);
            if (before % 2 == 0 && __atomic_load_n(&e.version, __ATOMIC_RELAXED) == before) break;
        }
        // A process has at most as many instances as handles; anything larger is damage.
        sum += std::min<uint32_t>(count, 1u << 20);
    }
    return static_cast<int>(std::min<uint64_t>(sum, INT_MAX));
}

std::vector<std::pair<int32_t, RingCounters>> SignalRing::Readers() const {
    std::vector<std::pair<int32_t, RingCounters>> out;
    for (uint32_t i = 0, n = EntriesInUse(); i < n; ++i) {
        const Entry& e = m_Entries[i];
        int32_t pid = __atomic_load_n(&e.pid, __ATOMIC_ACQUIRE);
        if (pid <= 0) continue;
        RingCounters c;
        c.overrun = __atomic_load_n(&e.overrun, __ATOMIC_RELAXED);
        c.skipped = __atomic_load_n(&e.skipped, __ATOMIC_RELAXED);
        c.torn = __atomic_load_n(&e.torn, __ATOMIC_RELAXED);
        out.emplace_back(pid, c);
    }
    return out;
}

}  // namespace gxsim::internal
