// The face library's image files: the images training writes (a small PGM naming the person in
// a comment), those handed to it, and their encryption.
#pragma once

#include <optional>
#include <string>

#include "SimState.h"

namespace gxsim::internal {

// The tag of the comment that names the person in a face image.
constexpr char kPersonTag[] = "# gxsim person=";

// Reads an image handed to the library; one over kMaxImageBytes is not read (the call fails).
bool ReadImageFile(const char* path, std::string* out);
bool IsPgm(const std::string& data);
// The person a face image names, if any.
std::optional<int> PersonOf(const std::string& pgm);
// A 32x32 grey image whose pattern and comment depend on the person.
std::string FaceImage(int person);
// Files an image as the stored face `id`'s (with the person it shows) and, with `box`, moves the
// face's box. Expects SimState().mu held.
bool OverwriteStored(int id, const gx_face_detect_data* box, const std::string* image,
                     std::optional<int> person);
// Stores a trained face under the next face id: its image file and, in the TV's state, the face
// as `face` describes it. Nothing is stored, and no id used up, when the image cannot be
// written. Expects SimState().mu held.
std::optional<FaceResult> StoreFace(const std::string& image, StoredFace face);
// Encrypts an image file in place (keeping its mode); false when it cannot be read or written or
// is encrypted already.
bool EncryptImageFile(const char* path);
// Decrypts an image file EncryptImageFile encrypted; false for any other file.
bool DecryptImageFile(const char* path);

}  // namespace gxsim::internal
