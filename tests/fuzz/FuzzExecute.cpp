// Fuzzes CEmpEngineGX::Execute with any command name and arguments.
//
// Input: fields separated by NUL bytes, taken five at a time as a command and its four arguments
// (at most eight commands). A command field of one byte picks a known command name (the
// JSON-taking ones weigh more); a longer field is the name itself.
//
// Every input meets an engine as newly built over a simulator in its default state. Building one
// per input would cost more than most inputs' commands, so one engine serves inputs for as long as
// none leaves behind anything that a new engine would not have (see PutBack); otherwise the
// engine is torn down, its threads ended, the simulator reset and a new engine built.
//
// Checked beyond the sanitizers: Execute lets no exception out, a command it does not carry out
// leaves the result untouched, and teardown ends the engine's subscription threads.
#include <dlfcn.h>
#include <glib.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpProviderPlugin.h"
#include "FuzzSupport.h"
#include "face_recognition.h"
#include "vconf.h"

namespace {

// clang-format off
const char* const kCommands[] = {
    "SetMotionSubscribeInfo", "SetMotionSubscribeInfo", "SetMotionSubscribeInfo", "OverWriteFace", "OverWriteFace", "OverWriteFace",
    "GetGestureCameraStatus", "SubscirbeMotionSignal", "UnSubscirbeMotionSignal", "StartMotionRecognition", "StopMotionRecognition",
    "EnableGestureRecognition", "DisableGestureRecognition", "SubscribeMotionEvent", "UnsubscribeMotionEvent", "GetMotionRecognitionStatus",
    "GetMotionBrightnessLevel", "IsMotionEngineValid", "IsMotionRecognitionEnabled", "IsTwoHandMotionValid", "IsThumbupMotionValid",
    "IsSlapMotionValid", "EnableMotionHint", "SetZoomTriggerCondition", "GetZoomTriggerCondition", "IsSupportMotionRecognition",
    "SetRotateTriggerCondition", "GetRotateTriggerCondition", "EnableMotionSwipeRecognition", "DisableMotionSwipeRecognition",
    "SubscribeFaceEvent", "UnsubscribeFaceEvent", "InitializeFace", "InitFaceRecognition", "EnableFaceRecognition", "DisableFaceRecognition",
    "StartFaceDetection", "StopFaceDetection", "StartFaceTraining", "StopFaceTraining", "StartFaceRecognition", "StopFaceRecognition",
    "StartFaceRecognitionAll", "OverWriteThumbnail", "TrainThumbnail", "FaceVersion", "EraseFace", "ClearFaceRecogData",
    "GetFaceRecognitionResult", "GetFaceDetectionResult", "GetFaceTrainingResult", "EraseFaceImageID", "EncryptFaceImage",
    "DecryptFaceImage", "DestroyFace", "EnableTTSEngine", "DisableTTSEngine", "IsTTSEngineEnabled", "StopTTSEngine", "StartTTSEngine",
    "IsSupportTTS", "GetUserLevel", "IsTTSInPlaying", "RecogEMPUsingStatus",
};
// clang-format on
constexpr size_t kMaxCommands = 8;
const char kTts[] = "db/menu/accessibility/tts";

// The subscription loops, in order of creation, each with whether its run has returned and the
// thread that made it (g_main_loop_new and g_main_loop_run are interposed below; the plug-in's
// subscription threads are their only callers).
struct Loop {
    GMainLoop* loop;
    bool ended;
    pid_t thread;
};
std::mutex g_Lock;
std::condition_variable g_Ended;
std::vector<Loop> g_Loops;

kiv::CEmpEngineBase* g_Engine = nullptr;
int g_Motion = 0;

// The voice guide off, written only when it is not: every write replaces the store's file.
void ResetVoiceGuide() {
    int tts = 0;
    if (vconf_get_int(kTts, &tts) != 0 || tts != 0) vconf_set_int(kTts, 0);
}

void Build() {
    static kiv::CEmpAppGX* app = new kiv::CEmpAppGX;
    g_Engine = app->CreateEmpEngine();
    g_Motion = gxsim::LiveMotionHandles().empty() ? 0 : gxsim::LiveMotionHandles().back();
    gxsim::ClearTrace();
}

// Teardown quits an engine's newest loop only: a loop that a later subscription replaced runs on,
// and its thread with it; the engine keeps its reference to it. The target quits those loops
// itself (once they run: a quit before would be lost), waits until every loop has ended and drops
// the references left.
void Rebuild() {
    g_Engine->Destroy();
    std::unique_lock<std::mutex> lock(g_Lock);
    for (size_t i = 0; i + 1 < g_Loops.size(); ++i) {
        while (!g_main_loop_is_running(g_Loops[i].loop) && !g_Loops[i].ended)
            g_Ended.wait_for(lock, std::chrono::milliseconds(1));
        g_main_loop_quit(g_Loops[i].loop);
    }
    auto ended = [] {
        return std::all_of(g_Loops.begin(), g_Loops.end(), [](Loop l) { return l.ended; });
    };
    FUZZ_CHECK(g_Ended.wait_for(lock, std::chrono::seconds(10), ended),
               "a subscription thread did not end after teardown");
    for (size_t i = 0; i + 1 < g_Loops.size(); ++i) g_main_loop_unref(g_Loops[i].loop);
    std::vector<Loop> loops;
    loops.swap(g_Loops);
    lock.unlock();
    // A loop's run has returned, but its thread (detached) still unwinds: it frees its strings,
    // runs its thread-local destructors and GLib's per-thread data. A leak check that came now
    // would find all that held by nobody. The thread has ended once the kernel no longer lists it.
    for (const Loop& l : loops) {
        std::string task = "/proc/self/task/" + std::to_string(l.thread);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (access(task.c_str(), F_OK) == 0) {
            FUZZ_CHECK(std::chrono::steady_clock::now() < deadline,
                       "subscription thread %d did not end after its loop", int(l.thread));
            sched_yield();
        }
    }
    fuzzsupport::QuietSimulator();
    ResetVoiceGuide();
    std::error_code ignored;
    std::filesystem::remove_all(fuzzsupport::PrivateDir() + "/faces", ignored);
    Build();
}

// Puts back what an input changed where that can be done exactly: the motion instance's state
// through the library itself, the voice guide, the widget name (through the one command that sets
// it and does nothing else). Anything else the input left (a face handle, which the engine keeps
// even once destroyed; a subscription loop; another library instance or a stored face) calls for
// a new engine, so that an input never finds what an earlier one left.
bool PutBack(bool faceCreated) {
    using P = kiv::CEmpProviderPlugin;
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        if (faceCreated || !g_Loops.empty() || P::gx_stop_motion_recog == nullptr) return false;
    }
    if (gxsim::LiveMotionHandles() != std::vector<int>{g_Motion} ||
        !gxsim::LiveFaceHandles().empty() || !gxsim::StoredFaces().empty())
        return false;
    P::gx_stop_motion_recog(g_Motion);
    P::gx_enable_motion_recognition(g_Motion, 0);
    P::gx_enable_motion_hint(g_Motion, 0);
    P::gx_enable_swipe(g_Motion, 0);
    P::gx_set_zoom_trigger_condition(g_Motion, 0);
    P::gx_set_rotate_trigger_condition(g_Motion, 0);
    const std::set<int> subscribed = gxsim::GetMotionState(g_Motion)->subscribed;
    for (int signal : subscribed) P::gx_motion_signal_unsubscribed(g_Motion, signal);
    ResetVoiceGuide();
    std::string result;
    g_Engine->Execute(result, "SubscribeMotionEvent", "", "", "", "");
    gxsim::ClearTrace();
    return true;
}

}  // namespace

extern "C" GMainLoop* g_main_loop_new(GMainContext* context, gboolean isRunning) {
    static auto real = reinterpret_cast<GMainLoop* (*)(GMainContext*, gboolean)>(
        dlsym(RTLD_NEXT, "g_main_loop_new"));
    GMainLoop* loop = real(context, isRunning);
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Loops.push_back({loop, false, static_cast<pid_t>(syscall(SYS_gettid))});
    return loop;
}

extern "C" void g_main_loop_run(GMainLoop* loop) {
    static auto real = reinterpret_cast<void (*)(GMainLoop*)>(dlsym(RTLD_NEXT, "g_main_loop_run"));
    real(loop);
    std::lock_guard<std::mutex> lock(g_Lock);
    for (Loop& l : g_Loops)
        if (l.loop == loop) l.ended = true;
    g_Ended.notify_all();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    vconf_set_int(kTts, 0);
    // Held open for the whole run, so that a teardown does not unload the motion library and the
    // next start-up map it again.
    static void* pinned = dlopen(GXEMP_TEST_MOTION_LIB, RTLD_NOW);
    FUZZ_CHECK(pinned != nullptr, "cannot open %s", GXEMP_TEST_MOTION_LIB);
    Build();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<std::string> fields(kMaxCommands * 5);  // storage reused between inputs
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = text + size;
    size_t count = 0;
    for (std::string& field : fields) {
        if (text == nullptr) {
            field.clear();
            continue;
        }
        const char* nul = static_cast<const char*>(std::memchr(text, 0, end - text));
        field.assign(text, nul != nullptr ? nul : end);
        text = nul != nullptr ? nul + 1 : nullptr;
        ++count;
    }
    bool faceCreated = false;
    for (size_t c = 0; c < (count + 4) / 5; ++c) {
        const std::string* f = &fields[c * 5];
        const std::string name =
            f[0].size() == 1 ? kCommands[static_cast<unsigned char>(f[0][0]) % std::size(kCommands)]
                             : f[0];
        std::string result = "untouched";
        bool served = g_Engine->Execute(result, name, f[1], f[2], f[3], f[4]);
        FUZZ_CHECK(served || result == "untouched" || name == "RecogEMPUsingStatus",
                   "command '%s' not served but its result changed", name.c_str());
        faceCreated =
            faceCreated || (served && (name == "InitializeFace" || name == "InitFaceRecognition"));
    }
    if (!PutBack(faceCreated)) Rebuild();
    return 0;
}
