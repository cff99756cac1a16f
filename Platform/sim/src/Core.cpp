// Core of the simulated platform: the shared state, the delivery thread, the call trace, forced
// results and the start-state controls.
#include <glib.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimState.h"

namespace gxsim::internal {
namespace {

constexpr size_t kMaxTrace = 100000;

thread_local bool tOnWorker = false;

// In a motion signal's text, replaced by the CLOCK_MONOTONIC time in ns of the delivery.
constexpr char kNowMark[] = "{now}";

const std::vector<std::string>& FaceEntryPoints() {
    static const std::vector<std::string> names = {
        "gx_face_recog_create",          "gx_face_recog_destroy",
        "gx_set_face_signal_subscribed", "gx_face_signal_unsubscribed",
        "gx_enable_face_recognition",    "gx_start_face_detection",
        "gx_stop_face_detection",        "gx_start_face_training",
        "gx_stop_face_training",         "gx_start_face_recognition",
        "gx_stop_face_recognition",      "gx_over_write_face",
        "gx_over_write_thumbnail",       "gx_train_thumbnail",
        "gx_get_face_version",           "gx_erase_face",
        "gx_clear_face_recog_data",      "gx_get_face_recognition_result",
        "gx_get_face_detection_result",  "gx_get_face_training_result",
        "gx_erase_face_image_id",        "gx_encrypt_face_image",
        "gx_decrypt_face_image",
    };
    return names;
}

}  // namespace

bool IsKnownEntry(const std::string& name) {
    for (const auto& n : MotionEntryPoints())
        if (n == name) return true;
    for (const auto& n : FaceEntryPoints())
        if (n == name) return true;
    return name == "tvcamera_control_check_camera_state";
}

namespace {

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

void WorkerMain() {
    tOnWorker = true;
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    for (;;) {
        s.cv.wait(lk, [&] { return s.stopping || !s.queue.empty(); });
        if (s.stopping) break;
        Delivery d = std::move(s.queue.front());
        s.queue.pop_front();
        Subscription sub = d.direct;
        if (d.instance != 0) {
            // The subscription is looked up now, so that an unsubscribe or destroy that came
            // after the signal was queued is honoured.
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
                continue;
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
    }
}

// Stops the delivery thread when the library is unloaded or the process exits.
struct WorkerStopper {
    ~WorkerStopper() { StopWorker(); }
} gWorkerStopper;

}  // namespace

State& S() {
    // Never destroyed: callbacks and late log lines may still reach it during exit.
    static State* s = new State;
    return *s;
}

bool OnWorker() {
    return tOnWorker;
}

void AddTrace(const char* fn, std::vector<std::string> args, int result, std::string detail) {
    State& s = S();
    // What the trace holds, in TraceEntryBytes; counted afresh whenever it was emptied.
    static size_t bytes = 0;
    if (s.trace.empty()) bytes = 0;
    s.trace.push_back(
        TraceEntry{fn, std::move(args), result, std::move(detail), NextTraceSeq(), getpid()});
    bytes += TraceEntryBytes(s.trace.back());
    while (s.trace.size() > 1 && (s.trace.size() > kMaxTrace || bytes > kMaxTraceBytes)) {
        bytes -= TraceEntryBytes(s.trace.front());
        s.trace.pop_front();
    }
}

const int* Forced(const char* fn) {
    State& s = S();
    if (s.forced.empty()) return nullptr;
    auto it = s.forced.find(fn);
    return it == s.forced.end() ? nullptr : &it->second;
}

void Enqueue(Delivery d) {
    State& s = S();
    if (s.stopping) return;
    if (!s.worker.joinable()) s.worker = std::thread(WorkerMain);
    s.queue.push_back(std::move(d));
    s.cv.notify_all();
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

bool ReplaceFile(const std::string& path, const std::string& data, int mode) {
    GError* err = nullptr;
    gboolean ok =
        g_file_set_contents_full(path.c_str(), data.data(), static_cast<gssize>(data.size()),
                                 G_FILE_SET_CONTENTS_CONSISTENT, mode, &err);
    if (err) g_error_free(err);
    return ok;
}

void WaitIdle(std::unique_lock<std::mutex>& lk, Lib lib, uint64_t instance) {
    if (OnWorker()) return;
    State& s = S();
    s.cv.wait(lk, [&] { return !(s.busy && s.busyLib == lib && s.busyInstance == instance); });
}

void DropQueued(Lib lib, uint64_t instance) {
    auto& q = S().queue;
    for (auto it = q.begin(); it != q.end();) {
        if (it->lib == lib && it->instance == instance)
            it = q.erase(it);
        else
            ++it;
    }
}

MotionInstance* FindMotion(int handle, uint64_t* id) {
    auto& m = S().motion;
    for (auto it = m.rbegin(); it != m.rend(); ++it) {
        if (it->second.handle == handle) {
            if (id) *id = it->first;
            return &it->second;
        }
    }
    return nullptr;
}

FaceInstance* FindFace(int handle, uint64_t* id) {
    auto& m = S().face;
    for (auto it = m.rbegin(); it != m.rend(); ++it) {
        if (it->second.handle == handle) {
            if (id) *id = it->first;
            return &it->second;
        }
    }
    return nullptr;
}

std::string FaceImageBase() {
    const char* rt = g_getenv("XDG_RUNTIME_DIR");
    return (rt && *rt) ? std::string(rt) + "/gxemp-sim"
                       : "/tmp/gxemp-sim-" + std::to_string(getuid());
}

std::string FaceDirLocked() {
    State& s = S();
    if (!s.cfg.faceDir.empty()) return s.cfg.faceDir;
    return FaceImageBase() + "/faces-" + std::to_string(TvPid());
}

bool EditNow(const char* op, GVariant* args, Refusal* why, GVariant** result) {
    std::lock_guard<std::mutex> lk(S().mu);
    return Edit(op, args, result, why);
}

void PublishHiddenMask(const std::set<std::string>& names) {
    unsigned mask = 0;
    const auto& all = MotionEntryPoints();
    for (size_t i = 0; i < all.size(); ++i)
        if (names.count(all[i])) mask |= 1u << i;
    StoreHiddenMask(mask);
}

void StopWorker() {
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    if (!s.worker.joinable()) return;
    if (OnWorker()) {
        // Stopping from a callback: the thread cannot join itself. Drop what is queued; the
        // thread keeps serving later signals.
        s.queue.clear();
        return;
    }
    s.stopping = true;
    s.queue.clear();
    s.cv.notify_all();
    std::thread t = std::move(s.worker);
    lk.unlock();
    t.join();
    lk.lock();
    s.stopping = false;
    s.busy = false;
    s.cv.notify_all();
}

void ResetTvState(bool keepCounters) {
    State& s = S();
    s.cfg = Config{};
    s.forced.clear();
    if (!keepCounters) {
        s.nextMotionHandle = kFirstMotionHandle;
        s.nextFaceHandle = kFirstFaceHandle;
        s.nextFaceId = 1;
    }
    s.stored.clear();
    PublishHiddenMask({});
}

}  // namespace gxsim::internal

// The resolvers of libgesture-bridge.so call this from the dynamic loader while it looks a symbol
// up: a plain lock-free read, kept free of sanitizer instrumentation.
extern "C" __attribute__((no_sanitize("address", "thread", "undefined"))) unsigned
gxsim_hidden_motion_mask(void) {
    return gxsim::internal::LoadHiddenMask();
}

namespace gxsim {
using namespace internal;

void Reset() {
    StopWorker();
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    Edit("reset", nullptr, nullptr, nullptr);
    s.trace.clear();
    s.motion.clear();
    s.face.clear();
    s.lastMotionCb.reset();
    s.lastFaceCb.reset();
}

void ResetTv() {
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    Edit("resetKeepingInstances", nullptr, nullptr, nullptr);
    s.trace.clear();
}

bool SetModel(const std::optional<std::string>& model, Refusal* why) {
    return EditNow("model",
                   g_variant_new_maybe(G_VARIANT_TYPE_STRING,
                                       model ? g_variant_new_string(model->c_str()) : nullptr),
                   why);
}

std::optional<std::string> GetModel() {
    auto lk = LockTv();
    return S().cfg.model;
}

bool SetFactoryItem(int id, const std::optional<int>& value, Refusal* why) {
    return EditNow("factory", g_variant_new("(i(bi))", id, value.has_value(), value.value_or(0)),
                   why);
}

std::optional<int> GetFactoryItem(int id) {
    auto lk = LockTv();
    auto it = S().cfg.factory.find(id);
    return it == S().cfg.factory.end() ? std::nullopt : it->second;
}

bool SetCameraState(int state, Refusal* why) {
    return EditNow("camera", g_variant_new_int32(state), why);
}

bool SetCameraQueryResult(int rc, Refusal* why) {
    return EditNow("cameraQuery", g_variant_new_int32(rc), why);
}

int GetCameraState() {
    auto lk = LockTv();
    return S().cfg.cameraState;
}

int GetCameraQueryResult() {
    auto lk = LockTv();
    return S().cfg.cameraQuery;
}

size_t TraceEntryBytes(const TraceEntry& entry) {
    size_t bytes = 32 + entry.function.size() + entry.detail.size();
    for (const std::string& arg : entry.args) bytes += 8 + arg.size();
    return bytes;
}

std::vector<TraceEntry> Trace() {
    std::lock_guard<std::mutex> lk(S().mu);
    return {S().trace.begin(), S().trace.end()};
}

void ClearTrace() {
    std::lock_guard<std::mutex> lk(S().mu);
    S().trace.clear();
}

std::string FormatPointer(const void* p) {
    if (!p) return "null";
    char buf[2 + 16 + 1];
    snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return buf;
}

bool ForceResult(const std::string& entry, int value, Refusal* why) {
    return EditNow("force", g_variant_new("(si)", entry.c_str(), value), why);
}

bool ClearForcedResult(const std::string& entry, Refusal* why) {
    return EditNow("unforce", g_variant_new_string(entry.c_str()), why);
}

bool ClearForcedResults(Refusal* why) {
    return EditNow("unforceAll", nullptr, why);
}

const std::vector<std::string>& MotionEntryPoints() {
    static const std::vector<std::string> names = {
        "gx_motion_recog_create",
        "gx_motion_recog_destroy",
        "gx_set_motion_signal_subscribed",
        "gx_motion_signal_unsubscribed",
        "gx_start_motion_recog",
        "gx_stop_motion_recog",
        "gx_enable_motion_recognition",
        "gx_is_motion_recognition_enabled",
        "gx_get_motion_recognition_status",
        "gx_get_motion_brightness_level",
        "gx_is_two_hand_motion_valid",
        "gx_is_slap_motion_valid",
        "gx_is_thumbup_motion_valid",
        "gx_enable_motion_hint",
        "gx_set_zoom_trigger_condition",
        "gx_get_zoom_trigger_condition",
        "gx_set_rotate_trigger_condition",
        "gx_get_rotate_trigger_condition",
        "gx_is_motion_engine_valid",
        "gx_enable_swipe",
    };
    return names;
}

bool SetHiddenMotionEntryPoints(const std::set<std::string>& names, Refusal* why) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
    for (const std::string& n : names) g_variant_builder_add(&b, "s", n.c_str());
    return EditNow("hidden", g_variant_builder_end(&b), why);
}

std::set<std::string> HiddenMotionEntryPoints() {
    auto lk = LockTv();
    return S().cfg.hidden;
}

bool SetNextMotionHandle(int handle, Refusal* why) {
    return EditNow("nextMotionHandle", g_variant_new_int32(handle), why);
}

bool SetNextFaceHandle(int handle, Refusal* why) {
    return EditNow("nextFaceHandle", g_variant_new_int32(handle), why);
}

int EmitMotionSignal(int signal, const std::optional<std::string>& text) {
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (const auto& [id, inst] : s.motion) {
        if (!inst.subs.count(signal)) continue;
        EnqueueForInstance(Lib::Motion, id, inst.handle, signal, text, std::nullopt);
        ++n;
    }
    return n;
}

int EmitFaceSignal(int signal, const std::optional<FaceRecord>& record) {
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (const auto& [id, inst] : s.face) {
        if (!inst.subs.count(signal)) continue;
        EnqueueForInstance(Lib::Face, id, inst.handle, signal, std::nullopt, record);
        ++n;
    }
    return n;
}

bool InvokeMotionCallback(int handle, int signal, const std::optional<std::string>& text) {
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.lastMotionCb) return false;
    Delivery d;
    d.lib = Lib::Motion;
    d.direct = *s.lastMotionCb;
    d.handle = handle;
    d.signal = signal;
    d.text = text;
    Enqueue(std::move(d));
    return true;
}

bool InvokeFaceCallback(int handle, int signal, const std::optional<FaceRecord>& record) {
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.lastFaceCb) return false;
    Delivery d;
    d.lib = Lib::Face;
    d.direct = *s.lastFaceCb;
    d.handle = handle;
    d.signal = signal;
    d.record = record;
    Enqueue(std::move(d));
    return true;
}

void Drain() {
    if (OnWorker()) return;
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    s.cv.wait(lk, [&] { return (s.queue.empty() && !s.busy) || s.stopping; });
}

namespace {
MotionState StateOf(const MotionInstance& m) {
    MotionState st;
    st.handle = m.handle;
    st.status = m.status;
    st.enabled = m.enabled;
    st.hint = m.hint;
    st.swipe = m.swipe;
    st.zoomTrigger = m.zoom;
    st.rotateTrigger = m.rotate;
    for (const auto& kv : m.subs) st.subscribed.insert(kv.first);
    return st;
}
}  // namespace

std::optional<MotionState> GetMotionState(int handle) {
    std::lock_guard<std::mutex> lk(S().mu);
    const MotionInstance* m = FindMotion(handle);
    if (!m) return std::nullopt;
    return StateOf(*m);
}

std::vector<MotionState> MotionStates() {
    std::lock_guard<std::mutex> lk(S().mu);
    std::vector<MotionState> out;
    for (const auto& kv : S().motion) out.push_back(StateOf(kv.second));
    return out;
}

std::vector<int> LiveMotionHandles() {
    std::lock_guard<std::mutex> lk(S().mu);
    std::vector<int> out;
    for (const auto& kv : S().motion) out.push_back(kv.second.handle);
    return out;
}

std::vector<int> LiveFaceHandles() {
    std::lock_guard<std::mutex> lk(S().mu);
    std::vector<int> out;
    for (const auto& kv : S().face) out.push_back(kv.second.handle);
    return out;
}

bool SetMotionAnswers(const MotionAnswers& a, Refusal* why) {
    return EditNow("answers",
                   g_variant_new("(iiiii)", a.brightness, a.twoHandValid, a.slapValid,
                                 a.thumbupValid, a.engineValid),
                   why);
}

MotionAnswers GetMotionAnswers() {
    auto lk = LockTv();
    return S().cfg.answers;
}

bool SetFacesInView(const std::vector<ViewFace>& faces, Refusal* why) {
    // Refused before anything is built or sent.
    if (faces.size() > kMaxFacesInView)
        return Refuse(why, Refusal::TooLarge,
                      std::to_string(faces.size()) + " faces in view exceed the limit of " +
                          std::to_string(kMaxFacesInView) + " faces");
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(iiiii)"));
    for (const ViewFace& f : faces)
        g_variant_builder_add(&b, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
    return EditNow("faces", g_variant_builder_end(&b), why);
}

std::vector<ViewFace> GetFacesInView() {
    auto lk = LockTv();
    return S().cfg.faces;
}

bool SetFaceVersion(std::optional<float> version, Refusal* why) {
    return EditNow(
        "faceVersion",
        g_variant_new("(bd)", version.has_value(), static_cast<double>(version.value_or(0.0f))),
        why);
}

bool SetFaceImageDirectory(const std::string& dir, Refusal* why) {
    return EditNow("faceDir", g_variant_new_string(dir.c_str()), why);
}

std::string GetFaceImageDirectory() {
    auto lk = LockTv();
    return FaceDirLocked();
}

std::vector<StoredFace> StoredFaces() {
    auto lk = LockTv();
    std::vector<StoredFace> out;
    for (const auto& kv : S().stored) out.push_back(kv.second);
    return out;
}

}  // namespace gxsim
