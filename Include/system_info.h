// Platform system-information service.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Key of the TV's model text.
#define SYSTEM_INFO_KEY_MODEL_NAME 1104

// Stores in *value a newly allocated copy of the text under `key`, which the caller releases with
// free(), or leaves *value untouched when the service has no text. Returns 0 on success.
int system_info_get_value_string(int key, char** value);

#ifdef __cplusplus
}
#endif
