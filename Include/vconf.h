// Platform settings store: integer values under text keys.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Reads the integer under `key` into *value. Returns 0 on success, non-zero when the key cannot
// be read (then *value is left as it was).
int vconf_get_int(const char* key, int* value);

// Stores `value` under `key`. Returns 0 on success, non-zero on failure.
int vconf_set_int(const char* key, int value);

#ifdef __cplusplus
}
#endif
