// Motion-recognition library. The plug-in opens it at run time and reaches it only through the
// function types below; the prototypes document the exported symbols.
#pragma once

#include <stdint.h>

#include "gx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Motion signal numbers. Valid numbers are 1000 to 1034. The library passes a signal as a signed
// 32-bit value. An enumeration without a negative enumerator is unsigned to GCC, so the type's
// width and sign are fixed here: by the underlying type in C++, by the typedef in C (where the
// enumerators are plain int constants).
#ifdef __cplusplus
enum gx_motion_signal : int32_t {
#else
typedef int32_t gx_motion_signal;
enum {
#endif
    GX_MOTION_SIGNAL_SLAP_LEFT = 1000,
    GX_MOTION_SIGNAL_SLAP_RIGHT = 1001,
    GX_MOTION_SIGNAL_SLAP_UP = 1002,
    GX_MOTION_SIGNAL_SLAP_DOWN = 1003,
    GX_MOTION_SIGNAL_CIRCLE = 1004,
    GX_MOTION_SIGNAL_GRAB = 1005,
    GX_MOTION_SIGNAL_UNGRAB = 1007,
    GX_MOTION_SIGNAL_PRIMARY_HAND_LOST = 1015,
    GX_MOTION_SIGNAL_RAW_DATA = 1024,
    GX_MOTION_SIGNAL_BEGIN_MONITOR = 1028,
    GX_MOTION_SIGNAL_END_MONITOR = 1029,
    GX_MOTION_SIGNAL_DEFAULT_MAX = 1035,
};

typedef int (*gx_motion_recog_create_t)(int* handle);
typedef int (*gx_motion_recog_destroy_t)(int handle);
typedef int (*gx_set_motion_signal_subscribed_t)(int handle, int signal, GXSignalCallback cb,
                                                 void* userData);
typedef int (*gx_motion_signal_unsubscribed_t)(int handle, int signal);
typedef int (*gx_start_motion_recog_t)(int handle);
typedef int (*gx_stop_motion_recog_t)(int handle);
typedef int (*gx_enable_motion_recognition_t)(int handle, int enable);
typedef int (*gx_is_motion_recognition_enabled_t)(int handle);
typedef int (*gx_get_motion_recognition_status_t)(int handle, gx_recog_status* status);
typedef int (*gx_get_motion_brightness_level_t)(int handle, int* level);
typedef int (*gx_is_two_hand_motion_valid_t)(int handle);
typedef int (*gx_is_slap_motion_valid_t)(int handle);
typedef int (*gx_is_thumbup_motion_valid_t)(int handle);
typedef int (*gx_enable_motion_hint_t)(int handle, int value);
typedef int (*gx_set_zoom_trigger_condition_t)(int handle, int value);
typedef int (*gx_get_zoom_trigger_condition_t)(int handle, int* value);
typedef int (*gx_set_rotate_trigger_condition_t)(int handle, int value);
typedef int (*gx_get_rotate_trigger_condition_t)(int handle, int* value);
typedef int (*gx_is_motion_engine_valid_t)(int handle);
typedef int (*gx_enable_swipe_t)(int handle, int enable);

int gx_motion_recog_create(int* handle);
int gx_motion_recog_destroy(int handle);
int gx_set_motion_signal_subscribed(int handle, int signal, GXSignalCallback cb, void* userData);
int gx_motion_signal_unsubscribed(int handle, int signal);
int gx_start_motion_recog(int handle);
int gx_stop_motion_recog(int handle);
int gx_enable_motion_recognition(int handle, int enable);
int gx_is_motion_recognition_enabled(int handle);
int gx_get_motion_recognition_status(int handle, gx_recog_status* status);
int gx_get_motion_brightness_level(int handle, int* level);
int gx_is_two_hand_motion_valid(int handle);
int gx_is_slap_motion_valid(int handle);
int gx_is_thumbup_motion_valid(int handle);
int gx_enable_motion_hint(int handle, int value);
int gx_set_zoom_trigger_condition(int handle, int value);
int gx_get_zoom_trigger_condition(int handle, int* value);
int gx_set_rotate_trigger_condition(int handle, int value);
int gx_get_rotate_trigger_condition(int handle, int* value);
int gx_is_motion_engine_valid(int handle);
int gx_enable_swipe(int handle, int enable);

#ifdef __cplusplus
}
#endif
