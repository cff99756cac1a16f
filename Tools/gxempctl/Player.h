// gxempctl play's player: runs scenarios against the service, each step at its time.
//
// Time is kept on the monotonic clock with sd-event timers (1 µs accuracy), so the engine's events
// are read while the player waits. Steps go out in file order, one call at a time: a step is sent
// at its time, or as soon as the reply to the step before it has arrived, so that a gesture never
// overtakes the subscription written above it. The lateness of every step shows in its "time".
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Scenario.h"
#include "gxempctl.h"

namespace gxempctl {

constexpr int kExitExpectation = 1;

struct PlayOptions {
    std::vector<std::string> files;
    double speed = 1;
    long loops = 1;
    bool dryRun = false;
    bool json = false;  // JSON lines (--json, or stdout is not a terminal), else a line per step
};

uint64_t NowUsec();
double Seconds(uint64_t usec);
// A step as a reader would say it, e.g. "face-enrolment.jsonl:12  faces [[1,120,80,64,64]]"; a
// command with its words, an expected event as having arrived (it is printed when it did).
std::string StepText(const Step& s);
void PrintText(double seconds, const std::string& text);
// The line printed for a step: the step as written, where it comes from and when it ran.
Json::Value StepLine(const Step& s, const PlayOptions& o, long loop);

class Player : public Loop {
public:
    Player(const std::vector<Scenario>& scenarios, const PlayOptions& options)
        : m_Scenarios(scenarios), m_Options(options) {}

    // Plays every scenario (in loops); the exit code.
    int Play();

    long steps = 0, expectations = 0;
    size_t Events() const { return m_Received.size(); }

private:
    // The timers are switched off with their handles, so that none fires for a player gone.
    using TimerRef = gxhost::Ref<sd_event_source, sd_event_source_disable_unref>;
    struct Expectation {
        const Step* step;
        const step::ExpectEvent* want;
        uint64_t deadline;
    };
    struct Received {
        std::string name, data;
        bool matched = false;
    };

    const Scenario& Current() const { return m_Scenarios[m_Run % m_Scenarios.size()]; }
    long LoopIndex() const { return static_cast<long>(m_Run / m_Scenarios.size()); }
    uint64_t Due(const Step& s) const;
    void StartRun(size_t run);
    void Continue();
    void Send(const Step& s, uint64_t due);
    // How each kind of step is played, and what is done with its reply.
    void Perform(const Step& s, const step::ExpectEvent& e, uint64_t due);
    template <typename Kind>
    void Perform(const Step& s, const Kind& kind, uint64_t due);
    void Replied(const Step& s, const step::Command& c, sd_bus_message* m);
    template <typename Kind>
    void Replied(const Step&, const Kind&, sd_bus_message*) {}
    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*);
    void OnEngineEvent(Json::Value v) override;
    void Match();
    static int OnStepTimer(sd_event_source*, uint64_t, void* userdata);
    static int OnDeadline(sd_event_source*, uint64_t, void* userdata);
    void Failed(const Step& s, const Json::Value& expected, const Json::Value& got);
    void Finish(int code);

    const std::vector<Scenario>& m_Scenarios;
    PlayOptions m_Options;
    size_t m_Run = 0, m_Next = 0, m_Cursor = 0;
    uint64_t m_Start = 0;
    bool m_Finished = false;
    const Step* m_InFlight = nullptr;
    gxhost::SlotRef m_Pending;
    TimerRef m_StepTimer, m_DeadlineTimer;
    std::deque<Expectation> m_Waiting;
    std::vector<Received> m_Received;
};

}  // namespace gxempctl
