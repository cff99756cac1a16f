// TV factory-data service.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Factory-data items read by the plug-in.
#define ID_MRT_VOICE_RECOG 830
#define ID_MRT_MOTION_RECOG 831

// Reads item `id` into *value. Returns non-zero on success, 0 when the item cannot be read.
int GetData(int id, int* value);

#ifdef __cplusplus
}
#endif
