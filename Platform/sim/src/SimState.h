// Internal state of the simulated platform, shared by the sources of libgxemp-sim.so.
//
// One mutex guards everything here. Signals are delivered by one delivery thread that never holds
// the mutex while it runs a callback, so callbacks may call back into the libraries.
//
// The TV's own state (configuration, forced results, handle and face-id counters, stored faces,
// the settings path) may be shared by several processes that each serve some clients: see
// Shared.cpp. Such a process keeps a local copy, refreshed by PullShared and changed only through
// Edit; library instances, subscriptions, the delivery queue and the trace stay per process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "face_recognition.h"
#include "gx_types.h"
#include "gxsim/Sim.h"

namespace gxsim::internal {

enum class Lib { Motion, Face };

struct Subscription {
    GXSignalCallback cb = nullptr;
    void* user = nullptr;
};

struct MotionInstance {
    int handle = 0;
    std::map<int, Subscription> subs;
    int status = 0;
    int enabled = 0;
    int hint = 0;
    int swipe = 0;
    int zoom = 0;
    int rotate = 0;
};

// A training or recognition outcome as the face library keeps it.
struct FaceResult {
    int id = 0;
    std::string path;
    int x = 0, y = 0, w = 0, h = 0;
};

struct FaceInstance {
    int handle = 0;
    std::map<int, Subscription> subs;
    int enabled = 0;
    bool detecting = false;
    bool training = false;
    bool recognizing = false;
    std::optional<FaceResult> lastTraining;
    std::optional<std::vector<FaceResult>> lastRecognition;  // nullopt: never ran
};

// The start state that Reset and profiles set.
struct Config {
    std::optional<std::string> model = std::string("T-SIMTV55");
    std::map<int, std::optional<int>> factory{{830, 1}, {831, 1}};
    int cameraState = 1;
    int cameraQuery = 0;
    std::optional<float> faceVersion = 1.0f;
    std::set<std::string> hidden;
    std::vector<ViewFace> faces;
    MotionAnswers answers;
    std::string faceDir;  // empty: the per-process default
};

struct Delivery {
    Lib lib = Lib::Motion;
    uint64_t instance = 0;  // 0: not tied to an instance (Invoke*Callback)
    Subscription direct;    // used when instance is 0
    int handle = 0;
    int signal = 0;
    std::optional<std::string> text;
    std::optional<FaceRecord> record;
};

// A traced call as this process keeps it (Trace() gives it as a TraceEntry): its texts packed into
// one string, the function and each argument ended by '\0' (they are C strings' texts), then the
// detail. A call costs one allocation and about half a TraceEntry's memory: a busy worker's trace
// grew by 250 bytes a call before, and the page faults of that growth cost it 3 µs per Execute.
struct KeptCall {
    std::string texts;
    uint64_t seq = 0;
    int result = 0;
    int pid = 0;
    uint8_t args = 0;  // how many of the texts are arguments
};

constexpr int kFirstMotionHandle = 1001;
constexpr int kFirstFaceHandle = 5001;

struct State {
    std::mutex mu;
    std::condition_variable cv;

    // The TV's state (shared with other processes when the TV is shared).
    Config cfg;
    std::map<std::string, int> forced;
    int nextMotionHandle = kFirstMotionHandle;
    int nextFaceHandle = kFirstFaceHandle;
    int nextFaceId = 1;
    std::map<int, StoredFace> stored;
    std::string settingsPath;  // empty: from the environment

    // This process's own.
    std::deque<KeptCall> trace;
    uint64_t nextInstance = 1;
    std::map<uint64_t, MotionInstance> motion;  // by instance id, creation order
    std::map<uint64_t, FaceInstance> face;
    std::optional<Subscription> lastMotionCb;
    std::optional<Subscription> lastFaceCb;

    // The delivery thread and its queue. `work` wakes the delivery thread only; `cv` tells every
    // other waiter that the state changed.
    std::condition_variable work;
    std::thread deliveryThread;
    bool stopping = false;
    std::deque<Delivery> queue;
    bool busy = false;
    Lib busyLib = Lib::Motion;
    uint64_t busyInstance = 0;
};

State& SimState();

// Replaces a file whole (temporary file, fsync, rename) with `mode`: a reader sees the old or
// the new content, never part of one.
bool ReplaceFile(const std::string& path, const std::string& data, int mode);

// True on the library's delivery thread.
bool OnDeliveryThread();

// ---- The TV shared between processes (Shared.cpp) ----------------------------------------------
// All expect SimState().mu held by the caller.
// Refreshes the local copy of the TV's state when the owner published a newer one.
void PullShared();
// This process reads the TV's state from another's segment (a worker that joined it).
bool ReadsSharedState();
// The owner: `v` (normal form, within kMaxStateBytes) becomes the state the others read.
void PublishShared(GVariant* v);
// This process owns a segment that others read (PublishShared publishes).
bool PublishesState();
// The TV's state as last applied or read, serialised; null when a change since left it to be
// serialised afresh. KeepSerializedTv takes over the reference it is given.
GVariant* LastSerializedTv();
void KeepSerializedTv(GVariant* v);
// A transport to the owner was set (SetEditTransport; SharedEdits.cpp).
bool HasEditTransport();
// Changes the TV's state: `op` names the change (see Edits.cpp), `args` (floating or not, may be
// null for none) its arguments. Applied here when this process owns the state, else sent to the
// owner; either way the local copy holds the outcome when it returns. *result (when given) gets
// the change's answer (a new reference, or null). Returns false with *why when refused.
bool Edit(const char* op, GVariant* args, GVariant** result, Refusal* why);
// The owner: applies a change to SimState() (Edits.cpp); false with *why when refused, SimState()
// then possibly changed in part (the caller restores it).
bool ApplyOp(const std::string& op, GVariant* args, GVariant** result, Refusal* why);
// The change only takes the next number of a counter the owner alone hands out.
bool TakesACounter(const std::string& op);
// The change returns the TV to its defaults (Reset, ResetTv): it is never refused, and what it
// leaves is no larger than any state before it.
bool ResetsTheState(const std::string& op);
// The TV state's defaults (what Reset returns to); the settings path is kept. Applied in place.
// keepCounters: handles and face ids go on counting, for instances that live on (ResetTv).
void ResetTvState(bool keepCounters);
// The whole TV state as one value and back (the owner publishes it; profiles use the Config part).
GVariant* SerializeTv(const State& s);      // a new reference, normal form
void DeserializeTv(GVariant* v, State& s);  // any value of the right type
GVariant* SerializeConfig(const Config& c);
void DeserializeConfig(GVariant* v, Config& c);
extern const char kConfigType[];
extern const char kStateType[];
// Edit with SimState().mu taken here.
bool EditNow(const char* op, GVariant* args, Refusal* why, GVariant** result = nullptr);
bool Refuse(Refusal* why, Refusal::Kind kind, std::string message);
// A library entry point's name (motion, face or camera).
bool IsKnownEntry(const std::string& name);
// Where the face stored under `faceId` keeps its image.
std::string FaceImagePath(int faceId);
// A fresh name in the face image directory for an image this process writes before the owner
// files it under a face id (the "storeFace" and "overwriteFace" changes).
std::string IncomingImagePath();
// The default face image directories' parent, and one TV's default directory.
std::string FaceImageBase();
// Removes a face image directory of ours: the images we name, then the directory if empty.
void RemoveFaceImageDirectory(const std::string& dir);
// The next number in the order of library calls, across every process of the TV.
uint64_t NextTraceSeq();
// The process that made the TV (the one that shared it), else this one.
int TvPid();
// Stores the hidden-entry mask where the motion library's resolvers read it.
void StoreHiddenMask(unsigned mask);
unsigned LoadHiddenMask();

// Locks SimState().mu with the TV state refreshed.
std::unique_lock<std::mutex> LockTv();

// The following expect SimState().mu held by the caller.
void AddTrace(const char* fn, std::vector<std::string> args, int result, std::string detail);
const int* Forced(const char* fn);
void Enqueue(Delivery d);
// Queues a signal for a live instance; its subscription is looked up again on delivery.
void EnqueueForInstance(Lib lib, uint64_t instance, int handle, int signal,
                        std::optional<std::string> text, std::optional<FaceRecord> record);
// Waits until no callback runs for the instance (unless called on the delivery thread itself).
void WaitIdle(std::unique_lock<std::mutex>& lk, Lib lib, uint64_t instance);
// Drops queued deliveries of an instance.
void DropQueued(Lib lib, uint64_t instance);
MotionInstance* FindMotion(int handle, uint64_t* id = nullptr);
FaceInstance* FindFace(int handle, uint64_t* id = nullptr);
std::string FaceDirLocked();

// ---- Signals through the shared segment's ring (Broadcast.cpp) --------------------------------
struct RingSignal;
// The ring at `area` (RingAreaBytes()); `reader`: this process queues what it carries for its own
// instances (a worker), on a thread of its own.
void AttachRing(void* area, bool reader);
void StopRingReader();
// Writes the signal into the ring: how many instances, in every reading process, subscribe to it;
// nullopt when there is no ring. *deliveredHere: this process reads the ring too.
std::optional<int> Broadcast(const RingSignal& signal, bool* deliveredHere);
// Publishes this process's subscriptions for the emitters (with SimState().mu held).
void PublishRingCounts();
// Waits until the reader has queued what the ring holds now (with SimState().mu held in `lk`).
void WaitRingRead(std::unique_lock<std::mutex>& lk);
// On the ring's reader: from now on it runs the deliveries it queues itself (DeliverQueued).
void BecomeRingReader();
// Runs what is queued on the calling thread, one delivery at a time, unless a delivery runs
// already (its thread goes on with the queue). With SimState().mu held in `lk`.
void DeliverQueued(std::unique_lock<std::mutex>& lk);
// Queues the signal for every instance subscribed to it; how many (with SimState().mu held).
int QueueForSubscribed(Lib lib, int signal, const std::optional<std::string>& text,
                       const std::optional<FaceRecord>& record);

// Sets the hidden mask read by the motion library's resolvers.
void PublishHiddenMask(const std::set<std::string>& names);
// Stops the delivery thread (drops undelivered signals); takes SimState().mu itself.
void StopDeliveryThread();
// Drops every undelivered signal and waits for the delivery in progress, if any, to return
// (unless called from it); the thread stays. Takes SimState().mu itself.
void DropQueuedDeliveries();

// Runs one traced entry point: a forced result replaces the work.
template <class Work>
int Traced(const char* fn, std::vector<std::string> args, Work&& work) {
    std::unique_lock<std::mutex> lk = LockTv();
    std::string detail;
    int r;
    if (const int* f = Forced(fn)) {
        r = *f;
    } else {
        r = work(lk, detail);
    }
    AddTrace(fn, std::move(args), r, std::move(detail));
    PublishRingCounts();  // the call may have changed the subscriptions
    return r;
}

inline std::string Num(long long v) {
    return std::to_string(v);
}
inline std::string Text(const char* t) {
    return t ? std::string(t) : std::string("null");
}

// Settings store: the path currently in use.
std::string SettingsPathResolved();

}  // namespace gxsim::internal

// Read by the motion library's symbol resolvers: bit i set hides MotionEntryPoints()[i].
extern "C" unsigned gxsim_hidden_motion_mask(void);
