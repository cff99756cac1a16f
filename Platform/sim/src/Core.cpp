// Core of the simulated platform: the process's state, the TV's start-state controls and what
// reads them back.
#include <glib.h>
#include <unistd.h>

#include "SimState.h"

namespace gxsim::internal {

State& SimState() {
    // Never destroyed: callbacks and late log lines may still reach it during exit.
    static State* s = new State;
    return *s;
}

bool ReplaceFile(const std::string& path, const std::string& data, int mode) {
    GError* err = nullptr;
    gboolean ok =
        g_file_set_contents_full(path.c_str(), data.data(), static_cast<gssize>(data.size()),
                                 G_FILE_SET_CONTENTS_CONSISTENT, mode, &err);
    if (err) g_error_free(err);
    return ok;
}

MotionInstance* FindMotion(int handle, uint64_t* id) {
    auto& m = SimState().motion;
    for (auto it = m.rbegin(); it != m.rend(); ++it) {
        if (it->second.handle == handle) {
            if (id) *id = it->first;
            return &it->second;
        }
    }
    return nullptr;
}

FaceInstance* FindFace(int handle, uint64_t* id) {
    auto& m = SimState().face;
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
    State& s = SimState();
    if (!s.cfg.faceDir.empty()) return s.cfg.faceDir;
    return FaceImageBase() + "/faces-" + std::to_string(TvPid());
}

bool EditNow(const char* op, GVariant* args, Refusal* why, GVariant** result) {
    std::lock_guard<std::mutex> lk(SimState().mu);
    return Edit(op, args, result, why);
}

void PublishHiddenMask(const std::set<std::string>& names) {
    unsigned mask = 0;
    const auto& all = MotionEntryPoints();
    for (size_t i = 0; i < all.size(); ++i)
        if (names.count(all[i])) mask |= 1u << i;
    StoreHiddenMask(mask);
}

void ResetTvState(bool keepCounters) {
    State& s = SimState();
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
    // The delivery thread stays for the next signal: ending and starting a thread on every reset
    // is most of what a reset costs in a test or fuzzing run.
    DropQueuedDeliveries();
    State& s = SimState();
    std::lock_guard<std::mutex> lk(s.mu);
    Edit("reset", nullptr, nullptr, nullptr);
    s.trace.clear();
    s.motion.clear();
    s.face.clear();
    s.lastMotionCb.reset();
    s.lastFaceCb.reset();
    PublishRingCounts();
}

void ResetTv() {
    State& s = SimState();
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
    return SimState().cfg.model;
}

bool SetFactoryItem(int id, const std::optional<int>& value, Refusal* why) {
    return EditNow("factory", g_variant_new("(i(bi))", id, value.has_value(), value.value_or(0)),
                   why);
}

std::optional<int> GetFactoryItem(int id) {
    auto lk = LockTv();
    auto it = SimState().cfg.factory.find(id);
    return it == SimState().cfg.factory.end() ? std::nullopt : it->second;
}

bool SetCameraState(int state, Refusal* why) {
    return EditNow("camera", g_variant_new_int32(state), why);
}

bool SetCameraQueryResult(int rc, Refusal* why) {
    return EditNow("cameraQuery", g_variant_new_int32(rc), why);
}

int GetCameraState() {
    auto lk = LockTv();
    return SimState().cfg.cameraState;
}

int GetCameraQueryResult() {
    auto lk = LockTv();
    return SimState().cfg.cameraQuery;
}

bool SetNextMotionHandle(int handle, Refusal* why) {
    return EditNow("nextMotionHandle", g_variant_new_int32(handle), why);
}

bool SetNextFaceHandle(int handle, Refusal* why) {
    return EditNow("nextFaceHandle", g_variant_new_int32(handle), why);
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
    std::lock_guard<std::mutex> lk(SimState().mu);
    const MotionInstance* m = FindMotion(handle);
    if (!m) return std::nullopt;
    return StateOf(*m);
}

std::vector<MotionState> MotionStates() {
    std::lock_guard<std::mutex> lk(SimState().mu);
    std::vector<MotionState> out;
    for (const auto& kv : SimState().motion) out.push_back(StateOf(kv.second));
    return out;
}

std::vector<int> LiveMotionHandles() {
    std::lock_guard<std::mutex> lk(SimState().mu);
    std::vector<int> out;
    for (const auto& kv : SimState().motion) out.push_back(kv.second.handle);
    return out;
}

std::vector<int> LiveFaceHandles() {
    std::lock_guard<std::mutex> lk(SimState().mu);
    std::vector<int> out;
    for (const auto& kv : SimState().face) out.push_back(kv.second.handle);
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
    return SimState().cfg.answers;
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
    return SimState().cfg.faces;
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
    for (const auto& kv : SimState().stored) out.push_back(kv.second);
    return out;
}

}  // namespace gxsim
