#include "EmpProviderPlugin.h"

#include <dlfcn.h>

#include "EmpLog.h"

#ifndef GXEMP_MOTION_LIB_PATH
#define GXEMP_MOTION_LIB_PATH "/usr/lib/libgesture-bridge.so"
#endif

// Every entry point, in the library's order. One list drives the definitions, the binding and the
// reset, so that the three can never disagree. The missing-symbol report is written out per entry
// point instead: a log line names the source line of its statement, and a list expands on one.
#define GX_MOTION_ENTRY_POINTS(X)       \
    X(gx_motion_recog_create)           \
    X(gx_motion_recog_destroy)          \
    X(gx_set_motion_signal_subscribed)  \
    X(gx_motion_signal_unsubscribed)    \
    X(gx_start_motion_recog)            \
    X(gx_stop_motion_recog)             \
    X(gx_enable_motion_recognition)     \
    X(gx_is_motion_recognition_enabled) \
    X(gx_get_motion_recognition_status) \
    X(gx_get_motion_brightness_level)   \
    X(gx_is_two_hand_motion_valid)      \
    X(gx_is_slap_motion_valid)          \
    X(gx_is_thumbup_motion_valid)       \
    X(gx_enable_motion_hint)            \
    X(gx_set_zoom_trigger_condition)    \
    X(gx_get_zoom_trigger_condition)    \
    X(gx_set_rotate_trigger_condition)  \
    X(gx_get_rotate_trigger_condition)  \
    X(gx_is_motion_engine_valid)        \
    X(gx_enable_swipe)

namespace kiv {

#define GX_DEFINE_POINTER(name) name##_t CEmpProviderPlugin::name = nullptr;
GX_MOTION_ENTRY_POINTS(GX_DEFINE_POINTER)
#undef GX_DEFINE_POINTER

CEmpProviderPlugin::CEmpProviderPlugin() : m_pMotionLibHandle(nullptr) {}

// The loader never unloads on destruction: the engine unloads explicitly before deleting it.
CEmpProviderPlugin::~CEmpProviderPlugin() {}

void CEmpProviderPlugin::LoadMotionLib() {
    EMP_LOGE("Loading motion lib");
    if (m_pMotionLibHandle != nullptr) {
        EMP_LOGD("motion lib already loaded");
        return;
    }
    m_pMotionLibHandle = dlopen(GXEMP_MOTION_LIB_PATH, RTLD_LAZY);
    if (m_pMotionLibHandle == nullptr) {
        EMP_LOGE("dlopen failed:motion lib");
        return;
    }
#define GX_BIND(name) name = reinterpret_cast<name##_t>(dlsym(m_pMotionLibHandle, #name));
    GX_MOTION_ENTRY_POINTS(GX_BIND)
#undef GX_BIND
    // One statement per entry point, so that each report carries its own source line.
    if (gx_motion_recog_create == nullptr) EMP_LOGE("gx_motion_recog_create get symbol failed");
    if (gx_motion_recog_destroy == nullptr) EMP_LOGE("gx_motion_recog_destroy get symbol failed");
    if (gx_set_motion_signal_subscribed == nullptr)
        EMP_LOGE("gx_set_motion_signal_subscribed get symbol failed");
    if (gx_motion_signal_unsubscribed == nullptr)
        EMP_LOGE("gx_motion_signal_unsubscribed get symbol failed");
    if (gx_start_motion_recog == nullptr) EMP_LOGE("gx_start_motion_recog get symbol failed");
    if (gx_stop_motion_recog == nullptr) EMP_LOGE("gx_stop_motion_recog get symbol failed");
    if (gx_enable_motion_recognition == nullptr)
        EMP_LOGE("gx_enable_motion_recognition get symbol failed");
    if (gx_is_motion_recognition_enabled == nullptr)
        EMP_LOGE("gx_is_motion_recognition_enabled get symbol failed");
    if (gx_get_motion_recognition_status == nullptr)
        EMP_LOGE("gx_get_motion_recognition_status get symbol failed");
    if (gx_get_motion_brightness_level == nullptr)
        EMP_LOGE("gx_get_motion_brightness_level get symbol failed");
    if (gx_is_two_hand_motion_valid == nullptr)
        EMP_LOGE("gx_is_two_hand_motion_valid get symbol failed");
    if (gx_is_slap_motion_valid == nullptr) EMP_LOGE("gx_is_slap_motion_valid get symbol failed");
    if (gx_is_thumbup_motion_valid == nullptr)
        EMP_LOGE("gx_is_thumbup_motion_valid get symbol failed");
    if (gx_enable_motion_hint == nullptr) EMP_LOGE("gx_enable_motion_hint get symbol failed");
    if (gx_set_zoom_trigger_condition == nullptr)
        EMP_LOGE("gx_set_zoom_trigger_condition get symbol failed");
    if (gx_get_zoom_trigger_condition == nullptr)
        EMP_LOGE("gx_get_zoom_trigger_condition get symbol failed");
    if (gx_set_rotate_trigger_condition == nullptr)
        EMP_LOGE("gx_set_rotate_trigger_condition get symbol failed");
    if (gx_get_rotate_trigger_condition == nullptr)
        EMP_LOGE("gx_get_rotate_trigger_condition get symbol failed");
    if (gx_is_motion_engine_valid == nullptr)
        EMP_LOGE("gx_is_motion_engine_valid get symbol failed");
    if (gx_enable_swipe == nullptr) EMP_LOGE("gx_enable_swipe get symbol failed");
}

void CEmpProviderPlugin::UnLoadMotionLib() {
    if (m_pMotionLibHandle == nullptr) {
        EMP_LOGD("motion lib already unloaded");
        return;
    }
    dlclose(m_pMotionLibHandle);
#define GX_CLEAR(name) name = nullptr;
    GX_MOTION_ENTRY_POINTS(GX_CLEAR)
#undef GX_CLEAR
    m_pMotionLibHandle = nullptr;
}

}  // namespace kiv
