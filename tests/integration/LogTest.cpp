// The service's log: one line per call, the lines logged before the options were read, levels,
// and opening the file again after it was rotated.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Harness.h"

namespace itest {
namespace {

std::string ReadFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

constexpr char kConstructorLine[] = "[16] GX-EMP: EmpAppGX.cpp: CEmpAppGX(";

TEST(LogTest, WhatIsLoggedBeforeTheOptionsGoesWhereTheyChoose) {
    ProcessResult help = RunProgram({GXEMP_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.find("GX-EMP"), std::string::npos) << help.out;
    ProcessResult bad = RunProgram({GXEMP_BIN, "--frobnicate"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.find("GX-EMP"), std::string::npos) << bad.err;

    // --log FILE: the line logged while the application object was built is the file's first,
    // and nothing reaches stderr.
    Service service;
    std::string log = ReadFile(service.logPath());
    EXPECT_EQ(log.rfind(kConstructorLine, 0), 0u) << log;
    EXPECT_EQ(ReadFile(service.dir() + "/stderr"), "");
}

// Every process writes whole lines to the one log; a message that holds a line break is still
// one line, and a lower priority than --log-level is dropped.
TEST(LogTest, OneCallIsOneLineAndLevelsFilter) {
    Service service({"--log-level", "info"});
    {
        Client client(service.address());
        uint32_t engine = client.Open();
        client.Execute(engine, "SubscribeMotionEvent", "w\nx");
        client.Execute(engine, "RecogEMPUsingStatus");
    }
    ASSERT_TRUE(service.WaitForLog("exited with status 0")) << service.Log();
    std::istringstream lines(service.Log());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line[0], '[') << "a line without its prefix: " << line;
        EXPECT_EQ(line.rfind("[2] ", 0), std::string::npos) << "below --log-level: " << line;
    }
    EXPECT_GT(count, 10);
    std::string log = service.Log();
    EXPECT_NE(log.find("m_MotionWidgetName = w\\nx\\n\033[0m\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[4] EMP-HOST: [worker "), std::string::npos) << "a worker's lines name it";
}

class RotationTest : public ::testing::TestWithParam<bool> {};

// logrotate moves the file away and sends SIGHUP: the broker and its workers write on into a new
// file under the old name.
TEST_P(RotationTest, SighupOpensTheLogFileAgain) {
    std::vector<std::string> args;
    if (GetParam()) args.push_back("--single-process");
    Service service(args);
    Client client(service.address());
    uint32_t engine = client.Open();
    ASSERT_TRUE(service.WaitForLog("engine 1 opened"));
    std::string rotated = service.logPath() + ".1";
    ASSERT_EQ(std::rename(service.logPath().c_str(), rotated.c_str()), 0);
    kill(service.pid(), SIGHUP);
    // The broker forwards the signal: both it and the client's worker open the file again.
    auto reopened = [&] {
        std::string text = ReadFile(service.logPath());
        size_t n = 0;
        for (size_t at = text.find("opened again"); at != std::string::npos;
             at = text.find("opened again", at + 1))
            ++n;
        return n;
    };
    size_t expected = GetParam() ? 1 : 2;
    for (int i = 0; i < 250 && reopened() < expected; ++i) usleep(20000);
    ASSERT_EQ(reopened(), expected) << ReadFile(service.logPath());
    client.Execute(engine, "StartMotionRecognition");
    ASSERT_TRUE(service.WaitForLog("[Execute] StartMotionRecognition")) << service.Log();
    std::string fresh = ReadFile(service.logPath());
    EXPECT_NE(fresh.find("log file " + service.logPath() + " opened again"), std::string::npos);
    EXPECT_EQ(ReadFile(rotated).find("StartMotionRecognition"), std::string::npos)
        << "the command was logged into the rotated file";
}

INSTANTIATE_TEST_SUITE_P(Modes, RotationTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "SingleProcess" : "WorkerPerClient";
                         });

}  // namespace
}  // namespace itest
