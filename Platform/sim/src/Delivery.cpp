// The libraries' delivery thread: the queue of signals, their delivery to the subscribed callbacks
// with no lock held, and the functions that queue signals and wait for them.
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "Ring.h"
#include "SimState.h"

namespace gxsim::internal {
namespace {

thread_local bool tOnDeliveryThread = false;
// The ring's reader delivers what it queues itself: a signal from another process then wakes one
// thread here, not two (the reader, then the delivery thread).
thread_local bool tDeliversItself = false;

// In a motion signal's text, replaced by the CLOCK_MONOTONIC time in ns of the delivery.
constexpr char kNowMark[] = "{now}";

// Runs one delivery with no lock held: builds the data the callback is given and keeps it alive
// until the callback returns.
void Deliver(const Subscription& sub, const Delivery& d) {
    if (d.lib == Lib::Motion) {
        if (d.text && d.text->find(kNowMark) != std::string::npos) {
            // The moment the library hands the signal over, for whoever measures what follows.
            std::string text = *d.text;
            struct timespec ts {};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            std::string now =
                std::to_string(static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull +
                               static_cast<unsigned long long>(ts.tv_nsec));
            for (size_t at = text.find(kNowMark); at != std::string::npos;
                 at = text.find(kNowMark, at + now.size()))
                text.replace(at, sizeof kNowMark - 1, now);
            sub.cb(d.handle, d.signal, const_cast<char*>(text.c_str()), sub.user);
            return;
        }
        void* data = d.text ? const_cast<char*>(d.text->c_str()) : nullptr;
        sub.cb(d.handle, d.signal, data, sub.user);
        return;
    }
    if (!d.record) {
        sub.cb(d.handle, d.signal, nullptr, sub.user);
        return;
    }
    const FaceRecord& r = *d.record;
    if (d.signal == GX_FACE_SIGNAL_DETECT_FACE) {
        gx_face_detect_data data{r.id, r.x, r.y, r.w, r.h};
        sub.cb(d.handle, d.signal, &data, sub.user);
        return;
    }
    gx_face_recog_result data{
        r.id, r.imagePath ? strdup(r.imagePath->c_str()) : nullptr, r.x, r.y, r.w, r.h};
    char* path = data.imageFilePath;
    sub.cb(d.handle, d.signal, &data, sub.user);
    free(path);
}

// Takes the next queued delivery and runs it with no lock held (`lk` holds SimState().mu on entry
// and on return). Only while no other delivery runs: callbacks come one at a time, in order.
void DeliverNext(std::unique_lock<std::mutex>& lk) {
    State& s = SimState();
    Delivery d = std::move(s.queue.front());
    s.queue.pop_front();
    Subscription sub = d.direct;
    if (d.instance != 0) {
        // The subscription is looked up now, so that an unsubscribe or destroy that came after
        // the signal was queued is honoured.
        const std::map<int, Subscription>* subs = nullptr;
        if (d.lib == Lib::Motion) {
            auto it = s.motion.find(d.instance);
            if (it != s.motion.end()) subs = &it->second.subs;
        } else {
            auto it = s.face.find(d.instance);
            if (it != s.face.end()) subs = &it->second.subs;
        }
        auto si = subs ? subs->find(d.signal) : std::map<int, Subscription>::const_iterator();
        if (!subs || si == subs->end()) {
            s.cv.notify_all();
            return;
        }
        sub = si->second;
    }
    s.busy = true;
    s.busyLib = d.lib;
    s.busyInstance = d.instance;
    lk.unlock();
    Deliver(sub, d);
    lk.lock();
    s.busy = false;
    s.busyInstance = 0;
    s.cv.notify_all();
    // The ring's reader may have queued behind this delivery and left the rest to this thread.
    if (!s.queue.empty()) s.work.notify_one();
}

void DeliveryThreadMain() {
    tOnDeliveryThread = true;
    State& s = SimState();
    std::unique_lock<std::mutex> lk(s.mu);
    for (;;) {
        s.work.wait(lk, [&] { return s.stopping || (!s.queue.empty() && !s.busy); });
        if (s.stopping) break;
        DeliverNext(lk);
    }
}

// Stops the delivery thread when the library is unloaded or the process exits.
struct DeliveryThreadStopper {
    ~DeliveryThreadStopper() { StopDeliveryThread(); }
} gDeliveryThreadStopper;

// Stops the ring's reader first (destroyed in the reverse order): it queues for the delivery
// thread.
struct RingReaderStopper {
    ~RingReaderStopper() { StopRingReader(); }
} gRingReaderStopper;

}  // namespace

bool OnDeliveryThread() {
    return tOnDeliveryThread;
}

void BecomeRingReader() {
    // Its callbacks are delivery callbacks: a library call in one must not wait for itself.
    tOnDeliveryThread = true;
    tDeliversItself = true;
}

void DeliverQueued(std::unique_lock<std::mutex>& lk) {
    State& s = SimState();
    while (!s.stopping && !s.busy && !s.queue.empty()) DeliverNext(lk);
}

void Enqueue(Delivery d) {
    State& s = SimState();
    if (s.stopping) return;
    if (!s.deliveryThread.joinable()) s.deliveryThread = std::thread(DeliveryThreadMain);
    s.queue.push_back(std::move(d));
    // The ring's reader runs what it queues itself (DeliverQueued) unless a delivery runs, and then
    // that delivery's thread goes on with the queue.
    if (!tDeliversItself) s.work.notify_one();
}

void EnqueueForInstance(Lib lib, uint64_t instance, int handle, int signal,
                        std::optional<std::string> text, std::optional<FaceRecord> record) {
    Delivery d;
    d.lib = lib;
    d.instance = instance;
    d.handle = handle;
    d.signal = signal;
    d.text = std::move(text);
    d.record = std::move(record);
    Enqueue(std::move(d));
}

void WaitIdle(std::unique_lock<std::mutex>& lk, Lib lib, uint64_t instance) {
    if (OnDeliveryThread()) return;
    State& s = SimState();
    s.cv.wait(lk, [&] { return !(s.busy && s.busyLib == lib && s.busyInstance == instance); });
}

void DropQueued(Lib lib, uint64_t instance) {
    auto& q = SimState().queue;
    for (auto it = q.begin(); it != q.end();) {
        if (it->lib == lib && it->instance == instance)
            it = q.erase(it);
        else
            ++it;
    }
}

void StopDeliveryThread() {
    State& s = SimState();
    std::unique_lock<std::mutex> lk(s.mu);
    if (!s.deliveryThread.joinable()) return;
    if (OnDeliveryThread()) {
        // Stopping from a callback: the thread cannot join itself. Drop what is queued; the
        // thread keeps serving later signals.
        s.queue.clear();
        return;
    }
    s.stopping = true;
    s.queue.clear();
    s.cv.notify_all();
    s.work.notify_all();
    std::thread t = std::move(s.deliveryThread);
    lk.unlock();
    t.join();
    lk.lock();
    s.stopping = false;
    s.busy = false;
    s.cv.notify_all();
}

void DropQueuedDeliveries() {
    State& s = SimState();
    std::unique_lock<std::mutex> lk(s.mu);
    s.queue.clear();
    // From a callback the delivery in progress is the caller's own.
    if (!OnDeliveryThread()) s.cv.wait(lk, [&] { return !s.busy; });
}

namespace {

// Queues the signal for every live instance in `instances` subscribed to it; how many.
template <class Instances>
int EmitToSubscribed(Lib lib, const Instances& instances, int signal,
                     const std::optional<std::string>& text,
                     const std::optional<FaceRecord>& record) {
    int n = 0;
    for (const auto& [id, inst] : instances) {
        if (!inst.subs.count(signal)) continue;
        EnqueueForInstance(lib, id, inst.handle, signal, text, record);
        ++n;
    }
    return n;
}

// Queues a call of the callback registered last with the library, if there is one.
bool InvokeLast(Lib lib, const std::optional<Subscription>& last, int handle, int signal,
                const std::optional<std::string>& text, const std::optional<FaceRecord>& record) {
    if (!last) return false;
    Delivery d;
    d.lib = lib;
    d.direct = *last;
    d.handle = handle;
    d.signal = signal;
    d.text = text;
    d.record = record;
    Enqueue(std::move(d));
    return true;
}

}  // namespace

int QueueForSubscribed(Lib lib, int signal, const std::optional<std::string>& text,
                       const std::optional<FaceRecord>& record) {
    State& s = SimState();
    return lib == Lib::Motion ? EmitToSubscribed(lib, s.motion, signal, text, std::nullopt)
                              : EmitToSubscribed(lib, s.face, signal, std::nullopt, record);
}

namespace {

// A process that shares its TV sends the signal through the ring to every process, itself
// included when it reads the ring; one that does not read it (or has no ring) queues it for its
// own instances here.
int Emit(RingSignal signal) {
    bool deliveredHere = false;
    std::optional<int> elsewhere = Broadcast(signal, &deliveredHere);
    if (elsewhere && deliveredHere) return *elsewhere;
    std::lock_guard<std::mutex> lk(SimState().mu);
    return elsewhere.value_or(0) + QueueForSubscribed(signal.face ? Lib::Face : Lib::Motion,
                                                      signal.signal, signal.text, signal.record);
}

}  // namespace
}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

int EmitMotionSignal(int signal, const std::optional<std::string>& text) {
    return Emit(RingSignal{false, signal, text, std::nullopt});
}

int EmitFaceSignal(int signal, const std::optional<FaceRecord>& record) {
    return Emit(RingSignal{true, signal, std::nullopt, record});
}

bool InvokeMotionCallback(int handle, int signal, const std::optional<std::string>& text) {
    State& s = SimState();
    std::lock_guard<std::mutex> lk(s.mu);
    return InvokeLast(Lib::Motion, s.lastMotionCb, handle, signal, text, std::nullopt);
}

bool InvokeFaceCallback(int handle, int signal, const std::optional<FaceRecord>& record) {
    State& s = SimState();
    std::lock_guard<std::mutex> lk(s.mu);
    return InvokeLast(Lib::Face, s.lastFaceCb, handle, signal, std::nullopt, record);
}

void Drain() {
    if (OnDeliveryThread()) return;
    State& s = SimState();
    std::unique_lock<std::mutex> lk(s.mu);
    WaitRingRead(lk);  // what the ring holds so far is queued, then delivered
    s.cv.wait(lk, [&] { return (s.queue.empty() && !s.busy) || s.stopping; });
}

}  // namespace gxsim
