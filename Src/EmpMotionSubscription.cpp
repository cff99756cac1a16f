// "SetMotionSubscribeInfo": the command reads the list, starts a subscription thread and waits on
// SuscribeSem until the thread has subscribed it; the thread then runs a main loop until the
// engine's teardown quits it.
#include <atomic>
#include <cerrno>
#include <mutex>

#include "EmpEngineCommand.h"
#include "EmpEngineLog.h"
#include "EmpEngineRegistry.h"
#include "KIVDebug.h"

namespace kiv {

sem_t SuscribeSem;

namespace {

// SuscribeSem is one semaphore for the whole process: one subscription hand-off at a time.
std::mutex g_SubscribeHandOff;

// Orders a subscription thread's writes to its request before the command thread's reads after
// its wait. The semaphore orders them too, but ThreadSanitizer does not see sem_post/sem_wait as a
// synchronisation in every build; this release/acquire pair it always sees.
std::atomic<unsigned> g_SubscriptionsHandedOver{0};

// A subscription thread runs a GLib main loop and nothing deeper; the default reservation (8 MiB
// of address space per subscription, each stack's pages mapped and unmapped again when a detached
// thread ends) is far more than it ever touches.
constexpr size_t kSubscribeThreadStack = 256 * 1024;

// Starts the subscription thread with its stack size; as pthread_create, 0 or an error number.
int StartSubscribeThread(pthread_t* thread, void* (*main)(void*), void* request) {
    pthread_attr_t attr;
    int r = pthread_attr_init(&attr);
    if (r != 0) return r;
    r = pthread_attr_setstacksize(&attr, kSubscribeThreadStack);
    if (r == 0) r = pthread_create(thread, &attr, main, request);
    pthread_attr_destroy(&attr);
    return r;
}

// The event names of a subscription text {"motionEventList": [{"itemType": NAME}, ...]}. A root
// that is not an object, a list that is not an array, an element that is not an object or an
// "itemType" that is not a string makes the text invalid.
bool ReadSubscriptionList(const Json::Value& root, std::vector<std::string>& names) {
    if (!root.isObject()) return false;
    const Json::Value& list = root["motionEventList"];
    if (list.isNull()) return true;
    if (!list.isArray()) return false;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& item = list[i];
        if (!item.isObject()) return false;
        const Json::Value& type = item["itemType"];
        if (!type.isNull() && !type.isString()) return false;
        names.push_back(type.isNull() ? std::string() : type.asString());
    }
    return true;
}

// Hands the request back to the command thread: from here on the subscription thread does not
// touch it.
void HandOverSubscription() {
    g_SubscriptionsHandedOver.fetch_add(1, std::memory_order_release);
    sem_post(&SuscribeSem);
}

// Quits a subscription loop once it runs. g_main_loop_run marks its loop running again, so a quit
// made before the thread gets there would be lost and the thread would never end; while the loop
// has not started this keeps its idle source and tries again on the next iteration.
gboolean QuitLoopOnceRunning(gpointer loop) {
    if (!g_main_loop_is_running(static_cast<GMainLoop*>(loop))) return G_SOURCE_CONTINUE;
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

void UnrefLoop(gpointer loop) {
    g_main_loop_unref(static_cast<GMainLoop*>(loop));
}

}  // namespace

void CEmpEngineGX::SetMotionSubscribeInfo(std::string& result, const std::string& arg1,
                                          const std::string& arg2) {
    ReplaceMotionWidgetName(arg1);
    Json::Value root;
    std::vector<std::string> names;
    if (!ParseJsonText(arg2, root) || !ReadSubscriptionList(root, names)) return;

    // An empty list subscribes nothing and succeeds.
    auto* request = new MotionSubscribeRequest{{}, 1, false};
    EXEC_LOGE("begin parse");
    for (const std::string& name : names) {
        GXMotionSignal entry{GX_MOTION_SIGNAL_DEFAULT_MAX, true};
        entry.signal = ConvertToMotionEvent(name);
        EXEC_LOGE("the motion signal is %d\n", entry.signal);
        request->signals.push_back(entry);
    }

    EXEC_LOGE("to create thread");
    std::lock_guard<std::mutex> handOff(g_SubscribeHandOff);
    sem_init(&SuscribeSem, 0, 0);
    if (StartSubscribeThread(&m_SubscribeThread, SubScribe, request) != 0) {
        EXEC_LOGE("create subscribe thread failed");
        sem_destroy(&SuscribeSem);
        delete request;
        SetReturnValueInteger(result, 0);
        return;
    }
    // Nobody joins the thread: it ends by itself when its loop is quit at teardown. Detached, it
    // gives its resources back when it ends.
    pthread_detach(m_SubscribeThread);
    while (sem_wait(&SuscribeSem) != 0 && errno == EINTR) {
    }
    g_SubscriptionsHandedOver.load(std::memory_order_acquire);
    int value = request->result;
    delete request;
    sem_destroy(&SuscribeSem);
    SetReturnValueInteger(result, value);
}

void* CEmpEngineGX::SubScribe(void* arg) {
    auto* request = static_cast<MotionSubscribeRequest*>(arg);
    EMP_LOGD("in CEmpEngineGX::SubScribe");

    CEmpEngineGX* engine = CurrentEngine();
    if (engine == nullptr || engine->m_pManger == nullptr) {
        // The engine this thread would work on is gone: nothing to subscribe, no loop to run.
        EMP_LOGE("no engine to subscribe motion signals for");
        request->result = 0;
        request->finished = true;
        HandOverSubscription();
        return nullptr;
    }

    EMP_LOGD("create m_MotionLoop successfully");
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    // The engine's reference is dropped at teardown; the thread keeps its own until its loop ends.
    g_main_loop_ref(loop);
    {
        std::lock_guard<std::mutex> lock(engine->m_Lock);
        engine->m_MotionLoop = loop;
    }

    for (const GXMotionSignal& entry : request->signals) {
        if (engine->m_pManger->SubscirbeMotionSignal(engine->m_MotionHandle, entry.signal,
                                                     ProcessSignal, nullptr) != 0) {
            request->result = 1;
            continue;
        }
        CKIVDebug::PrintLog(2, 0, "[KIV][%s(%d)] ", __FUNCTION__, __LINE__);
        CKIVDebug::PrintLog(2, 0, "SubscirbeMotionSignal failed! the motion signal is %d\n",
                            entry.signal);
        request->result = 0;
        break;
    }
    request->finished = true;
    EMP_LOGD("  send sem");
    // Posted before the loop runs: the command must not depend on anyone iterating the default
    // context, which a host's command thread may own while it waits here. The engine may be gone
    // once the command returns, so the loop is the local, not the engine's field.
    HandOverSubscription();

    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    EMP_LOGD("run the m_MotionLoop");
    return nullptr;
}

void CEmpEngineGX::m_DestroyMotionMainLoopThread() {
    GMainLoop* loop = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        loop = m_MotionLoop;
        m_MotionLoop = nullptr;
    }
    if (loop == nullptr) return;
    EMP_LOGD("exit the m_MotionLoop");
    // A running loop is quit here and now. The thread may also have posted without reaching
    // g_main_loop_run yet; then an idle source on the loop's context quits it once it runs,
    // dispatched by whichever thread iterates that context (the subscription thread itself,
    // another subscription thread, or a host that runs it). The engine's reference goes with the
    // quit.
    if (QuitLoopOnceRunning(loop) == G_SOURCE_REMOVE) {
        g_main_loop_unref(loop);
        return;
    }
    GSource* quit = g_idle_source_new();
    g_source_set_callback(quit, QuitLoopOnceRunning, loop, UnrefLoop);
    g_source_attach(quit, g_main_loop_get_context(loop));
    g_source_unref(quit);
}

}  // namespace kiv
