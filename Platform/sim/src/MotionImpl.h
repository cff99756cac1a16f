// The motion library's work, kept in libgxemp-sim.so beside the rest of the simulator's state.
// libgesture-bridge.so exports the library's own symbol names and resolves each of them to the
// function of the same name with the gxsim_ prefix.
#pragma once

#include "gx_types.h"

// X(index, name, parameters): the 20 entry points in the loader's order.
#define GXSIM_MOTION_ENTRY_POINTS(X)                                              \
    X(0, gx_motion_recog_create, (int* handle))                                   \
    X(1, gx_motion_recog_destroy, (int handle))                                   \
    X(2, gx_set_motion_signal_subscribed,                                         \
      (int handle, int signal, GXSignalCallback cb, void* userData))              \
    X(3, gx_motion_signal_unsubscribed, (int handle, int signal))                 \
    X(4, gx_start_motion_recog, (int handle))                                     \
    X(5, gx_stop_motion_recog, (int handle))                                      \
    X(6, gx_enable_motion_recognition, (int handle, int enable))                  \
    X(7, gx_is_motion_recognition_enabled, (int handle))                          \
    X(8, gx_get_motion_recognition_status, (int handle, gx_recog_status* status)) \
    X(9, gx_get_motion_brightness_level, (int handle, int* level))                \
    X(10, gx_is_two_hand_motion_valid, (int handle))                              \
    X(11, gx_is_slap_motion_valid, (int handle))                                  \
    X(12, gx_is_thumbup_motion_valid, (int handle))                               \
    X(13, gx_enable_motion_hint, (int handle, int value))                         \
    X(14, gx_set_zoom_trigger_condition, (int handle, int value))                 \
    X(15, gx_get_zoom_trigger_condition, (int handle, int* value))                \
    X(16, gx_set_rotate_trigger_condition, (int handle, int value))               \
    X(17, gx_get_rotate_trigger_condition, (int handle, int* value))              \
    X(18, gx_is_motion_engine_valid, (int handle))                                \
    X(19, gx_enable_swipe, (int handle, int enable))

extern "C" {
#define GXSIM_DECLARE_IMPL(index, name, params) int gxsim_##name params;
GXSIM_MOTION_ENTRY_POINTS(GXSIM_DECLARE_IMPL)
#undef GXSIM_DECLARE_IMPL
}
