// The TV shared by several processes.
//
// A TV has one camera, one face store and one settings path, however many processes serve its
// clients. When the service runs a process per client, the broker owns the TV's state: it alone
// applies changes (its own, and those workers send it through the transport, see ApplyEdit) and
// publishes every new state into a shared memory segment (ShareState) that every worker maps
// (JoinSharedState). No process ever waits on a lock another process can hold:
//
// - The segment has a header page and two slots. The owner writes a new state into the slot that
//   is not active, between two increments of that slot's sequence number (odd while it writes),
//   then makes it active and bumps the generation. It never reads the header back: what it
//   writes comes from its own copies, so a damaged header is repaired by the next publication.
// - A worker keeps a local copy of the state and reads the segment only when the generation
//   changed: it copies the active slot, and keeps the copy only if the slot's sequence number was
//   even and the same before and after. Overtaken by two publications it tries again, a bounded
//   number of times. Every value of the header is range-checked and the copy is parsed as
//   untrusted data; anything wrong is logged once and the worker keeps its last good copy (and
//   asks the owner to publish again).
// - The workers map the slots read-only; only the header page (the trace sequence, the hidden
//   mask) is writable, and each of its words is read or bumped atomically.
//
// After the slots (at ringOffset, ringBytes long) comes the ring that broadcasts the libraries'
// signals to every worker (Ring.h); every process maps it writable. A worker that finds a layout
// it does not know refuses to join.
#include <errno.h>
#include <glib.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "Ring.h"
#include "SimState.h"
#include "dlog.h"

namespace gxsim::internal {
namespace {

constexpr uint32_t kMagic = 0x67785456;  // "gxTV"
constexpr uint32_t kLayout = 3;
constexpr size_t kHeaderBytes = 4096;
constexpr size_t kSlotBytes = kMaxStateBytes;
constexpr size_t kRingOffset = kHeaderBytes + 2 * kSlotBytes;
const size_t kRingBytes = RingAreaBytes();
const size_t kSegmentBytes = kRingOffset + kRingBytes;
constexpr int kReadTries = 8;

struct Header {
    uint32_t magic;
    uint32_t layout;
    int32_t creator;
    uint32_t slotBytes;
    uint64_t generation;  // bumped after every publication
    uint32_t active;      // the slot of the newest state
    uint32_t hiddenMask;  // read lock-free by the motion library's resolvers
    uint64_t traceSeq;    // bumped by every process for every library call
    uint64_t slotSeq[2];  // odd while the owner writes the slot
    uint32_t length[2];
    uint64_t ringOffset;  // the signal ring's area (informative: both sides know where)
    uint64_t ringBytes;
};
static_assert(sizeof(Header) <= kHeaderBytes, "the header fits its page");

// Set once, before other threads use them.
std::atomic<Header*> gHeader{nullptr};
const char* gSlots = nullptr;  // the two slots (read-only in a worker)
char* gOwnSlots = nullptr;     // the owner's writable view of them
bool gOwner = false;           // this process made the segment
int gCreator = 0;              // the owner's pid, as read when joining
std::atomic<unsigned> gLocalMask{0};

// Under SimState().mu.
uint32_t gActive = 0;     // owner: the slot it published last
uint64_t gPublished = 0;  // owner: the generation it published last
uint64_t gSlotSeq[2] = {0, 0};
uint64_t gGeneration = 0;   // worker: the generation of the local copy
GVariant* gLast = nullptr;  // the state as last applied or read, serialised
uint64_t gLocalSeq = 0;
const char* gProblem = nullptr;  // worker: what the last read found wrong, logged once
bool gRepairAsked = false;       // worker: asked the owner to publish again since then

#if defined(__SANITIZE_THREAD__)
#define GXSIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GXSIM_TSAN 1
#endif
#endif

// The ordering of the slot's copy against its sequence number. ThreadSanitizer refuses fences
// (and sees nothing of the other processes that write the segment): there, only the atomic
// accesses order it.
void Fence(int order) {
#ifndef GXSIM_TSAN
    __atomic_thread_fence(order);
#else
    (void)order;
#endif
}

void Log(const std::string& text) {
    __dlog_print(LOG_ID_MAIN, 16, "GXSIM", "%s", text.c_str());
}

// The owner, with SimState().mu held: `v` (normal form, at most kSlotBytes) becomes the current
// state.
void Publish(GVariant* v) {
    Header* h = gHeader.load(std::memory_order_acquire);
    uint32_t next = 1 - gActive;
    size_t size = g_variant_get_size(v);
    __atomic_store_n(&h->slotSeq[next], ++gSlotSeq[next], __ATOMIC_RELEASE);  // odd
    Fence(__ATOMIC_RELEASE);
    g_variant_store(v, gOwnSlots + next * kSlotBytes);
    __atomic_store_n(&h->length[next], static_cast<uint32_t>(size), __ATOMIC_RELAXED);
    __atomic_store_n(&h->slotSeq[next], ++gSlotSeq[next], __ATOMIC_RELEASE);  // even
    // What a damaged header may have lost, written again every time.
    h->magic = kMagic;
    h->layout = kLayout;
    h->creator = static_cast<int32_t>(getpid());
    h->slotBytes = static_cast<uint32_t>(kSlotBytes);
    h->ringOffset = kRingOffset;
    h->ringBytes = kRingBytes;
    __atomic_store_n(&h->hiddenMask, gLocalMask.load(), __ATOMIC_RELEASE);
    __atomic_store_n(&h->active, next, __ATOMIC_RELEASE);
    gActive = next;
    __atomic_store_n(&h->generation, ++gPublished, __ATOMIC_RELEASE);
}

// A worker: copies the newest complete state out of the segment. Returns null with *problem set
// when the header is damaged or the owner kept overtaking the copy.
GVariant* ReadSnapshot(Header* h, uint64_t* generation, const char** problem) {
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        uint64_t g = __atomic_load_n(&h->generation, __ATOMIC_ACQUIRE);
        if (__atomic_load_n(&h->magic, __ATOMIC_RELAXED) != kMagic ||
            __atomic_load_n(&h->layout, __ATOMIC_RELAXED) != kLayout) {
            *problem = "its header is not the TV's";
            return nullptr;
        }
        uint32_t a = __atomic_load_n(&h->active, __ATOMIC_ACQUIRE);
        if (a > 1) {
            *problem = "its active slot is out of range";
            return nullptr;
        }
        uint64_t before = __atomic_load_n(&h->slotSeq[a], __ATOMIC_ACQUIRE);
        uint32_t length = __atomic_load_n(&h->length[a], __ATOMIC_RELAXED);
        if (before % 2 == 1) continue;  // being written: the owner has moved on twice
        if (length == 0 || length > kSlotBytes) {
            *problem = "its state length is out of range";
            return nullptr;
        }
        void* copy = g_malloc(length);
        std::memcpy(copy, gSlots + a * kSlotBytes, length);
        Fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&h->slotSeq[a], __ATOMIC_RELAXED) != before) {
            g_free(copy);
            continue;
        }
        GVariant* v = g_variant_ref_sink(
            g_variant_new_from_data(G_VARIANT_TYPE(kStateType), copy, length, FALSE, g_free, copy));
        if (!g_variant_is_normal_form(v)) {
            g_variant_unref(v);
            *problem = "its state does not parse";
            return nullptr;
        }
        *generation = g;
        return v;
    }
    *problem = "its owner overtook every copy";
    return nullptr;
}

}  // namespace

bool ReadsSharedState() {
    return gHeader.load() != nullptr && !gOwner;
}

void PublishShared(GVariant* v) {
    if (gOwner) Publish(v);
}

bool PublishesState() {
    return gOwner;
}

GVariant* LastSerializedTv() {
    return gLast;
}

void KeepSerializedTv(GVariant* v) {
    if (gLast) g_variant_unref(gLast);
    gLast = v;
}

void PullShared() {
    Header* h = gHeader.load(std::memory_order_acquire);
    if (h == nullptr || gOwner) return;
    if (__atomic_load_n(&h->generation, __ATOMIC_ACQUIRE) == gGeneration && gProblem == nullptr)
        return;
    const char* problem = nullptr;
    uint64_t generation = 0;
    GVariant* v = ReadSnapshot(h, &generation, &problem);
    if (v == nullptr && !gRepairAsked && HasEditTransport()) {
        // The owner's next publication writes the header and a slot anew.
        gRepairAsked = true;
        Edit("republish", nullptr, nullptr, nullptr);
        return;  // the edit read the segment again
    }
    if (v == nullptr) {
        if (gProblem != problem)
            Log(std::string("the TV's shared state cannot be read (") + problem +
                "): this process keeps its last good copy");
        gProblem = problem;
        return;
    }
    if (gProblem != nullptr) Log("the TV's shared state can be read again");
    gProblem = nullptr;
    gRepairAsked = false;
    DeserializeTv(v, SimState());
    KeepSerializedTv(v);
    gGeneration = generation;
}

std::unique_lock<std::mutex> LockTv() {
    std::unique_lock<std::mutex> lk(SimState().mu);
    PullShared();
    return lk;
}

uint64_t NextTraceSeq() {
    Header* h = gHeader.load(std::memory_order_acquire);
    return h ? __atomic_add_fetch(&h->traceSeq, 1, __ATOMIC_RELAXED) : ++gLocalSeq;
}

int TvPid() {
    return gHeader.load() ? gCreator : static_cast<int>(getpid());
}

void StoreHiddenMask(unsigned mask) {
    gLocalMask.store(mask);
}

// Called by the dynamic loader through the motion library's resolvers: a plain lock-free read,
// kept free of sanitizer instrumentation.
__attribute__((no_sanitize("address", "thread", "undefined"))) unsigned LoadHiddenMask() {
    Header* h = gHeader.load(std::memory_order_acquire);
    if (h != nullptr && !gOwner) return __atomic_load_n(&h->hiddenMask, __ATOMIC_ACQUIRE);
    return gLocalMask.load(std::memory_order_acquire);
}

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

int ShareState(std::string* error) {
    if (gHeader.load() != nullptr) {
        if (error) *error = "the TV's state is shared already";
        return -1;
    }
    int fd = memfd_create("gxemp-tv", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, kSegmentBytes) < 0) {
        if (error) *error = std::string("cannot make the TV's shared state: ") + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    void* p = mmap(nullptr, kSegmentBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        if (error) *error = std::string("cannot map the TV's shared state: ") + strerror(errno);
        close(fd);
        return -1;
    }
    auto* h = static_cast<Header*>(p);
    gOwnSlots = static_cast<char*>(p) + kHeaderBytes;
    gSlots = gOwnSlots;
    {
        std::lock_guard<std::mutex> lk(SimState().mu);
        gOwner = true;
        gCreator = static_cast<int>(getpid());
        h->traceSeq = gLocalSeq;
        gHeader.store(h, std::memory_order_release);
        KeepSerializedTv(SerializeTv(SimState()));
        Publish(LastSerializedTv());
    }
    AttachRing(static_cast<char*>(p) + kRingOffset, false);
    return fd;
}

bool JoinSharedState(int fd, std::string* error) {
    struct stat st {};
    if (gHeader.load() != nullptr || fstat(fd, &st) < 0 ||
        static_cast<size_t>(st.st_size) != kSegmentBytes) {
        if (error) *error = "not the TV's shared state";
        return false;
    }
    void* head = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    void* slots = head == MAP_FAILED ? MAP_FAILED
                                     : mmap(nullptr, 2 * kSlotBytes, PROT_READ, MAP_SHARED, fd,
                                            static_cast<off_t>(kHeaderBytes));
    void* ring = slots == MAP_FAILED ? MAP_FAILED
                                     : mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                                            fd, static_cast<off_t>(kRingOffset));
    auto unmap = [&] {
        if (head != MAP_FAILED) munmap(head, kHeaderBytes);
        if (slots != MAP_FAILED) munmap(slots, 2 * kSlotBytes);
        if (ring != MAP_FAILED) munmap(ring, kRingBytes);
    };
    if (ring == MAP_FAILED) {
        if (error) *error = std::string("cannot map the TV's shared state: ") + strerror(errno);
        unmap();
        return false;
    }
    auto* h = static_cast<Header*>(head);
    if (h->layout != kLayout && h->magic == kMagic) {
        unmap();
        if (error) *error = "the TV's shared state has a layout this program does not know";
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(SimState().mu);
        gSlots = static_cast<const char*>(slots);
        gCreator = h->creator;
        gHeader.store(h, std::memory_order_release);
        // A damaged header leaves the defaults until the owner publishes again.
        gGeneration = 0;
        PullShared();
    }
    AttachRing(ring, true);
    return true;
}

}  // namespace gxsim
