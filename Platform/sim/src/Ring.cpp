// See Ring.h.
#include "Ring.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace gxsim::internal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFirst = 1;      // info: the first slot of a record
constexpr uint32_t kFollowing = 2;  // info: a later slot
constexpr uint32_t kFaceBit = 4;    // info: the face library's signal
constexpr size_t kSlotData = sizeof(SignalRing::Slot::data);
// A record may take up to three quarters of the ring, so that a reader that keeps up can hold
// all of it (the largest signal text, 1 MiB, takes about 4700 slots).
constexpr uint32_t kMaxRecordSlots = kRingSlots / 4 * 3;

// The payload's flags byte.
constexpr uint8_t kHasText = 1, kHasRecord = 2, kHasPath = 4;

uint64_t Mix(uint64_t h, const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

uint64_t Checksum(uint64_t pos, const SignalRing::Slot& s) {
    uint64_t h = 14695981039346656037ull;
    h = Mix(h, &pos, sizeof pos);
    h = Mix(h, &s.count, sizeof s.count);
    h = Mix(h, &s.used, sizeof s.used);
    h = Mix(h, &s.signal, sizeof s.signal);
    h = Mix(h, &s.info, sizeof s.info);
    return Mix(h, s.data, std::min<size_t>(s.used, kSlotData));
}

std::string Encode(const RingSignal& s) {
    std::string out(1, '\0');
    uint8_t flags = 0;
    if (s.text) {
        flags |= kHasText;
        out += *s.text;
    } else if (s.record) {
        flags |= kHasRecord;
        const FaceRecord& r = *s.record;
        int32_t fields[5] = {r.id, r.x, r.y, r.w, r.h};
        out.append(reinterpret_cast<const char*>(fields), sizeof fields);
        if (r.imagePath) {
            flags |= kHasPath;
            out += *r.imagePath;
        }
    }
    out[0] = static_cast<char>(flags);
    return out;
}

// Untrusted bytes back into a signal's data; false when they cannot be one.
bool Decode(const std::string& data, RingSignal* s) {
    if (data.empty()) return false;
    uint8_t flags = static_cast<uint8_t>(data[0]);
    s->text.reset();
    s->record.reset();
    if (flags == 0) return data.size() == 1;
    if (flags == kHasText) {
        if (s->face) return false;
        s->text = data.substr(1);
        return true;
    }
    if ((flags & ~kHasPath) != kHasRecord || !s->face || data.size() < 1 + 5 * sizeof(int32_t))
        return false;
    int32_t fields[5];
    std::memcpy(fields, data.data() + 1, sizeof fields);
    FaceRecord r;
    r.id = fields[0];
    r.x = fields[1];
    r.y = fields[2];
    r.w = fields[3];
    r.h = fields[4];
    size_t rest = 1 + sizeof fields;
    if (flags & kHasPath)
        r.imagePath = data.substr(rest);
    else if (data.size() != rest)
        return false;
    s->record = std::move(r);
    return true;
}

int Futex(uint32_t* word, int op, uint32_t value, const struct timespec* timeout) {
    return static_cast<int>(syscall(SYS_futex, word, op, value, timeout, nullptr, 0));
}

}  // namespace

size_t RingAreaBytes() {
    size_t bytes = sizeof(SignalRing::Header) + kRingEntries * sizeof(SignalRing::Entry) +
                   kRingSlots * sizeof(SignalRing::Slot);
    return (bytes + 4095) / 4096 * 4096;
}

SignalRing::SignalRing(void* area)
    : m_Header(static_cast<Header*>(area)),
      m_Entries(reinterpret_cast<Entry*>(m_Header + 1)),
      m_Slots(reinterpret_cast<Slot*>(m_Entries + kRingEntries)) {}

SignalRing::Slot* SignalRing::slot(uint64_t pos) const {
    return &m_Slots[pos % kRingSlots];
}

uint64_t SignalRing::Head() const {
    return __atomic_load_n(&m_Header->head, __ATOMIC_ACQUIRE);
}

uint32_t SignalRing::SlotsFor(const RingSignal& s) {
    size_t bytes =
        1 + (s.text ? s.text->size() : 0) +
        (s.record ? 5 * sizeof(int32_t) + (s.record->imagePath ? s.record->imagePath->size() : 0)
                  : 0);
    size_t slots = std::max<size_t>(1, (bytes + kSlotData - 1) / kSlotData);
    return slots > kMaxRecordSlots ? 0 : static_cast<uint32_t>(slots);
}

void SignalRing::Seal(uint64_t pos, Slot* s) {
    s->sum = Checksum(pos, *s);
}

uint64_t SignalRing::Reserve(uint32_t slots) {
    return __atomic_fetch_add(&m_Header->head, slots, __ATOMIC_ACQ_REL);
}

// The bytes of a slot are plain copies: a reader that copies a slot while a writer a lap ahead
// overwrites it finds out by the sequence number and the checksum.
void SignalRing::Fill(uint64_t first, const RingSignal& s) {
    std::string payload = Encode(s);
    uint32_t slots = SlotsFor(s);
    uint32_t info = s.face ? kFaceBit : 0;
    for (uint32_t i = 0; i < slots; ++i) {
        uint64_t pos = first + i;
        Slot* d = slot(pos);
        __atomic_store_n(&d->seq, 0, __ATOMIC_RELAXED);
        RingFence(__ATOMIC_RELEASE);
        size_t at = static_cast<size_t>(i) * kSlotData;
        size_t used = std::min(kSlotData, payload.size() - std::min(at, payload.size()));
        d->count = i == 0 ? slots : i;
        d->used = static_cast<uint32_t>(used);
        d->signal = s.signal;
        d->info = info | (i == 0 ? kFirst : kFollowing);
        std::memcpy(d->data, payload.data() + at, used);
        Seal(pos, d);
        __atomic_store_n(&d->seq, pos + 1, __ATOMIC_RELEASE);
    }
    Wake();
}

bool SignalRing::Write(const RingSignal& s) {
    uint32_t slots = SlotsFor(s);
    if (slots == 0) return false;
    Fill(Reserve(slots), s);
    return true;
}

void SignalRing::Wake() {
    __atomic_add_fetch(&m_Header->wake, 1, __ATOMIC_SEQ_CST);
    // A reader counts itself among the sleepers before it compares the word: either it sees
    // the bump, or the bump's writer sees it (both sequentially consistent).
    if (__atomic_load_n(&m_Header->sleepers, __ATOMIC_SEQ_CST) != 0)
        Futex(&m_Header->wake, FUTEX_WAKE, INT_MAX, nullptr);
}

void SignalRing::Poke() {
    __atomic_add_fetch(&m_Header->wake, 1, __ATOMIC_SEQ_CST);
    Futex(&m_Header->wake, FUTEX_WAKE, INT_MAX, nullptr);
}

uint32_t SignalRing::WakeWord() const {
    return __atomic_load_n(&m_Header->wake, __ATOMIC_SEQ_CST);
}

void SignalRing::Sleep(uint32_t seen, Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    struct timespec timeout {
        static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)
    };
    __atomic_add_fetch(&m_Header->sleepers, 1, __ATOMIC_SEQ_CST);
    Futex(&m_Header->wake, FUTEX_WAIT, seen, &timeout);
    __atomic_sub_fetch(&m_Header->sleepers, 1, __ATOMIC_SEQ_CST);
}

SignalRing::SlotRead SignalRing::ReadSlot(uint64_t pos, SlotImage* out) const {
    const Slot* s = slot(pos);
    uint64_t before = __atomic_load_n(&s->seq, __ATOMIC_ACQUIRE);
    if (before != pos + 1) return before > pos + 1 ? SlotRead::Lapped : SlotRead::Uncommitted;
    std::memcpy(static_cast<Slot*>(out), s, sizeof *s);
    RingFence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&s->seq, __ATOMIC_RELAXED) != before) return SlotRead::Torn;
    if (out->used > kSlotData || out->sum != Checksum(pos, *out)) return SlotRead::Torn;
    return SlotRead::Committed;
}

// ---- Reading -----------------------------------------------------------------------------------

RingReader::RingReader(SignalRing* ring, uint64_t from, std::chrono::milliseconds uncommittedWait)
    : m_Ring(ring), m_Pos(from), m_UncommittedWait(uncommittedWait) {}

void RingReader::Restart(uint64_t from) {
    m_Pos = from;
    m_Partial = false;
    m_PartData.clear();
    m_StallPos.reset();
    m_SkipBelow = 0;
}

// A record begun and not finished is lost.
void RingReader::Drop() {
    if (m_Partial) ++m_Counters.torn;
    m_Partial = false;
    m_PartData.clear();
}

bool RingReader::Take(const SignalRing::SlotImage& slot, RingSignal* out) {
    uint32_t kind = slot.info & ~kFaceBit;
    if (kind == kFirst) {
        Drop();
        if (slot.count == 0 || slot.count > kMaxRecordSlots ||
            (slot.count > 1 && slot.used != kSlotData)) {
            ++m_Counters.torn;
            return false;
        }
        m_Partial = true;
        m_PartSlots = slot.count;
        m_PartNext = 1;
        m_PartInfo = slot.info;
        m_PartSignal = slot.signal;
    } else if (kind == kFollowing && m_Partial && slot.count == m_PartNext &&
               slot.info == ((m_PartInfo & kFaceBit) | kFollowing) && slot.signal == m_PartSignal &&
               (slot.count + 1 == m_PartSlots || slot.used == kSlotData)) {
        ++m_PartNext;
    } else {
        // A later slot of a record whose start was lost (and counted), or damage.
        if (kind != kFollowing || m_Partial) ++m_Counters.torn;
        Drop();
        return false;
    }
    m_PartData.append(slot.data, slot.used);
    if (m_PartNext < m_PartSlots) return false;
    m_Partial = false;
    out->face = (m_PartInfo & kFaceBit) != 0;
    out->signal = m_PartSignal;
    bool ok = Decode(m_PartData, out);
    m_PartData.clear();
    if (!ok) ++m_Counters.torn;
    return ok;
}

bool RingReader::Next(RingSignal* out, std::chrono::nanoseconds wait,
                      const std::atomic<bool>* stop) {
    auto deadline = Clock::now() + wait;
    for (;;) {
        uint32_t seen = m_Ring->WakeWord();
        // After the word is read: a Poke that follows the stop flag changes it, so the sleep
        // below cannot miss it.
        if (stop != nullptr && stop->load()) return false;
        uint64_t head = m_Ring->Head();
        if (head < m_Pos) {
            // The head went back (damage): follow it rather than wait for it forever.
            Drop();
            m_Pos = head;
            m_SkipBelow = std::min(m_SkipBelow, head);
        }
        if (head - m_Pos > kRingSlots) {
            Drop();
            m_Counters.overrun += head - kRingSlots - m_Pos;
            m_Pos = head - kRingSlots;
        }
        Clock::time_point now = Clock::now();
        if (m_Pos == head) {
            if (now >= deadline) return false;
            m_Ring->Sleep(seen, deadline);
            continue;
        }
        SignalRing::SlotImage image;
        switch (m_Ring->ReadSlot(m_Pos, &image)) {
            case SignalRing::SlotRead::Committed: {
                m_StallPos.reset();
                bool got = Take(image, out);
                ++m_Pos;
                if (got) return true;
                continue;
            }
            case SignalRing::SlotRead::Lapped:
                Drop();
                ++m_Counters.overrun;
                ++m_Pos;
                continue;
            case SignalRing::SlotRead::Torn:
                Drop();
                ++m_Counters.torn;
                ++m_Pos;
                continue;
            case SignalRing::SlotRead::Uncommitted:
                break;
        }
        // Reserved and not committed. Every slot reserved before a stall that timed out began
        // has had the whole wait already.
        bool timedOut = m_Pos < m_SkipBelow;
        if (!timedOut && m_StallPos != m_Pos) {
            m_StallPos = m_Pos;
            m_StallSince = now;
            m_StallHead = head;
        }
        if (!timedOut && now - m_StallSince >= m_UncommittedWait) {
            timedOut = true;
            m_SkipBelow = m_StallHead;
        }
        if (timedOut) {
            Drop();
            ++m_Counters.skipped;
            ++m_Pos;
            continue;
        }
        if (now >= deadline) return false;
        m_Ring->Sleep(seen, std::min(deadline, m_StallSince + m_UncommittedWait));
    }
}

}  // namespace gxsim::internal
