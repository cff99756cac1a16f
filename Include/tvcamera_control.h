// TV camera-control service.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Writes the camera state to *state: 0 disconnected, 1 to 3 connected, anything else an error
// state. Returns 0 on success, non-zero when the state could not be queried.
int tvcamera_control_check_camera_state(int* state);

#ifdef __cplusplus
}
#endif
