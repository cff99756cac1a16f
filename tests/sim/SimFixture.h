// Shared fixture of the simulator tests: a fresh simulator and a private temporary directory.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
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
        std::error_code ignored;  // a read-only file in it goes as well
        std::filesystem::remove_all(dir_, ignored);
    }

    const std::string& dir() const { return dir_; }
    std::string settings() const { return dir_ + "/state/settings.ini"; }

private:
    std::string dir_;
};

// Runs this test binary again as a helper process (see main.cpp); returns its pid.
pid_t SpawnSelf(const std::vector<std::string>& args);
// Waits for a helper and returns its exit status (or -signal).
int WaitChild(pid_t pid);

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
