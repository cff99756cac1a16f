// Types shared by the motion- and face-recognition libraries.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Called by a library on its own thread for each subscribed signal, with the handle of the
// instance, the signal number, the signal's data and the user data given at subscription.
typedef void (*GXSignalCallback)(int handle, int signal, void* data, void* userData);

// Motion-recognition status, as one 32-bit value.
typedef int gx_recog_status;

// Gesture camera status, as one 32-bit value.
typedef int gx_camera_status;

#ifdef __cplusplus
}
#endif
