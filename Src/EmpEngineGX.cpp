#include "EmpEngineGX.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>

#include <json/json.h>

#include "EmpLog.h"
#include "EmpUtil.h"
#include "KIVDebug.h"
#include "face_recognition.h"
#include "factory_data.h"

// Lines written on behalf of a command carry "Execute" as their function, wherever the command's
// branch is implemented.
#define EXEC_LOGE(fmt, ...) EMP_LOG_FN(EMP_PRIO_ERROR, EMP_COLOR_RED, "Execute", fmt, ##__VA_ARGS__)

namespace kiv {

sem_t SuscribeSem;
CEmpEngineGX* CEmpEngineGX::m_pCtx = nullptr;

namespace {

// Registry of live engines, in order of construction. Library callbacks walk it on their own
// threads while engines are built and torn down on the framework's thread.
std::vector<void*> m_vCtxList;

// Guards m_vCtxList, m_pCtx and the published handles. Callbacks hold it shared for their whole
// walk; construction and teardown take it exclusively only to add or erase, and nobody holds it
// while calling into a library (destroying a handle waits for the library's callback threads).
// Writers are preferred so that a steady stream of callbacks cannot hold teardown off forever.
class RegistryLock {
public:
    RegistryLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&m_Lock, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~RegistryLock() { pthread_rwlock_destroy(&m_Lock); }
    void LockShared() { pthread_rwlock_rdlock(&m_Lock); }
    void LockExclusive() { pthread_rwlock_wrlock(&m_Lock); }
    void Unlock() { pthread_rwlock_unlock(&m_Lock); }

private:
    pthread_rwlock_t m_Lock;
};

RegistryLock g_CtxLock;

struct SharedRegistry {
    SharedRegistry() { g_CtxLock.LockShared(); }
    ~SharedRegistry() { g_CtxLock.Unlock(); }
};

struct ExclusiveRegistry {
    ExclusiveRegistry() { g_CtxLock.LockExclusive(); }
    ~ExclusiveRegistry() { g_CtxLock.Unlock(); }
};

// SuscribeSem is one semaphore for the whole process: one subscription hand-off at a time.
std::mutex g_SubscribeHandOff;

// Orders a subscription thread's writes to its request before the command thread's reads after
// its wait. The semaphore orders them too, but ThreadSanitizer does not see sem_post/sem_wait as a
// synchronisation in every build; this release/acquire pair it always sees.
std::atomic<unsigned> g_SubscriptionsHandedOver{0};

const char kMotionDefaultName[] = "EVENT_MOTION_DEFAULT_MAX";
const char kFaceDefaultName[] = "EVENT_FACE_DEFAULT_MAX";
const int kMotionEventCode = 6511;
const int kFaceEventCode = 6512;

// A decimal command argument, read as strtol does with base 10 and clamped to 32 bits.
int DecimalArgument(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Parses a client's JSON text. jsoncpp throws on nesting deeper than its limit; such a text is
// treated like any other text that does not parse.
bool ParseJsonText(const std::string& text, Json::Value& root) {
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        return reader.parse(text, root, true);
    } catch (const std::exception&) {
        return false;
    }
}

// Reads an integer member of a client's JSON object: a missing member is 0, a member that is not
// a number within 32 bits makes the text invalid.
bool ReadIntMember(const Json::Value& object, const char* key, int& value) {
    const Json::Value& member = object[key];
    if (member.isNull()) {
        value = 0;
        return true;
    }
    if (!member.isConvertibleTo(Json::intValue)) return false;
    value = member.asInt();
    return true;
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

std::string PathText(const char* path) {
    return path != nullptr ? std::string(path) : std::string();
}

Json::Value RecognitionItem(const gx_face_recog_result& record) {
    Json::Value item;
    item["nFaceRecogID"] = record.id;
    item["x"] = record.x;
    item["y"] = record.y;
    item["w"] = record.w;
    item["h"] = record.h;
    item["imageFilePath"] = PathText(record.imageFilePath);
    return item;
}

// Releases what the face library handed over for a result query, on every path out of the
// command (exceptions included).
struct RecognitionResults {
    gx_face_recog_result* records = nullptr;
    int count = 0;
    ~RecognitionResults() {
        if (records == nullptr) return;
        for (int i = 0; i < count; ++i) {
            free(records[i].imageFilePath);
            records[i].imageFilePath = nullptr;
        }
        free(records);
    }
};

struct DetectionResults {
    gx_face_detect_data* faces = nullptr;
    int count = 0;
    ~DetectionResults() { free(faces); }
};

struct TrainingResult {
    gx_face_recog_result record{};
    ~TrainingResult() { free(record.imageFilePath); }
};

// ---- Command tables ----------------------------------------------------------------------------

enum class Cmd {
    // Motion group.
    GetGestureCameraStatus,
    SubscirbeMotionSignal,
    UnSubscirbeMotionSignal,
    StartMotionRecognition,
    StopMotionRecognition,
    EnableGestureRecognition,
    DisableGestureRecognition,
    SubscribeMotionEvent,
    UnsubscribeMotionEvent,
    GetMotionRecognitionStatus,
    GetMotionBrightnessLevel,
    IsMotionEngineValid,
    IsMotionRecognitionEnabled,
    IsTwoHandMotionValid,
    IsThumbupMotionValid,
    IsSlapMotionValid,
    EnableMotionHint,
    SetZoomTriggerCondition,
    GetZoomTriggerCondition,
    SetMotionSubscribeInfo,
    IsSupportMotionRecognition,
    SetRotateTriggerCondition,
    GetRotateTriggerCondition,
    EnableMotionSwipeRecognition,
    DisableMotionSwipeRecognition,
    // Face group.
    SubscribeFaceEvent,
    UnsubscribeFaceEvent,
    InitializeFace,
    EnableFaceRecognition,
    DisableFaceRecognition,
    StartFaceDetection,
    StopFaceDetection,
    StartFaceTraining,
    StopFaceTraining,
    StartFaceRecognition,
    StopFaceRecognition,
    OverWriteFace,
    OverWriteThumbnail,
    TrainThumbnail,
    FaceVersion,
    EraseFace,
    ClearFaceRecogData,
    GetFaceRecognitionResult,
    GetFaceDetectionResult,
    GetFaceTrainingResult,
    EraseFaceImageID,
    EncryptFaceImage,
    DecryptFaceImage,
    DestroyFace,
    // Speech and status group.
    EnableTTSEngine,
    DisableTTSEngine,
    IsTTSEngineEnabled,
    StopTTSEngine,
    StartTTSEngine,
    IsSupportTTS,
    GetUserLevel,
    IsTTSInPlaying,
};

// A command name, what it does, and the text of its command line after "[Execute] ".
struct CommandEntry {
    const char* name;
    Cmd cmd;
    const char* trace;
};

const CommandEntry kMotionCommands[] = {
    {"GetGestureCameraStatus", Cmd::GetGestureCameraStatus, "----- GetGestureCameraStatus "},
    {"SubscirbeMotionSignal", Cmd::SubscirbeMotionSignal, "SubscirbeMotionSignal"},
    {"UnSubscirbeMotionSignal", Cmd::UnSubscirbeMotionSignal, "UnSubscirbeMotionSignal"},
    {"StartMotionRecognition", Cmd::StartMotionRecognition, "StartMotionRecognition"},
    {"StopMotionRecognition", Cmd::StopMotionRecognition, "StopMotionRecognition"},
    {"EnableGestureRecognition", Cmd::EnableGestureRecognition, "EnableGestureRecognition"},
    {"DisableGestureRecognition", Cmd::DisableGestureRecognition, "DisableGestureRecognition"},
    {"SubscribeMotionEvent", Cmd::SubscribeMotionEvent, "SubscribeMotionEvent"},
    {"UnsubscribeMotionEvent", Cmd::UnsubscribeMotionEvent, "UnsubscribeMotionEvent"},
    {"GetMotionRecognitionStatus", Cmd::GetMotionRecognitionStatus, "GetMotionRecognitionStatus"},
    {"GetMotionBrightnessLevel", Cmd::GetMotionBrightnessLevel, "GetMotionBrightnessLevel"},
    {"IsMotionEngineValid", Cmd::IsMotionEngineValid, "----- IsMotionEngineValid "},
    {"IsMotionRecognitionEnabled", Cmd::IsMotionRecognitionEnabled, "IsMotionRecognitionEnabled"},
    {"IsTwoHandMotionValid", Cmd::IsTwoHandMotionValid, "IsTwoHandMotionValid"},
    {"IsThumbupMotionValid", Cmd::IsThumbupMotionValid, "IsThumbupMotionValid"},
    {"IsSlapMotionValid", Cmd::IsSlapMotionValid, "IsSlapMotionValid"},
    {"EnableMotionHint", Cmd::EnableMotionHint, "EnableMotionHint"},
    {"SetZoomTriggerCondition", Cmd::SetZoomTriggerCondition, "SetZoomTriggerCondition"},
    {"GetZoomTriggerCondition", Cmd::GetZoomTriggerCondition, "GetZoomTriggerCondition"},
    {"SetMotionSubscribeInfo", Cmd::SetMotionSubscribeInfo, "SetMotionSubscribeInfo"},
    {"IsSupportMotionRecognition", Cmd::IsSupportMotionRecognition,
     "----- IsSupportMotionRecognition "},
    {"SetRotateTriggerCondition", Cmd::SetRotateTriggerCondition, "SetRotateTriggerCondition"},
    {"GetRotateTriggerCondition", Cmd::GetRotateTriggerCondition, "GetRotateTriggerCondition"},
    {"EnableMotionSwipeRecognition", Cmd::EnableMotionSwipeRecognition,
     "EnableMotionSwipeRecognition"},
    {"DisableMotionSwipeRecognition", Cmd::DisableMotionSwipeRecognition,
     "DisableMotionSwipeRecognition"},
};

const CommandEntry kFaceCommands[] = {
    {"SubscribeFaceEvent", Cmd::SubscribeFaceEvent, "----- SubscribeFaceEvent "},
    {"UnsubscribeFaceEvent", Cmd::UnsubscribeFaceEvent, "----- UnsubscribeFaceEvent "},
    {"InitializeFace", Cmd::InitializeFace, "----- InitializeFace "},
    {"InitFaceRecognition", Cmd::InitializeFace, "----- InitFaceRecognition "},
    {"EnableFaceRecognition", Cmd::EnableFaceRecognition, "----- EnableFaceRecognition "},
    {"DisableFaceRecognition", Cmd::DisableFaceRecognition, "----- DisableFaceRecognition "},
    {"StartFaceDetection", Cmd::StartFaceDetection, "----- StartFaceDetection "},
    {"StopFaceDetection", Cmd::StopFaceDetection, "----- StopFaceDetection "},
    {"StartFaceTraining", Cmd::StartFaceTraining, "----- StartFaceTraining "},
    {"StopFaceTraining", Cmd::StopFaceTraining, "----- StopFaceTraining "},
    {"StartFaceRecognition", Cmd::StartFaceRecognition, "----- StartFaceRecognition "},
    {"StopFaceRecognition", Cmd::StopFaceRecognition, "----- StopFaceRecognition "},
    // Recognises against all stored faces, exactly like StartFaceRecognition.
    {"StartFaceRecognitionAll", Cmd::StartFaceRecognition, "----- StartFaceRecognition "},
    {"OverWriteFace", Cmd::OverWriteFace, "----- OverWriteFace "},
    {"OverWriteThumbnail", Cmd::OverWriteThumbnail, "----- OverWriteThumbnail "},
    {"TrainThumbnail", Cmd::TrainThumbnail, "----- TrainThumbnail "},
    {"FaceVersion", Cmd::FaceVersion, "----- FaceVersion "},
    {"EraseFace", Cmd::EraseFace, "----- EraseFace "},
    {"ClearFaceRecogData", Cmd::ClearFaceRecogData, "----- ClearFaceRecogData "},
    {"GetFaceRecognitionResult", Cmd::GetFaceRecognitionResult, "----- GetFaceRecognitionResult "},
    {"GetFaceDetectionResult", Cmd::GetFaceDetectionResult, "----- GetFaceDetectionResult "},
    {"GetFaceTrainingResult", Cmd::GetFaceTrainingResult, "----- GetFaceTrainingResult "},
    {"EraseFaceImageID", Cmd::EraseFaceImageID, "----- EraseFaceImageID "},
    {"EncryptFaceImage", Cmd::EncryptFaceImage, "----- EncryptFaceImage "},
    {"DecryptFaceImage", Cmd::DecryptFaceImage, "----- DecryptFaceImage "},
    {"DestroyFace", Cmd::DestroyFace, "----- DestroyFace "},
};

const CommandEntry kSpeechCommands[] = {
    {"EnableTTSEngine", Cmd::EnableTTSEngine, "----- EnableTTSEngine "},
    {"DisableTTSEngine", Cmd::DisableTTSEngine, "----- DisableTTSEngine "},
    {"IsTTSEngineEnabled", Cmd::IsTTSEngineEnabled, "----- IsTTSEngineEnabled "},
    {"StopTTSEngine", Cmd::StopTTSEngine, "----- StopTTSEngine "},
    {"StartTTSEngine", Cmd::StartTTSEngine, "----- StartTTSEngine "},
    {"IsSupportTTS", Cmd::IsSupportTTS, "----- IsSupportTTS "},
    {"GetUserLevel", Cmd::GetUserLevel, "----- GetUserLevel "},
    {"IsTTSInPlaying", Cmd::IsTTSInPlaying, "----- IsTTSInPlaying "},
};

// Finds a command by its exact, case-sensitive name and logs its command line.
template <size_t N>
const CommandEntry* MatchCommand(const CommandEntry (&group)[N], const std::string& strCmd) {
    for (const CommandEntry& entry : group) {
        if (strCmd == entry.name) {
            EXEC_LOGE("[%s] %s", "Execute", entry.trace);
            return &entry;
        }
    }
    return nullptr;
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

// ---- Lifecycle ---------------------------------------------------------------------------------

CEmpEngineGX::CEmpEngineGX()
    : m_pManger(nullptr),
      m_pProviderPlugin(nullptr),
      m_MotionHandle(0),
      m_FaceHandle(0),
      m_MotionLoop(nullptr),
      m_SubscribeThread(),
      m_MotionSupported(false),
      m_FaceSupported(false) {
    EMP_TRACE();
    {
        ExclusiveRegistry registry;
        m_pCtx = this;
        m_vCtxList.push_back(this);
    }
    EMP_LOGE("m_vCtxList  add [%p]", static_cast<void*>(this));
    Initial();
}

int CEmpEngineGX::Initial() {
    EMP_TRACE();
    m_pManger = new CEmpManager();
    if (m_pManger == nullptr) EMP_LOGE("[Main ERROR] NULL == m_pManger\n");
    m_pProviderPlugin = new CEmpProviderPlugin();
    if (m_pProviderPlugin == nullptr) {
        EMP_LOGE("[Main ERROR] NULL == m_pProviderPlugin\n");
    } else {
        m_pProviderPlugin->LoadMotionLib();
    }
    m_IsSupportGX();
    if (!m_MotionSupported) return 1;

    // The library writes a local; callbacks see the handle only once it is published.
    int handle = m_MotionHandle;
    int created = m_pManger->CreateMotionHandle(&handle);
    {
        ExclusiveRegistry registry;
        m_MotionHandle = handle;
    }
    if (created == 0) {
        EMP_LOGE("CreateMotionHandle failed");
        m_MotionSupported = false;
    }
    return 1;
}

CEmpEngineGX::~CEmpEngineGX() {
    EMP_TRACE();
    if (m_pManger != nullptr) {
        if (m_MotionSupported) m_pManger->DestroyMotionHandle(m_MotionHandle);
        delete m_pManger;
        m_pManger = nullptr;
    }
    bool removed = false;
    {
        ExclusiveRegistry registry;
        for (auto it = m_vCtxList.begin(); it != m_vCtxList.end(); ++it) {
            if (*it == this) {
                m_vCtxList.erase(it);
                removed = true;
                break;
            }
        }
        m_pCtx = nullptr;
    }
    if (removed) EMP_LOGE("remove pointer (%p)", static_cast<void*>(this));
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_MotionWidgetName.clear();
    }
    m_MotionSupported = false;
    m_DestroyMotionMainLoopThread();
    if (m_pProviderPlugin != nullptr) {
        m_pProviderPlugin->UnLoadMotionLib();
        delete m_pProviderPlugin;
        m_pProviderPlugin = nullptr;
    }
}

void CEmpEngineGX::m_IsSupportGX() {
    std::string model = CEMPUtil::GetSWVersion();
    std::vector<std::string> codes{"T-VRDLPQNC", "T-VRDLTSWC", "T-VRDLBGYC"};
    if (CEMPUtil::MatchSpecifiedModels(model, codes) == 0) {
        m_MotionSupported = false;
        m_FaceSupported = false;
        EMP_LOGE("current model %s don't support motion control and voice recognition",
                 model.c_str());
        return;
    }
    int motion = 0;
    if (GetData(ID_MRT_MOTION_RECOG, &motion) == 0) {
        EMP_LOGE("GetData of ID_MRT_MOTION_RECOG failed");
        m_MotionSupported = false;
        return;
    }
    EMP_LOGE("The value of ID_MRT_MOTION_RECOG is %d", motion);
    m_MotionSupported = motion != 0;
    m_FaceSupported = motion != 0;
    int voice = 0;
    if (GetData(ID_MRT_VOICE_RECOG, &voice) == 0) {
        EMP_LOGE("GetData of ID_MRT_VOICE_RECOG failed");
    } else {
        EMP_LOGE("The value of ID_MRT_VOICE_RECOG is %d", voice);
    }
}

// ---- Commands ----------------------------------------------------------------------------------

bool CEmpEngineGX::Execute(std::string& result, const std::string& strCmd, const std::string& arg1,
                           const std::string& arg2, const std::string&, const std::string&) {
    EMP_LOGE("strCmd = %s", strCmd.c_str());
    if (strCmd == "RecogEMPUsingStatus") {
        EMP_LOGD("didn't come RecogEMPUsingStatus ....... \n");
        SetReturnValueInteger(result, 0);
        return 0;
    }
    if (m_pManger == nullptr) {
        EMP_LOGE("m_pManger is NULL");
        return 0;
    }
    try {
        if (m_MotionSupported && ExecuteMotionCommand(result, strCmd, arg1, arg2)) return 1;
        if (m_FaceSupported && ExecuteFaceCommand(result, strCmd, arg1, arg2)) return 1;
        if (ExecuteSpeechCommand(result, strCmd, arg1)) return 1;
    } catch (const std::exception& e) {
        // Only a failed allocation gets here; the command was recognised and has run as far as
        // it could.
        EMP_LOGE("command %s failed: %s", strCmd.c_str(), e.what());
        return 1;
    }
    return 0;
}

bool CEmpEngineGX::ExecuteMotionCommand(std::string& result, const std::string& strCmd,
                                        const std::string& arg1, const std::string& arg2) {
    const CommandEntry* entry = MatchCommand(kMotionCommands, strCmd);
    if (entry == nullptr) return false;
    CEmpManager& manager = *m_pManger;
    const int handle = m_MotionHandle;
    switch (entry->cmd) {
        case Cmd::GetGestureCameraStatus: {
            gx_camera_status status = 2;
            manager.GetGestureCameraStatus(&status);
            EXEC_LOGE("current camera status = %d", status);
            SetReturnValueInteger(result, status);
            break;
        }
        case Cmd::SubscirbeMotionSignal:
            SetReturnValueInteger(
                result, manager.SubscirbeMotionSignal(handle, DecimalArgument(arg1), ProcessSignal,
                                                      nullptr));
            break;
        case Cmd::UnSubscirbeMotionSignal:
            SetReturnValueInteger(result,
                                  manager.UnSubscirbeMotionSignal(handle, DecimalArgument(arg1)));
            break;
        case Cmd::StartMotionRecognition:
            SetReturnValueInteger(result, manager.StartMotionRecognition(handle));
            break;
        case Cmd::StopMotionRecognition:
            SetReturnValueInteger(result, manager.StopMotionRecognition(handle));
            break;
        case Cmd::EnableGestureRecognition:
            SetReturnValueInteger(result, manager.EnableGestureRecognition(handle));
            break;
        case Cmd::DisableGestureRecognition:
            SetReturnValueInteger(result, manager.DisableGestureRecognition(handle));
            break;
        case Cmd::SubscribeMotionEvent:
            ReplaceMotionWidgetName(arg1);
            SetReturnValueInteger(result, manager.SubscribeMotionEvent(handle));
            break;
        case Cmd::UnsubscribeMotionEvent:
            ReplaceMotionWidgetName(arg1);
            SetReturnValueInteger(result, manager.UnsubscribeMotionEvent(handle));
            break;
        case Cmd::GetMotionRecognitionStatus: {
            gx_recog_status status = 0;
            manager.GetMotionRecognitionStatus(handle, &status);
            SetReturnValueInteger(result, status);
            break;
        }
        case Cmd::GetMotionBrightnessLevel: {
            int level = 0;
            manager.GetMotionBrightnessLevel(handle, &level);
            SetReturnValueInteger(result, level);
            break;
        }
        case Cmd::IsMotionEngineValid:
            SetReturnValueInteger(result, manager.IsMotionEngineValid(handle));
            break;
        case Cmd::IsMotionRecognitionEnabled:
            SetReturnValueInteger(result, manager.IsMotionRecognitionEnabled(handle));
            break;
        case Cmd::IsTwoHandMotionValid:
            SetReturnValueInteger(result, manager.IsTwoHandMotionValid(handle));
            break;
        case Cmd::IsThumbupMotionValid:
            SetReturnValueInteger(result, manager.IsThumbupMotionValid(handle));
            break;
        case Cmd::IsSlapMotionValid:
            SetReturnValueInteger(result, manager.IsSlapMotionValid(handle));
            break;
        case Cmd::EnableMotionHint:
            SetReturnValueInteger(result, manager.EnableMotionHint(handle, DecimalArgument(arg1)));
            break;
        case Cmd::SetZoomTriggerCondition:
            SetReturnValueInteger(result,
                                  manager.SetZoomTriggerCondition(handle, DecimalArgument(arg1)));
            break;
        case Cmd::GetZoomTriggerCondition: {
            int value = -1;
            manager.GetZoomTriggerCondition(handle, &value);
            SetReturnValueInteger(result, value);
            break;
        }
        case Cmd::SetMotionSubscribeInfo:
            SetMotionSubscribeInfo(result, arg1, arg2);
            break;
        case Cmd::IsSupportMotionRecognition:
            SetReturnValueInteger(result, manager.IsSupportMotionRecognition(handle));
            break;
        case Cmd::SetRotateTriggerCondition:
            SetReturnValueInteger(result,
                                  manager.SetRotateTriggerCondition(handle, DecimalArgument(arg1)));
            break;
        case Cmd::GetRotateTriggerCondition: {
            int value = -1;
            manager.GetRotateTriggerCondition(handle, &value);
            SetReturnValueInteger(result, value);
            break;
        }
        case Cmd::EnableMotionSwipeRecognition:
            SetReturnValueInteger(result, manager.EnableMotionSwipeRecognition(handle));
            break;
        case Cmd::DisableMotionSwipeRecognition:
            SetReturnValueInteger(result, manager.DisableMotionSwipeRecognition(handle));
            break;
        default:
            break;
    }
    return true;
}

bool CEmpEngineGX::ExecuteFaceCommand(std::string& result, const std::string& strCmd,
                                      const std::string& arg1, const std::string& arg2) {
    const CommandEntry* entry = MatchCommand(kFaceCommands, strCmd);
    if (entry == nullptr) return false;
    CEmpManager& manager = *m_pManger;
    const int handle = m_FaceHandle;
    switch (entry->cmd) {
        case Cmd::SubscribeFaceEvent: {
            bool all = true;
            for (int signal = 0; signal <= GX_FACE_SIGNAL_RECOGNITION_FAIL; ++signal) {
                if (gx_set_face_signal_subscribed(handle, signal, ProcessSignal, nullptr) == 0) {
                    all = false;
                    break;
                }
            }
            if (all) SetReturnValueInteger(result, 0);
            SetReturnValueInteger(result, manager.SubscribeFaceEvent(arg1));
            break;
        }
        case Cmd::UnsubscribeFaceEvent:
            for (int signal = 0; signal <= GX_FACE_SIGNAL_RECOGNITION_FAIL; ++signal) {
                gx_face_signal_unsubscribed(handle, signal);
            }
            SetReturnValueInteger(result, manager.UnsubscribeFaceEvent(arg1));
            break;
        case Cmd::InitializeFace: {
            // The library writes a local; callbacks see the handle only once it is published.
            int created = handle;
            int rc = manager.CreateFaceHandle(&created);
            {
                ExclusiveRegistry registry;
                m_FaceHandle = created;
            }
            SetReturnValueInteger(result, rc);
            break;
        }
        case Cmd::EnableFaceRecognition:
            SetReturnValueInteger(result, manager.EnableFaceRecognition(handle, 1));
            break;
        case Cmd::DisableFaceRecognition:
            // Disabling always destroys the handle; the field keeps the old value.
            SetReturnValueInteger(result, manager.EnableFaceRecognition(handle, 0));
            SetReturnValueInteger(result, manager.DestroyFaceHandle(handle));
            break;
        case Cmd::StartFaceDetection:
            SetReturnValueInteger(result, manager.StartFaceDetection(handle));
            break;
        case Cmd::StopFaceDetection:
            SetReturnValueInteger(result, manager.StopFaceDetection(handle));
            break;
        case Cmd::StartFaceTraining: {
            gx_face_detect_data face{DecimalArgument(arg1), 0, 0, 0, 0};
            SetReturnValueInteger(result, manager.StartFaceTraining(handle, &face));
            break;
        }
        case Cmd::StopFaceTraining:
            SetReturnValueInteger(result, manager.StopFaceTraining(handle));
            break;
        case Cmd::StartFaceRecognition: {
            gx_face_detect_data face{DecimalArgument(arg1), 0, 0, 0, 0};
            SetReturnValueInteger(result, manager.StartFaceRecognition(handle, &face));
            break;
        }
        case Cmd::StopFaceRecognition:
            SetReturnValueInteger(result, manager.StopFaceRecognition(handle));
            break;
        case Cmd::OverWriteFace: {
            Json::Value root;
            gx_face_detect_data face{0, 0, 0, 0, 0};
            if (!ParseJsonText(arg1, root) || !root.isObject() ||
                !ReadIntMember(root, "nDetectID", face.nDetectID) ||
                !ReadIntMember(root, "x", face.x) || !ReadIntMember(root, "y", face.y) ||
                !ReadIntMember(root, "w", face.w) || !ReadIntMember(root, "h", face.h)) {
                break;  // not a face record: nothing is stored
            }
            SetReturnValueInteger(result,
                                  manager.OverWriteFace(handle, &face, DecimalArgument(arg2)));
            break;
        }
        case Cmd::OverWriteThumbnail:
            SetReturnValueInteger(
                result, manager.OverWriteThumbnail(handle, arg1.c_str(), DecimalArgument(arg2)));
            break;
        case Cmd::TrainThumbnail:
            SetReturnValueInteger(result, manager.TrainThumbnail(handle, arg1.c_str()));
            break;
        case Cmd::FaceVersion: {
            float version = 0.0f;  // a version the library leaves unwritten reads 0.00
            manager.GetFaceVersion(handle, &version);
            char text[8];
            if (std::snprintf(text, sizeof text, "%3.2f", static_cast<double>(version)) < 0) {
                text[0] = '\0';
            }
            SetReturnValueASCII(result, text);
            break;
        }
        case Cmd::EraseFace:
            SetReturnValueInteger(result, manager.EraseFace(handle, DecimalArgument(arg1)));
            break;
        case Cmd::ClearFaceRecogData:
            SetReturnValueInteger(result, manager.ClearFaceRecogData(handle));
            break;
        case Cmd::GetFaceRecognitionResult: {
            RecognitionResults found;
            int rc = manager.GetFaceRecognitionResult(handle, &found.records, &found.count);
            if (rc != 0 && found.records != nullptr) {
                Json::Value list;
                for (int i = 0; i < found.count; ++i)
                    list.append(RecognitionItem(found.records[i]));
                Json::Value root;
                root["recognitionResult"] = list;
                std::string text = root.toStyledString();
                SetReturnValueASCII(result, text);
            } else {
                SetReturnValueInteger(result, rc != 0 ? 1 : 0);
            }
            break;
        }
        case Cmd::GetFaceDetectionResult: {
            DetectionResults found;
            int rc = manager.GetFaceDetectionResult(handle, &found.faces, &found.count);
            if (rc != 0) {
                Json::Value list;
                for (int i = 0; found.faces != nullptr && i < found.count; ++i) {
                    const gx_face_detect_data& face = found.faces[i];
                    Json::Value item;
                    item["nFaceRecogID"] = face.nDetectID;
                    item["x"] = face.x;
                    item["y"] = face.y;
                    item["w"] = face.w;
                    item["h"] = face.h;
                    list.append(item);
                }
                Json::Value root;
                root["recognitionResult"] = list;
                std::string text = root.toStyledString();
                SetReturnValueASCII(result, text);
            } else {
                SetReturnValueInteger(result, 0);
            }
            break;
        }
        case Cmd::GetFaceTrainingResult: {
            TrainingResult trained;
            if (manager.GetFaceTrainingResult(handle, &trained.record) != 0) {
                const gx_face_recog_result& record = trained.record;
                Json::Value root;
                root["detectResult"] = record.id;
                root["x"] = record.x;
                root["y"] = record.y;
                root["w"] = record.w;
                root["h"] = record.h;
                root["imageFilePath"] = PathText(record.imageFilePath);
                std::string text = root.toStyledString();
                SetReturnValueASCII(result, text);
            } else {
                SetReturnValueInteger(result, 0);
            }
            break;
        }
        case Cmd::EraseFaceImageID:
            SetReturnValueInteger(result, manager.EraseFaceImageID(handle, DecimalArgument(arg1)));
            break;
        case Cmd::EncryptFaceImage:
        case Cmd::DecryptFaceImage: {
            // The library may write into the image text: it gets a private copy.
            std::vector<char> image(arg1.c_str(), arg1.c_str() + arg1.size() + 1);
            int rc = entry->cmd == Cmd::EncryptFaceImage
                         ? manager.EncryptFaceImage(handle, image.data())
                         : manager.DecryptFaceImage(handle, image.data());
            SetReturnValueInteger(result, rc);
            break;
        }
        case Cmd::DestroyFace:
            SetReturnValueInteger(result, manager.DestroyFaceHandle(handle));
            break;
        default:
            break;
    }
    return true;
}

bool CEmpEngineGX::ExecuteSpeechCommand(std::string& result, const std::string& strCmd,
                                        const std::string& arg1) {
    const CommandEntry* entry = MatchCommand(kSpeechCommands, strCmd);
    if (entry == nullptr) return false;
    CEmpManager& manager = *m_pManger;
    switch (entry->cmd) {
        case Cmd::EnableTTSEngine:
            SetReturnValueInteger(result, manager.EnableTTSEngine(true));
            break;
        case Cmd::DisableTTSEngine:
            SetReturnValueInteger(result, manager.EnableTTSEngine(false));
            break;
        case Cmd::IsTTSEngineEnabled:
            SetReturnValueInteger(result, manager.IsTTSEngineEnabled());
            break;
        case Cmd::StopTTSEngine:
            SetReturnValueInteger(result, manager.StopTTSEngine());
            break;
        case Cmd::StartTTSEngine:
            SetReturnValueInteger(result, manager.StartTTSEngine(arg1));
            break;
        case Cmd::IsSupportTTS:
            SetReturnValueInteger(result, manager.IsSupportTTS());
            break;
        case Cmd::GetUserLevel:
            SetReturnValueASCII(result, "Beginner");
            break;
        case Cmd::IsTTSInPlaying:
            SetReturnValueInteger(result, manager.IsTTSInPlaying());
            break;
        default:
            break;
    }
    return true;
}

void CEmpEngineGX::ReplaceMotionWidgetName(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_MotionWidgetName = name;
    }
    EXEC_LOGE("m_MotionWidgetName = %s\n", name.c_str());
}

std::string CEmpEngineGX::MotionWidgetName() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_MotionWidgetName;
}

// ---- Motion subscription -----------------------------------------------------------------------

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
    if (pthread_create(&m_SubscribeThread, nullptr, SubScribe, request) != 0) {
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

gx_motion_signal CEmpEngineGX::ConvertToMotionEvent(const std::string& name) {
    static const std::map<std::string, gx_motion_signal> kSignals = {
        {"EVENT_MOTION_START_ENGINE", static_cast<gx_motion_signal>(1000)},
        {"EVENT_MOTION_BEGIN_MONITOR", static_cast<gx_motion_signal>(1028)},
        {"EVENT_MOTION_END_MONITOR", static_cast<gx_motion_signal>(1029)},
        {"EVENT_MOTION_SLAP_LEFT", static_cast<gx_motion_signal>(1000)},
        {"EVENT_MOTION_SLAP_RIGHT", static_cast<gx_motion_signal>(1001)},
        {"EVENT_MOTION_SLAP_DOWN", static_cast<gx_motion_signal>(1003)},
        {"EVENT_MOTION_SLAP_UP", static_cast<gx_motion_signal>(1002)},
        {"EVENT_MOTION_CIRCLE", static_cast<gx_motion_signal>(1004)},
        {"EVENT_MOTION_GRAB", static_cast<gx_motion_signal>(1005)},
        {"EVENT_MOTION_UNGRAB", static_cast<gx_motion_signal>(1007)},
        {"EVENT_MOTION_PRIMARY_HAND_LOST", static_cast<gx_motion_signal>(1015)},
        {"EVENT_MOTION_RAW_DATA", static_cast<gx_motion_signal>(1024)},
        {"EVENT_MOTION_DEFAULT_MAX", static_cast<gx_motion_signal>(1035)},
    };
    auto it = kSignals.find(name);
    return it != kSignals.end() ? it->second : GX_MOTION_SIGNAL_DEFAULT_MAX;
}

void* CEmpEngineGX::SubScribe(void* arg) {
    auto* request = static_cast<MotionSubscribeRequest*>(arg);
    EMP_LOGD("in CEmpEngineGX::SubScribe");

    CEmpEngineGX* engine = nullptr;
    {
        SharedRegistry registry;
        engine = m_pCtx;
    }
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

// ---- Signals -----------------------------------------------------------------------------------

void CEmpEngineGX::ProcessSignal(int handle, int signal, void* data, void* userData) {
    EMP_TRACE();
    if (handle == -1) {
        EMP_LOGE("received Handle [%d] is error!\n", handle);
        return;
    }
    SharedRegistry registry;
    for (size_t i = 0; i < m_vCtxList.size(); ++i) {
        auto* pThis = static_cast<CEmpEngineGX*>(m_vCtxList[i]);
        if (pThis == nullptr) {
            EMP_TRACE();
            continue;
        }
        EMP_LOGD("pThis[%p]", static_cast<void*>(pThis));
        // A library thread must never see an exception; a failed allocation drops the event.
        try {
            if (pThis->m_MotionHandle == handle) {
                EMP_LOGD("received singnal [%d] MotionHandle [%d]\n", signal, handle);
                pThis->ProcessMotionSignal(signal, data, userData);
            } else if (pThis->m_FaceHandle == handle) {
                EMP_LOGD("received singnal [%d] FaceHandle [%d]\n", signal, handle);
                pThis->ProcessFaceSignal(signal, data, userData);
            } else {
                EMP_LOGD("m_MotionHandle = %d,   m_FaceHandle=%d", pThis->m_MotionHandle,
                         pThis->m_FaceHandle);
            }
        } catch (const std::exception& e) {
            EMP_LOGE("signal %d dropped: %s", signal, e.what());
        }
    }
}

void CEmpEngineGX::ProcessMotionSignal(int signal, void* data, void*) {
    static const std::map<int, const char*> kEventNames = {
        {1000, "EVENT_MOTION_SLAP_LEFT"},   {1001, "EVENT_MOTION_SLAP_RIGHT"},
        {1002, "EVENT_MOTION_SLAP_UP"},     {1003, "EVENT_MOTION_SLAP_DOWN"},
        {1004, "EVENT_MOTION_CIRCLE"},      {1005, "EVENT_MOTION_GRAB"},
        {1007, "EVENT_MOTION_UNGRAB"},      {1015, "EVENT_MOTION_PRIMARY_HAND_LOST"},
        {1024, "EVENT_MOTION_RAW_DATA"},    {1028, "EVENT_MOTION_BEGIN_MONITOR"},
        {1029, "EVENT_MOTION_END_MONITOR"},
    };
    EMP_LOGE("in ProcessMotionSignal");
    // Valid signals are 1000 to 1034; the unsigned difference rejects everything else at once.
    if (static_cast<unsigned>(signal) - 1000u > 34u) {
        EMP_LOGD("Invalid signal %d \n", signal);
        return;
    }
    std::string name = kMotionDefaultName;
    std::string payload;
    if (data != nullptr) {
        payload = static_cast<const char*>(data);
    } else {
        EMP_LOGE("pTemp == NULL");
    }
    auto it = kEventNames.find(signal);
    if (it != kEventNames.end()) name = it->second;
    EMP_LOGE("strSingal is %s", name.c_str());
    if (name == kMotionDefaultName) return;
    SendEvent(kMotionEventCode, name + "-" + MotionWidgetName(), payload);
}

void CEmpEngineGX::ProcessFaceSignal(int signal, void* data, void*) {
    static const char* const kEventNames[] = {
        "EVENT_FR_DETECT_FACE",        "EVENT_FR_ON_RECOGNIZING", "EVENT_FR_TRAIN_RESULT",
        "EVENT_FR_RECOGNITION_RESULT", "EVENT_FR_DETECTION_FAIL", "EVENT_FR_RECOGNITION_FAIL",
    };
    EMP_LOGD("Enter");
    if (static_cast<unsigned>(signal) > 5u) {
        EMP_LOGD("Invalid signal %d \n", signal);
        return;
    }
    std::string name = kFaceDefaultName;
    name = kEventNames[signal];
    EMP_LOGD("Receive face event [%s]", name.c_str());
    if (name == kFaceDefaultName) return;
    std::string payload;
    GetFaceResult(payload, signal, data);
    SendEvent(kFaceEventCode, name, payload);
    EMP_LOGD("Send faceResult [%s]", payload.c_str());
}

int CEmpEngineGX::GetFaceResult(std::string& result, int signal, void* data) {
    EMP_TRACE_EMPTY(EMP_PRIO_INFO, EMP_COLOR_GREEN);
    switch (signal) {
        case GX_FACE_SIGNAL_TRAIN_RESULT: {
            if (data == nullptr) return 0;
            const auto* record = static_cast<const gx_face_recog_result*>(data);
            Json::Value root;
            root["detectResult"] = record->id;
            root["imageFilePath"] = PathText(record->imageFilePath);
            result = root.toStyledString();
            break;
        }
        case GX_FACE_SIGNAL_RECOGNITION_RESULT: {
            if (data == nullptr) return 0;
            const auto* record = static_cast<const gx_face_recog_result*>(data);
            Json::Value list;
            list.append(RecognitionItem(*record));
            Json::Value root;
            root["recognitionResult"] = list;
            result = root.toStyledString();
            break;
        }
        case GX_FACE_SIGNAL_DETECT_FACE: {
            if (data == nullptr) return 0;
            const auto* face = static_cast<const gx_face_detect_data*>(data);
            Json::Value item;
            item["nDetectID"] = face->nDetectID;
            item["x"] = face->x;
            item["y"] = face->y;
            item["w"] = face->w;
            item["h"] = face->h;
            Json::Value list;
            list.append(item);
            Json::Value root;
            root["detectResult"] = list;
            result = root.toStyledString();
            break;
        }
        default:
            break;
    }
    return 1;
}

}  // namespace kiv
