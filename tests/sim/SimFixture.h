// Shared fixture of the simulator tests: a fresh simulator and a private temporary directory.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gxsim/Sim.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        gxsim::Reset();
        GError* err = nullptr;
        gchar* dir = g_dir_make_tmp("gxsim-test-XXXXXX", &err);
        ASSERT_NE(dir, nullptr) << err->message;
        dir_ = dir;
        g_free(dir);
        gxsim::SetSettingsPath(dir_ + "/state/settings.ini");
        gxsim::SetFaceImageDirectory(dir_ + "/faces");
    }

    void TearDown() override {
        gxsim::Reset();
        gxsim::SetSettingsPath("");
        RemoveTree(dir_);
    }

    const std::string& dir() const { return dir_; }
    std::string settings() const { return dir_ + "/state/settings.ini"; }

    static void RemoveTree(const std::string& path);

private:
    std::string dir_;
};

// Runs this test binary again as a helper process (see main.cpp); returns its pid.
pid_t SpawnSelf(const std::vector<std::string>& args);
// Waits for a helper and returns its exit status (or -signal).
int WaitChild(pid_t pid);

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
