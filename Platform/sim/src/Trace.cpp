// The library calls' trace, forced results and the names of the libraries' entry points.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstring>
#include <mutex>

#include "SimState.h"

namespace gxsim::internal {
namespace {

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

// This process's id, asked of the kernel once: the trace takes it on every library call, and a
// system call costs about a microsecond on a virtual machine (an Execute round trip is about 40).
// A forked child (a worker forked from the template) asks again.
pid_t OwnPid() {
    static std::atomic<pid_t> pid{0};
    static std::once_flag atFork;
    std::call_once(atFork, [] {
        pthread_atfork(nullptr, nullptr, [] { pid.store(0, std::memory_order_relaxed); });
    });
    pid_t known = pid.load(std::memory_order_relaxed);
    if (known == 0) pid.store(known = getpid(), std::memory_order_relaxed);
    return known;
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

// What a kept call weighs in the bounds: what TraceEntryBytes gives the entry it stands for.
size_t KeptBytes(const KeptCall& call) {
    // TraceEntryBytes counts 8 bytes for each argument, where the texts hold a '\0' after it (and
    // one after the function).
    return 32 + call.texts.size() - 1u - call.args + 8u * call.args;
}

}  // namespace

void AddTrace(const char* fn, std::vector<std::string> args, int result, std::string detail) {
    State& s = SimState();
    // What the trace holds, in TraceEntryBytes; counted afresh whenever it was emptied.
    static size_t bytes = 0;
    if (s.trace.empty()) bytes = 0;
    KeptCall call;
    size_t size = strlen(fn) + 1 + detail.size();
    for (const std::string& arg : args) size += arg.size() + 1;
    call.texts.reserve(size);
    call.texts.append(fn).push_back('\0');
    for (const std::string& arg : args) call.texts.append(arg).push_back('\0');
    call.texts += detail;
    call.seq = NextTraceSeq();
    call.result = result;
    call.pid = OwnPid();
    call.args = static_cast<uint8_t>(args.size());
    s.trace.push_back(std::move(call));
    bytes += KeptBytes(s.trace.back());
    while (s.trace.size() > 1 && (s.trace.size() > kMaxTraceCalls || bytes > kMaxTraceBytes)) {
        bytes -= KeptBytes(s.trace.front());
        s.trace.pop_front();
    }
}

const int* Forced(const char* fn) {
    State& s = SimState();
    if (s.forced.empty()) return nullptr;
    auto it = s.forced.find(fn);
    return it == s.forced.end() ? nullptr : &it->second;
}

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

size_t TraceEntryBytes(const TraceEntry& entry) {
    size_t bytes = 32 + entry.function.size() + entry.detail.size();
    for (const std::string& arg : entry.args) bytes += 8 + arg.size();
    return bytes;
}

std::vector<TraceEntry> Trace() {
    std::lock_guard<std::mutex> lk(SimState().mu);
    std::vector<TraceEntry> out;
    out.reserve(SimState().trace.size());
    for (const KeptCall& call : SimState().trace) {
        TraceEntry& e = out.emplace_back();
        const char* text = call.texts.c_str();
        e.function = text;
        text += e.function.size() + 1;
        for (int i = 0; i < call.args; ++i) {
            const std::string& arg = e.args.emplace_back(text);
            text += arg.size() + 1;
        }
        e.detail.assign(text, call.texts.data() + call.texts.size());
        e.result = call.result;
        e.seq = call.seq;
        e.pid = call.pid;
    }
    return out;
}

void ClearTrace() {
    std::lock_guard<std::mutex> lk(SimState().mu);
    SimState().trace.clear();
}

std::string FormatPointer(const void* p) {
    if (!p) return "null";
    // Every traced call formats its pointers: to_chars takes a sixth of the instructions of
    // snprintf's "%p".
    char buf[2 + 16] = {'0', 'x'};
    char* end = std::to_chars(buf + 2, buf + sizeof buf, reinterpret_cast<uintptr_t>(p), 16).ptr;
    return std::string(buf, end);
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
    return SimState().cfg.hidden;
}

}  // namespace gxsim
