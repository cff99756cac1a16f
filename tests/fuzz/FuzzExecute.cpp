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
// The plug-in starts a thread per subscription command and detaches it. Under the sanitizers a
// thread's start and end cost more than most inputs (its stack's shadow cleared, its sanitizer
// state mapped and unmapped), so the target runs the subscription thread's function on threads
// it keeps (see pthread_create below): to the plug-in, a thread; to the teardown check, the
// function having returned.
//
// Checked beyond the sanitizers: Execute lets no exception out, a command it does not carry out
// leaves the result untouched, and teardown ends the engine's subscription threads (their loops
// quit, their functions returned). The target's own shortcuts are checked too: a put-back leaves
// the motion instance as a new engine has it, and the settings store changes only through
// vconf_set_int (compared at every rebuild).
#include <dlfcn.h>
#include <glib.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
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

// The subscription loops, in order of creation, each with whether its run has returned
// (g_main_loop_new and g_main_loop_run are interposed below; the plug-in's subscription threads
// are their only callers).
struct Loop {
    GMainLoop* loop;
    bool ended;
};
std::mutex g_Lock;
std::condition_variable g_Ended;  // a loop's run or a subscription thread's function returned
std::vector<Loop> g_Loops;

// A kept thread: it runs one subscription thread's function at a time, then waits for the next.
struct Worker {
    pthread_t thread;
    std::condition_variable wake;
    void* (*main)(void*) = nullptr;  // the function it runs now, null while it waits
    void* arg = nullptr;
};
std::vector<Worker*> g_Workers;  // under g_Lock; kept for the life of the process

void* WorkerMain(void* self) {
    auto* w = static_cast<Worker*>(self);
    std::unique_lock<std::mutex> lock(g_Lock);
    for (;;) {
        w->wake.wait(lock, [w] { return w->main != nullptr; });
        lock.unlock();
        w->main(w->arg);
        lock.lock();
        w->main = nullptr;
        g_Ended.notify_all();
    }
}

// A kept thread wakes on the core the fuzzing thread runs on, which then waits for it: woken on
// the other core, it would queue behind whatever runs there (another target, in scripts/test.sh).
void RunBeside(pthread_t thread) {
    int cpu = sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(thread, sizeof set, &set);
}

using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using DetachThread = int (*)(pthread_t);

kiv::CEmpEngineBase* g_Engine = nullptr;
int g_Motion = 0;
gxsim::MotionState g_MotionAtStart;  // the motion instance as a new engine finds it
std::string g_SettingsAtStart;       // the settings store's file as the first engine found it

// The store's file holds the bytes it held at start (read with plain calls: this runs after every
// input).
bool SettingsAsAtStart() {
    static std::vector<char> buffer;
    buffer.resize(g_SettingsAtStart.size() + 1);
    int fd = open(fuzzsupport::SettingsPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = 0, got = 0;
    while (static_cast<size_t>(got) < buffer.size() &&
           (n = read(fd, buffer.data() + got, buffer.size() - got)) > 0)
        got += n;
    close(fd);
    return n >= 0 && static_cast<size_t>(got) == g_SettingsAtStart.size() &&
           std::memcmp(buffer.data(), g_SettingsAtStart.data(), got) == 0;
}

// Writes to the settings store since it was last put back (vconf_set_int is interposed below: the
// store's file is written through it alone).
std::atomic<unsigned> g_SettingsWrites{0};

// The settings store as it was at start: the voice guide off. The store is one small file, so
// comparing its bytes is both cheaper than asking it for the key (it parses the file on every
// read) and exact. Anything else that differs is written back whole.
void PutBackSettings() {
    g_SettingsWrites = 0;
    if (SettingsAsAtStart()) return;
    vconf_set_int(kTts, 0);
    if (SettingsAsAtStart()) return;
    const std::string& path = fuzzsupport::SettingsPath();
    FUZZ_CHECK(g_file_set_contents(path.c_str(), g_SettingsAtStart.data(),
                                   static_cast<gssize>(g_SettingsAtStart.size()), nullptr),
               "cannot write the settings store %s", path.c_str());
}

bool SameMotionState(const gxsim::MotionState& a, const gxsim::MotionState& b) {
    return a.handle == b.handle && a.status == b.status && a.enabled == b.enabled &&
           a.hint == b.hint && a.swipe == b.swipe && a.zoomTrigger == b.zoomTrigger &&
           a.rotateTrigger == b.rotateTrigger && a.subscribed == b.subscribed;
}

void Build() {
    static kiv::CEmpAppGX* app = new kiv::CEmpAppGX;
    g_Engine = app->CreateEmpEngine();
    const std::vector<int> motion = gxsim::LiveMotionHandles();
    g_Motion = motion.empty() ? 0 : motion.back();
    g_MotionAtStart = gxsim::GetMotionState(g_Motion).value_or(gxsim::MotionState{});
    gxsim::ClearTrace();
}

// Teardown quits an engine's newest loop only: a loop that a later subscription replaced runs on,
// and its thread with it; the engine keeps its reference to it. The target quits those loops
// itself (once they run: a quit before would be lost), waits until every loop has ended and drops
// the references left.
void Rebuild() {
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        for (const Worker* w : g_Workers)
            if (w->main != nullptr) RunBeside(w->thread);
    }
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
    g_Loops.clear();
    // A loop's run has returned, but its thread function still unwinds (it drops its reference
    // to the loop, logs). A leak check that came now would find the loop held by nobody.
    auto idle = [] {
        return std::all_of(g_Workers.begin(), g_Workers.end(),
                           [](const Worker* w) { return w->main == nullptr; });
    };
    FUZZ_CHECK(g_Ended.wait_for(lock, std::chrono::seconds(10), idle),
               "a subscription thread did not return after its loop");
    lock.unlock();
    fuzzsupport::QuietSimulator();
    // Compared even when nothing wrote to it: a change that bypassed the count would stop the run.
    FUZZ_CHECK(g_SettingsWrites != 0 || SettingsAsAtStart(),
               "the settings store changed, not through vconf_set_int");
    PutBackSettings();
    if (access(fuzzsupport::FaceImageDirectory().c_str(), F_OK) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(fuzzsupport::FaceImageDirectory(), ignored);
    }
    Build();
}

// Puts back what an input changed where that can be done exactly: the motion instance's state
// through the library itself (only what differs from a new engine's, then compared again), the
// settings store, the widget name (through the one command that sets it and does nothing else).
// Anything else the input left (a face handle, which the engine keeps even once destroyed; a
// subscription loop; another library instance or a stored face) calls for a new engine, so that an
// input never finds what an earlier one left.
bool PutBack(bool faceCreated) {
    using P = kiv::CEmpProviderPlugin;
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        if (faceCreated || !g_Loops.empty()) return false;
    }
    if (gxsim::LiveMotionHandles() != std::vector<int>{g_Motion} ||
        !gxsim::LiveFaceHandles().empty() || !gxsim::StoredFaces().empty())
        return false;
    const gxsim::MotionState was = *gxsim::GetMotionState(g_Motion);
    const gxsim::MotionState& start = g_MotionAtStart;
    // A setter that is needed must be there (the library may lack entry points); a signal that a
    // new engine has subscribed cannot be subscribed again from here.
    auto set = [](auto fn, int now, int wanted) {
        if (now != wanted && fn != nullptr) fn(g_Motion, wanted);
        return now == wanted || fn != nullptr;
    };
    if (!std::includes(was.subscribed.begin(), was.subscribed.end(), start.subscribed.begin(),
                       start.subscribed.end()) ||
        (was.status != start.status && start.status != 0) ||
        !set(P::gx_enable_motion_recognition, was.enabled, start.enabled) ||
        !set(P::gx_enable_motion_hint, was.hint, start.hint) ||
        !set(P::gx_enable_swipe, was.swipe, start.swipe) ||
        !set(P::gx_set_zoom_trigger_condition, was.zoomTrigger, start.zoomTrigger) ||
        !set(P::gx_set_rotate_trigger_condition, was.rotateTrigger, start.rotateTrigger))
        return false;
    if (was.status != start.status) {
        if (P::gx_stop_motion_recog == nullptr) return false;
        P::gx_stop_motion_recog(g_Motion);
    }
    for (int signal : was.subscribed) {
        if (start.subscribed.count(signal) != 0) continue;
        if (P::gx_motion_signal_unsubscribed == nullptr) return false;
        P::gx_motion_signal_unsubscribed(g_Motion, signal);
    }
    FUZZ_CHECK(SameMotionState(*gxsim::GetMotionState(g_Motion), start),
               "the motion instance differs from a new engine's after the put-back");
    if (g_SettingsWrites != 0) PutBackSettings();
    std::string result;
    g_Engine->Execute(result, "SubscribeMotionEvent", "", "", "", "");
    gxsim::ClearTrace();
    return true;
}

}  // namespace

// The sanitizers' own wrappers where a sanitizer runs (so that it knows every thread), else the C
// library's functions.
extern "C" int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                                            void*) __attribute__((weak));
extern "C" int __interceptor_pthread_detach(pthread_t) __attribute__((weak));

// The plug-in's subscription threads run on kept threads; every other thread is made as asked.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*main)(void*),
                              void* arg) {
    static const CreateThread real =
        __interceptor_pthread_create != nullptr
            ? __interceptor_pthread_create
            : reinterpret_cast<CreateThread>(dlsym(RTLD_NEXT, "pthread_create"));
    if (main != &kiv::CEmpEngineGX::SubScribe) return real(thread, attr, main, arg);
    std::lock_guard<std::mutex> lock(g_Lock);
    auto free = std::find_if(g_Workers.begin(), g_Workers.end(),
                             [](const Worker* w) { return w->main == nullptr; });
    Worker* w = free != g_Workers.end() ? *free : nullptr;
    if (w == nullptr) {
        w = new Worker;
        if (int r = real(&w->thread, attr, WorkerMain, w); r != 0) {
            delete w;
            return r;
        }
        g_Workers.push_back(w);
    }
    w->main = main;
    w->arg = arg;
    RunBeside(w->thread);
    w->wake.notify_one();
    *thread = w->thread;
    return 0;
}

// A kept thread stays joinable: the plug-in's detach of it is taken as done.
extern "C" int pthread_detach(pthread_t thread) {
    static const DetachThread real =
        __interceptor_pthread_detach != nullptr
            ? __interceptor_pthread_detach
            : reinterpret_cast<DetachThread>(dlsym(RTLD_NEXT, "pthread_detach"));
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        for (const Worker* w : g_Workers)
            if (pthread_equal(w->thread, thread)) return 0;
    }
    return real(thread);
}

extern "C" int vconf_set_int(const char* key, int value) {
    static auto real =
        reinterpret_cast<int (*)(const char*, int)>(dlsym(RTLD_NEXT, "vconf_set_int"));
    ++g_SettingsWrites;
    return real(key, value);
}

extern "C" GMainLoop* g_main_loop_new(GMainContext* context, gboolean isRunning) {
    static auto real = reinterpret_cast<GMainLoop* (*)(GMainContext*, gboolean)>(
        dlsym(RTLD_NEXT, "g_main_loop_new"));
    GMainLoop* loop = real(context, isRunning);
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Loops.push_back({loop, false});
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
    std::ifstream settings(fuzzsupport::SettingsPath(), std::ios::binary);
    g_SettingsAtStart.assign(std::istreambuf_iterator<char>(settings), {});
    FUZZ_CHECK(!g_SettingsAtStart.empty(), "cannot read the settings store");
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
