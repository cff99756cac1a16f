// Shared set-up of the fuzz targets: a private directory for the simulator's files and a quiet
// log, so that a run touches nothing outside its own temporary directory.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "gxsim/Sim.h"

namespace fuzzsupport {

// In memory (/dev/shm) where there is one: the simulator replaces its files with an fsync on every
// write, which on a disk costs milliseconds an input. Left behind when the process is killed; a
// clean exit removes it. The simulator's default paths (the settings store, the face images'
// runtime directory) point into it from the first call, before the simulator is used: a state
// reset then leaves the files where they were without a change of its own.
inline const std::string& PrivateDir() {
    static const std::string dir = [] {
        char shm[] = "/dev/shm/gxemp-fuzz-XXXXXX", tmp[] = "/tmp/gxemp-fuzz-XXXXXX";
        const char* made = mkdtemp(shm) != nullptr ? shm : mkdtemp(tmp);
        if (made == nullptr) abort();
        static const std::string cleanup = "rm -rf '" + std::string(made) + "'";
        std::atexit([] { (void)!std::system(cleanup.c_str()); });
        setenv("GXEMP_SETTINGS", (std::string(made) + "/settings.ini").c_str(), 1);  // SettingsPath
        setenv("XDG_RUNTIME_DIR", made, 1);
        return std::string(made);
    }();
    return dir;
}

// The simulator's files: its default paths once PrivateDir has set them (first asked for while
// the simulator is in its default state).
inline const std::string& SettingsPath() {
    static const std::string path = PrivateDir() + "/settings.ini";
    return path;
}
inline const std::string& FaceImageDirectory() {
    static const std::string path = [] {
        const std::string dir = PrivateDir() + "/";  // first: it sets the default
        std::string faces = gxsim::GetFaceImageDirectory();
        if (faces.compare(0, dir.size(), dir) != 0) abort();
        return faces;
    }();
    return path;
}

// The simulator in its default state, logging nowhere, its files in the private directory. The
// paths are set only where an input changed them away from the defaults (PrivateDir): each change
// costs a copy of the whole state.
inline void QuietSimulator() {
    gxsim::Reset();
    gxsim::SetLogQuiet(true);
    if (gxsim::GetSettingsPath() != SettingsPath()) gxsim::SetSettingsPath(SettingsPath());
    if (gxsim::GetFaceImageDirectory() != FaceImageDirectory())
        gxsim::SetFaceImageDirectory(FaceImageDirectory());
}

// Stops the run with a message: a property the target checks does not hold.
#define FUZZ_CHECK(cond, ...)                                       \
    do {                                                            \
        if (!(cond)) {                                              \
            std::fprintf(stderr, "fuzz check failed: %s: ", #cond); \
            std::fprintf(stderr, __VA_ARGS__);                      \
            std::fprintf(stderr, "\n");                             \
            abort();                                                \
        }                                                           \
    } while (0)

}  // namespace fuzzsupport
