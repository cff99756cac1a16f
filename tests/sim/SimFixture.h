// Shared fixture of the simulator tests: a fresh simulator and a private temporary directory.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "Process.h"
#include "TempDir.h"
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
