// Fuzzes CEmpEngineGX::Execute with any command name and arguments.
//
// Input: fields separated by NUL bytes, taken five at a time as a command and its four
// arguments (at most eight commands per input). A command field of one byte picks a known
// command name (the JSON-taking ones weigh more); a longer field is used as the name itself.
//
// Every input starts from the same state: an engine as built over a simulator in its default
// state, a settings store with the TV's keys, no subscription thread. Building an engine for
// every input would give that too, but it costs more than most inputs' commands (libFuzzer also
// counts the same start-up coverage again for each input), so one engine serves inputs as long as
// none of them leaves anything behind that a newly built engine would not have; see Reuse below.
//
// Checked beyond the sanitizers: Execute lets no exception out, a command it does not carry out
// leaves the result untouched, and teardown ends the engine's subscription thread.
#include <dlfcn.h>
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineBase.h"
#include "EmpProviderPlugin.h"
#include "face_recognition.h"
#include "FuzzSupport.h"
#include "vconf.h"

namespace {

const char* const kCommands[] = {
    "SetMotionSubscribeInfo",
    "SetMotionSubscribeInfo",
    "SetMotionSubscribeInfo",
    "OverWriteFace",
    "OverWriteFace",
    "OverWriteFace",
    "GetGestureCameraStatus",
    "SubscirbeMotionSignal",
    "UnSubscirbeMotionSignal",
    "StartMotionRecognition",
    "StopMotionRecognition",
    "EnableGestureRecognition",
    "DisableGestureRecognition",
    "SubscribeMotionEvent",
    "UnsubscribeMotionEvent",
    "GetMotionRecognitionStatus",
    "GetMotionBrightnessLevel",
    "IsMotionEngineValid",
    "IsMotionRecognitionEnabled",
    "IsTwoHandMotionValid",
    "IsThumbupMotionValid",
    "IsSlapMotionValid",
    "EnableMotionHint",
    "SetZoomTriggerCondition",
    "GetZoomTriggerCondition",
    "IsSupportMotionRecognition",
    "SetRotateTriggerCondition",
    "GetRotateTriggerCondition",
    "EnableMotionSwipeRecognition",
    "DisableMotionSwipeRecognition",
    "SubscribeFaceEvent",
    "UnsubscribeFaceEvent",
    "InitializeFace",
    "InitFaceRecognition",
    "EnableFaceRecognition",
    "DisableFaceRecognition",
    "StartFaceDetection",
    "StopFaceDetection",
    "StartFaceTraining",
    "StopFaceTraining",
    "StartFaceRecognition",
    "StopFaceRecognition",
    "StartFaceRecognitionAll",
    "OverWriteThumbnail",
    "TrainThumbnail",
    "FaceVersion",
    "EraseFace",
    "ClearFaceRecogData",
    "GetFaceRecognitionResult",
    "GetFaceDetectionResult",
    "GetFaceTrainingResult",
    "EraseFaceImageID",
    "EncryptFaceImage",
    "DecryptFaceImage",
    "DestroyFace",
    "EnableTTSEngine",
    "DisableTTSEngine",
    "IsTTSEngineEnabled",
    "StopTTSEngine",
    "StartTTSEngine",
    "IsSupportTTS",
    "GetUserLevel",
    "IsTTSInPlaying",
    "RecogEMPUsingStatus",
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];
constexpr size_t kMaxCommands = 8;

// Splits the input into its first kMaxCommands * 5 fields (what follows them is never used),
// kept in storage reused from input to input, and returns how many commands they hold. The fields
// of a last, incomplete command are empty.
size_t SplitFields(const uint8_t* data, size_t size, std::vector<std::string>& fields) {
    fields.resize(kMaxCommands * 5);
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
    return (count + 4) / 5;
}

// ---- Subscription threads ----------------------------------------------------------------------

// The subscription loops of the current engine, in the order they were created, each with a
// reference of ours, and whether its g_main_loop_run has returned.
struct Loop {
    GMainLoop* loop;
    bool ended;
};
std::mutex g_LoopLock;
std::condition_variable g_LoopEnded;
std::vector<Loop> g_Loops;

bool AnyLoop() {
    std::lock_guard<std::mutex> lock(g_LoopLock);
    return !g_Loops.empty();
}

// Called after the engine's teardown. Teardown quits only the newest subscription loop of an
// engine; a loop that a later "SetMotionSubscribeInfo" replaced runs for the rest of the process,
// and its thread with it. Left alone, those threads would pile up from input to input. So the
// target quits the replaced loops itself (only once they run: a quit before g_main_loop_run is
// lost), and waits until every loop has ended.
void EndSubscriptionThreads() {
    std::unique_lock<std::mutex> lock(g_LoopLock);
    for (size_t i = 0; i + 1 < g_Loops.size(); ++i) {
        while (!g_main_loop_is_running(g_Loops[i].loop) && !g_Loops[i].ended) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
        g_main_loop_quit(g_Loops[i].loop);
    }
    bool ended = g_LoopEnded.wait_for(lock, std::chrono::seconds(10), [] {
        for (const Loop& l : g_Loops)
            if (!l.ended) return false;
        return true;
    });
    FUZZ_CHECK(ended, "a subscription thread did not end after teardown");
    for (size_t i = 0; i < g_Loops.size(); ++i) {
        g_main_loop_unref(g_Loops[i].loop);
        // A replaced loop still holds the reference the engine took when its thread created it:
        // the engine dropped the pointer, not the reference, as the loop was to run for ever.
        if (i + 1 < g_Loops.size()) g_main_loop_unref(g_Loops[i].loop);
    }
    g_Loops.clear();
}

// ---- Reuse -------------------------------------------------------------------------------------

kiv::CEmpAppGX* App() {
    static kiv::CEmpAppGX* app = new kiv::CEmpAppGX;
    return app;
}

// The first handles the simulator hands out after a reset.
constexpr int kFirstMotionHandle = 1001, kFirstFaceHandle = 5001;

kiv::CEmpEngineBase* g_Engine = nullptr;
int g_MotionHandle = 0;
std::string g_NewStore;  // the settings store as the simulator creates it: the TV's keys

// The store is a few hundred bytes; read without a stream's heap buffer.
std::string ReadStore() {
    std::string content;
    int fd = open(gxsim::GetSettingsPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, n);
    close(fd);
    return content;
}

void NewStore() {
    unlink(gxsim::GetSettingsPath().c_str());
    int value = 0;
    vconf_get_int("db/menu/accessibility/tts", &value);  // creates it
    g_NewStore = ReadStore();
}

void Build() {
    g_Engine = App()->CreateEmpEngine();
    std::vector<int> handles = gxsim::LiveMotionHandles();
    g_MotionHandle = handles.empty() ? 0 : handles.back();
    gxsim::ClearTrace();
}

// Back to the start: the engine torn down, its threads ended, the simulator as it was when the
// first engine was built (no library instance, no stored face, no face image, the same handles
// handed out next), a new engine. A face instance the input left behind is destroyed through the
// library; once a face was stored (its id numbering) or an instance is left that the library
// cannot destroy, the simulator is reset as a whole, which also stops its delivery thread.
void Rebuild() {
    g_Engine->Destroy();
    EndSubscriptionThreads();
    for (int handle : gxsim::LiveFaceHandles()) gx_face_recog_destroy(handle);
    const std::string faces = fuzzsupport::PrivateDir() + "/faces";
    if (!gxsim::StoredFaces().empty() || !gxsim::LiveMotionHandles().empty() ||
        !gxsim::LiveFaceHandles().empty() || access(faces.c_str(), F_OK) == 0) {
        fuzzsupport::QuietSimulator();
        std::error_code ignored;
        std::filesystem::remove_all(faces, ignored);
    } else {
        gxsim::SetNextMotionHandle(kFirstMotionHandle);
        gxsim::SetNextFaceHandle(kFirstFaceHandle);
    }
    if (ReadStore() != g_NewStore) NewStore();
    Build();
}

bool MotionStateAsBuilt() {
    std::optional<gxsim::MotionState> m = gxsim::GetMotionState(g_MotionHandle);
    return m && m->status == 0 && m->enabled == 0 && m->hint == 0 && m->swipe == 0 &&
           m->zoomTrigger == 0 && m->rotateTrigger == 0 && m->subscribed.empty();
}

// Whether the engine and the simulator are as a newly built engine finds them, after putting
// back what can be put back exactly. A state that leaked into the next input could hide a fault
// that input would show on a new engine (a command that behaves differently once a face handle
// exists, say), so anything else means a rebuild:
// - a face handle was created (the engine keeps it, even once the instance is destroyed), or a
//   subscription loop was started (the engine keeps it until teardown);
// - the library instances are the engine's motion instance, and no face instance or stored face;
// - the motion instance's state (started, enabled, hint, swipe, triggers, subscribed signals) is
//   put back through the library itself, then checked;
// - the settings store, if a write changed it, is created anew with the TV's keys;
// - the widget name is set back to the empty name of a new engine, through the one command that
//   sets it and does nothing else (it names motion events only, and this target sends none).
bool PutBack(bool faceCreated, bool widgetChanged) {
    gxsim::ClearTrace();
    if (faceCreated || AnyLoop()) return false;
    if (gxsim::LiveMotionHandles() != std::vector<int>{g_MotionHandle} ||
        !gxsim::LiveFaceHandles().empty() || !gxsim::StoredFaces().empty()) {
        return false;
    }
    if (!MotionStateAsBuilt()) {
        using P = kiv::CEmpProviderPlugin;
        const int h = g_MotionHandle;
        if (P::gx_stop_motion_recog == nullptr) return false;
        P::gx_stop_motion_recog(h);
        P::gx_enable_motion_recognition(h, 0);
        P::gx_enable_motion_hint(h, 0);
        P::gx_enable_swipe(h, 0);
        P::gx_set_zoom_trigger_condition(h, 0);
        P::gx_set_rotate_trigger_condition(h, 0);
        const std::set<int> subscribed = gxsim::GetMotionState(h)->subscribed;
        for (int signal : subscribed) P::gx_motion_signal_unsubscribed(h, signal);
        gxsim::ClearTrace();
        if (!MotionStateAsBuilt()) return false;
    }
    if (ReadStore() != g_NewStore) NewStore();
    if (widgetChanged) {
        std::string result;
        if (!g_Engine->Execute(result, "SubscribeMotionEvent", "", "", "", "")) return false;
        gxsim::ClearTrace();
    }
    return true;
}

}  // namespace

// g_main_loop_new and g_main_loop_run are interposed in this binary to follow the subscription
// loops (the plug-in is the only caller here).
extern "C" GMainLoop* g_main_loop_new(GMainContext* context, gboolean isRunning) {
    static auto real = reinterpret_cast<GMainLoop* (*)(GMainContext*, gboolean)>(
        dlsym(RTLD_NEXT, "g_main_loop_new"));
    GMainLoop* loop = real(context, isRunning);
    std::lock_guard<std::mutex> lock(g_LoopLock);
    g_Loops.push_back({g_main_loop_ref(loop), false});
    return loop;
}

extern "C" void g_main_loop_run(GMainLoop* loop) {
    static auto real = reinterpret_cast<void (*)(GMainLoop*)>(dlsym(RTLD_NEXT, "g_main_loop_run"));
    real(loop);
    std::lock_guard<std::mutex> lock(g_LoopLock);
    for (Loop& l : g_Loops)
        if (l.loop == loop) l.ended = true;
    g_LoopEnded.notify_all();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    NewStore();
    // Held open for the whole run, so that an engine's teardown does not unload the motion
    // library and the next engine's start-up map it again.
    static void* pinned = dlopen(GXEMP_TEST_MOTION_LIB, RTLD_NOW);
    if (pinned == nullptr) std::fprintf(stderr, "cannot open %s\n", GXEMP_TEST_MOTION_LIB);
    Build();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<std::string> fields;
    const size_t commands = SplitFields(data, size, fields);
    bool faceCreated = false, widgetChanged = false;
    for (size_t c = 0; c < commands; ++c) {
        const std::string* f = &fields[c * 5];
        const std::string name =
            f[0].size() == 1 ? kCommands[static_cast<unsigned char>(f[0][0]) % kCommandCount]
                             : f[0];
        const std::string untouched = "untouched";
        std::string result = untouched;
        bool served = g_Engine->Execute(result, name, f[1], f[2], f[3], f[4]);
        if (!served && name != "RecogEMPUsingStatus") {
            FUZZ_CHECK(result == untouched, "command '%s' not served but result changed",
                       name.c_str());
        }
        faceCreated =
            faceCreated || (served && (name == "InitializeFace" || name == "InitFaceRecognition"));
        widgetChanged = widgetChanged || (served && (name == "SetMotionSubscribeInfo" ||
                                                     name == "SubscribeMotionEvent" ||
                                                     name == "UnsubscribeMotionEvent"));
    }
    if (!PutBack(faceCreated, widgetChanged)) Rebuild();
    return 0;
}
