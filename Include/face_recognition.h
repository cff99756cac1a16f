// Face-recognition library, linked at build time.
#pragma once

#include <stddef.h>

#include "gx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Face signals.
enum {
    GX_FACE_SIGNAL_DETECT_FACE = 0,
    GX_FACE_SIGNAL_ON_RECOGNIZING = 1,
    GX_FACE_SIGNAL_TRAIN_RESULT = 2,
    GX_FACE_SIGNAL_RECOGNITION_RESULT = 3,
    GX_FACE_SIGNAL_DETECTION_FAIL = 4,
    GX_FACE_SIGNAL_RECOGNITION_FAIL = 5,
};

// A detected face: its detection number and rectangle.
typedef struct {
    int nDetectID;
    int x;
    int y;
    int w;
    int h;
} gx_face_detect_data;

// A training or recognition result. imageFilePath is allocated with malloc by the library and
// owned by whoever receives the record, who releases it with free().
//
// The library and its callers agree on the field order, not on a size: on the TV's 32-bit
// platform the record is six 4-byte fields (24 bytes), while on a 64-bit host the pointer is 8
// bytes and aligned to 8, which makes it 32 bytes. Fields are only ever reached by name; never
// reorder them, and never copy the record by a size or an offset written out by hand.
typedef struct {
    int id;
    char* imageFilePath;
    int x;
    int y;
    int w;
    int h;
} gx_face_recog_result;

#ifdef __cplusplus
#define GX_STATIC_ASSERT(cond, msg) static_assert(cond, msg);
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define GX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg);
#else  // checked where the compiler can
#define GX_STATIC_ASSERT(cond, msg)
#endif
GX_STATIC_ASSERT(offsetof(gx_face_recog_result, id) == 0 &&
                     offsetof(gx_face_recog_result, id) <
                         offsetof(gx_face_recog_result, imageFilePath) &&
                     offsetof(gx_face_recog_result, imageFilePath) <
                         offsetof(gx_face_recog_result, x) &&
                     offsetof(gx_face_recog_result, x) < offsetof(gx_face_recog_result, y) &&
                     offsetof(gx_face_recog_result, y) < offsetof(gx_face_recog_result, w) &&
                     offsetof(gx_face_recog_result, w) < offsetof(gx_face_recog_result, h),
                 "gx_face_recog_result: id, imageFilePath, x, y, w, h, in this order")
GX_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(gx_face_recog_result) == 24,
                 "gx_face_recog_result: 24 bytes on a 32-bit platform")
#undef GX_STATIC_ASSERT

int gx_face_recog_create(int* handle);
int gx_face_recog_destroy(int handle);
int gx_set_face_signal_subscribed(int handle, int signal, GXSignalCallback cb, void* userData);
int gx_face_signal_unsubscribed(int handle, int signal);
int gx_enable_face_recognition(int handle, int enable);
int gx_start_face_detection(int handle);
int gx_stop_face_detection(int handle);
int gx_start_face_training(int handle, gx_face_detect_data* face);
int gx_stop_face_training(int handle);
int gx_start_face_recognition(int handle, gx_face_detect_data* face);
int gx_stop_face_recognition(int handle);
int gx_over_write_face(int handle, const gx_face_detect_data* face, int id);
int gx_over_write_thumbnail(int handle, const char* image, int id);
int gx_train_thumbnail(int handle, const char* image);
int gx_get_face_version(int handle, float* version);
int gx_erase_face(int handle, int id);
int gx_clear_face_recog_data(int handle);
// On success *results (and *count) describe a malloc'ed array the caller releases with free(),
// after freeing each record's imageFilePath.
int gx_get_face_recognition_result(int handle, gx_face_recog_result** results, int* count);
// On success *faces (and *count) describe a malloc'ed array the caller releases with free().
int gx_get_face_detection_result(int handle, gx_face_detect_data** faces, int* count);
int gx_get_face_training_result(int handle, gx_face_recog_result* result);
int gx_erase_face_image_id(int handle, int id);
int gx_encrypt_face_image(int handle, char* image);
int gx_decrypt_face_image(int handle, char* image);

#ifdef __cplusplus
}
#endif
