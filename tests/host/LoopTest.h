// An sd-event loop for one test, run until the test says it is done, with a deadline that only
// bounds a test that fails (it never decides a result).
#pragma once

#include <gtest/gtest.h>
#include <systemd/sd-event.h>

#include "TempDir.h"
#include "gxhost/BusRef.h"

class LoopTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(sd_event_new(m_Event.out()), 0); }
    // Runs the loop until Done(); false when the deadline came first.
    bool RunUntilDone() {
        gxhost::EventSourceRef deadline;
        EXPECT_GE(sd_event_add_time_relative(
                      m_Event.get(), deadline.out(), CLOCK_MONOTONIC, 60 * 1000 * 1000, 0,
                      [](sd_event_source* s, uint64_t, void*) {
                          return sd_event_exit(sd_event_source_get_event(s), 2);
                      },
                      nullptr),
                  0);
        return sd_event_loop(m_Event.get()) == 0;
    }
    void Done() { sd_event_exit(m_Event.get(), 0); }
    sd_event* event() { return m_Event.get(); }

    gxhost::EventRef m_Event;
    gxtest::TempDir m_Temp{"gxemp-host-test"};
    const std::string m_Dir = m_Temp.path();
};
