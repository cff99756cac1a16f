// The libraries' signals of a shared TV, through the ring in its segment (Ring.h): what an emit
// writes, the reader thread that queues each signal for this process's instances and delivers it
// (Delivery.cpp, DeliverQueued), and what a process publishes for the others (its subscriptions,
// its reader's counters).
//
// Only the processes that share a TV have a ring (the broker makes it with the segment, each
// worker reads it); a process alone with its TV queues signals directly, as before.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "Ring.h"
#include "SimState.h"
#include "dlog.h"

namespace gxsim::internal {
namespace {

// How long a reader waits for a reserved slot to be committed: a writer takes microseconds, so
// this is only ever reached when the writer was stopped or killed halfway, or starved on a
// loaded machine (for far longer than anything else here would tolerate).
constexpr std::chrono::milliseconds kUncommittedWait{250};
// The longest one wait on the ring lasts (a stop pokes the reader awake before that).
constexpr std::chrono::milliseconds kReaderTick{500};

// Set once, before other threads use them.
std::unique_ptr<SignalRing> gRing;
bool gReads = false;  // this process has a reader (a worker)

// Under SimState().mu once the reader runs.
int gEntry = -1;     // this process's entry in the ring's table
uint64_t gRead = 0;  // every signal before this position has been queued (or counted)
RingCounts gPublished;
bool gReaderRunning = false;
// Whether an instance here subscribes to any signal. Only then does the reader read the ring:
// a process with nothing to deliver (the spare worker, an emitter's) is not woken by every
// signal. It starts listening at the head as it was when the first subscription came, and each
// start has a number of its own.
bool gListening = false;
const RingCounts kNone{};
uint64_t gListenFrom = 0;
uint64_t gListenStart = 0;

std::thread gReader;
std::atomic<bool> gStop{false};

void Log(const std::string& text) {
    __dlog_print(LOG_ID_MAIN, 16, "GXSIM", "%s", text.c_str());
}

// One line the first time a counter moves; later losses are only counted.
void LogLosses(const RingCounters& before, const RingCounters& now) {
    static const struct {
        uint64_t RingCounters::*field;
        const char* what;
    } kKinds[] = {
        {&RingCounters::overrun,
         "the signal ring overran this process (it fell a whole ring "
         "behind)"},
        {&RingCounters::skipped,
         "a signal in the ring was not committed in time (its writer "
         "stopped or was killed halfway)"},
        {&RingCounters::torn, "a signal in the ring was damaged or overwritten while read"},
    };
    for (const auto& kind : kKinds)
        if (before.*kind.field == 0 && now.*kind.field != 0)
            Log(std::string(kind.what) + ": " + std::to_string(now.*kind.field) +
                " ring slots lost; later losses are counted and not logged");
}

void ReaderMain() {
    BecomeRingReader();
    RingReader reader(gRing.get(), 0, kUncommittedWait);
    uint64_t start = 0;
    RingCounters last;
    State& s = SimState();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(s.mu);
            s.cv.wait(lk, [] { return gStop.load() || gListening; });
            if (gStop.load()) break;
            if (start != gListenStart) {
                start = gListenStart;
                reader.Restart(gListenFrom);
            }
        }
        RingSignal signal;
        bool got = reader.Next(&signal, kReaderTick, &gStop);
        {
            std::unique_lock<std::mutex> lk(s.mu);
            // What was read for an earlier start is older than the subscriptions there are now.
            if (start == gListenStart) {
                if (got)
                    QueueForSubscribed(signal.face ? Lib::Face : Lib::Motion, signal.signal,
                                       signal.text, signal.record);
                gRead = reader.position();
            }
            s.cv.notify_all();
            if (got) DeliverQueued(lk);
        }
        const RingCounters& now = reader.counters();
        if (std::memcmp(&now, &last, sizeof now) != 0) {
            LogLosses(last, now);
            gRing->PublishCounters(gEntry, now);
            last = now;
        }
    }
}

}  // namespace

void AttachRing(void* area, bool reader) {
    gRing = std::make_unique<SignalRing>(area);
    if (!reader) return;
    gReads = true;
    gEntry = gRing->Register(static_cast<int32_t>(getpid()));
    if (gEntry < 0)
        Log("every entry of the signal ring's table is taken: emits elsewhere do not count this "
            "process's instances as queued");
    {
        std::lock_guard<std::mutex> lk(SimState().mu);
        gReaderRunning = true;
    }
    gReader = std::thread(ReaderMain);
}

void StopRingReader() {
    if (!gReader.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(SimState().mu);
        gStop.store(true);
        SimState().cv.notify_all();
    }
    gRing->Poke();
    gReader.join();
    std::lock_guard<std::mutex> lk(SimState().mu);
    gRing->Release(static_cast<int32_t>(getpid()));
    gEntry = -1;  // not to be written again: another process may take it
    gReaderRunning = false;
    SimState().cv.notify_all();
}

std::optional<int> Broadcast(const RingSignal& signal, bool* deliveredHere) {
    *deliveredHere = gReads;
    if (!gRing) return std::nullopt;
    // Counted before the signal takes its place: an instance counted began listening at a head
    // before that place, so it is delivered.
    int queued = gRing->Subscribed(signal.face, signal.signal);
    if (!gRing->Write(signal)) {
        Log("a signal too large for the ring was dropped");
        return 0;
    }
    return queued;
}

void PublishRingCounts() {
    if (!gReads) return;
    RingCounts counts;
    const State& s = SimState();
    for (const auto& [id, inst] : s.motion)
        for (const auto& [signal, sub] : inst.subs) {
            int i = signal - kRingFirstMotionSignal;
            if (i >= 0 && i < kRingMotionSignals) ++counts.motion[i];
        }
    for (const auto& [id, inst] : s.face)
        for (const auto& [signal, sub] : inst.subs)
            if (signal >= 0 && signal < kRingFaceSignals) ++counts.face[signal];
    if (std::memcmp(&counts, &gPublished, sizeof counts) == 0) return;
    bool any = std::memcmp(&counts, &kNone, sizeof counts) != 0;
    if (any && !gListening) {
        // Read before the counts are published, so that any emit that counts these instances
        // takes a later place in the ring.
        gListenFrom = gRing->Head();
        gRead = gListenFrom;  // nothing before it is for this process
        ++gListenStart;
        SimState().cv.notify_all();
    }
    gListening = any;
    if (gEntry >= 0) gRing->PublishCounts(gEntry, counts);
    gPublished = counts;
}

void WaitRingRead(std::unique_lock<std::mutex>& lk) {
    if (!gReads || !gListening) return;  // nothing to deliver here
    uint64_t target = gRing->Head();
    SimState().cv.wait(lk, [&] { return !gReaderRunning || gRead >= target; });
}

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

void ForgetSignalReader(int pid) {
    if (gRing && pid > 0) gRing->Release(pid);
}

void LeaveSignalRing() {
    StopRingReader();
}

std::vector<SignalReader> SignalReaders() {
    std::vector<SignalReader> out;
    if (!gRing) return out;
    for (const auto& [pid, c] : gRing->Readers())
        out.push_back(SignalReader{pid, c.overrun, c.skipped, c.torn});
    return out;
}

}  // namespace gxsim
