// Binds the plug-in to the motion-recognition library at run time. The library's entry points are
// held in process-wide function pointers, through which every motion operation calls; a pointer
// the library did not provide stays null and its operation fails by itself.
#pragma once

#include "gesture_bridge.h"

namespace kiv {

class CEmpProviderPlugin {
public:
    CEmpProviderPlugin();
    ~CEmpProviderPlugin();

    CEmpProviderPlugin(const CEmpProviderPlugin&) = delete;
    CEmpProviderPlugin& operator=(const CEmpProviderPlugin&) = delete;

    void LoadMotionLib();
    void UnLoadMotionLib();

    static gx_motion_recog_create_t gx_motion_recog_create;
    static gx_motion_recog_destroy_t gx_motion_recog_destroy;
    static gx_set_motion_signal_subscribed_t gx_set_motion_signal_subscribed;
    static gx_motion_signal_unsubscribed_t gx_motion_signal_unsubscribed;
    static gx_start_motion_recog_t gx_start_motion_recog;
    static gx_stop_motion_recog_t gx_stop_motion_recog;
    static gx_enable_motion_recognition_t gx_enable_motion_recognition;
    static gx_is_motion_recognition_enabled_t gx_is_motion_recognition_enabled;
    static gx_get_motion_recognition_status_t gx_get_motion_recognition_status;
    static gx_get_motion_brightness_level_t gx_get_motion_brightness_level;
    static gx_is_two_hand_motion_valid_t gx_is_two_hand_motion_valid;
    static gx_is_slap_motion_valid_t gx_is_slap_motion_valid;
    static gx_is_thumbup_motion_valid_t gx_is_thumbup_motion_valid;
    static gx_enable_motion_hint_t gx_enable_motion_hint;
    static gx_set_zoom_trigger_condition_t gx_set_zoom_trigger_condition;
    static gx_get_zoom_trigger_condition_t gx_get_zoom_trigger_condition;
    static gx_set_rotate_trigger_condition_t gx_set_rotate_trigger_condition;
    static gx_get_rotate_trigger_condition_t gx_get_rotate_trigger_condition;
    static gx_is_motion_engine_valid_t gx_is_motion_engine_valid;
    static gx_enable_swipe_t gx_enable_swipe;

private:
    void* m_pMotionLibHandle;
};

}  // namespace kiv
