// Shared fixture of the simulator tests: a fresh simulator and a private temporary directory.
#pragma once

#include <dlfcn.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"
#include "gesture_bridge.h"
#include "gxsim/Sim.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        gxsim::Reset();
        gxsim::SetSettingsPath(settings());
        gxsim::SetFaceImageDirectory(dir() + "/faces");
    }

    void TearDown() override {
        gxsim::Reset();
        gxsim::SetSettingsPath("");
    }

    const std::string& dir() const { return m_Dir.path(); }
    std::string settings() const { return m_Dir / "state/settings.ini"; }

private:
    gxtest::TempDir m_Dir{"gxsim-test"};
};

// This test binary, run again as a helper process (see main.cpp) by gxtest::Spawn.
constexpr char kSelf[] = "/proc/self/exe";

using gxtest::ReadFile;
using gxtest::Spawn;
using gxtest::WaitExit;
void WriteText(const std::string& path, const std::string& text);

// A motion callback that records what it is given and whether it ever runs beside itself; the
// one given "held" waits until released.
struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> texts;
    int inside = 0, most = 0;
    bool release = false;
    static void Cb(int, int, void* data, void* user) {
        auto* self = static_cast<Recorder*>(user);
        std::unique_lock<std::mutex> lk(self->mu);
        self->most = std::max(self->most, ++self->inside);
        self->texts.emplace_back(data ? static_cast<const char*>(data) : "(none)");
        self->cv.notify_all();
        if (self->texts.back() == "held") self->cv.wait(lk, [&] { return self->release; });
        --self->inside;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lk(mu);
        return texts.size();
    }
    void Release() {
        std::lock_guard<std::mutex> lk(mu);
        release = true;
        cv.notify_all();
    }
    // An instance of the motion library `lib` (opened as the plug-in opens it) whose signal 1005
    // calls this recorder: its handle, 0 when none was made.
    int Instance(void* lib) {
        int h = 0;
        if (lib == nullptr || reinterpret_cast<gx_motion_recog_create_t>(
                                  dlsym(lib, "gx_motion_recog_create"))(&h) != 1)
            return 0;
        reinterpret_cast<gx_set_motion_signal_subscribed_t>(
            dlsym(lib, "gx_set_motion_signal_subscribed"))(h, 1005, &Cb, this);
        return h;
    }
};
