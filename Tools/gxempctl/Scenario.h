// Scenario files (JSON Lines) for gxempctl play and gxempctl record: the steps, how a file is read
// and checked, and the event names a step may mention. docs/SCENARIOS.md describes every key.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gxempctl {

enum class Action { Gesture, Face, Faces, Camera, Setting, Profile, Command, ExpectEvent };

struct Step {
    std::string file;
    int line = 0;
    double at = 0;  // seconds from the start of the file
    Action action = Action::Gesture;
    std::string key;     // the action's key as written ("gesture", "motion", "expect-event", ...)
    Json::Value source;  // the line as written, printed when the step runs

    int32_t number = 0;                 // motion or face signal, camera state, setting value
    std::optional<std::string> data;    // gesture text (none: no data)
    std::optional<Json::Value> record;  // face record (none: no data)
    std::vector<std::array<int32_t, 5>> faces;  // person, x, y, w, h
    std::string text;                           // setting key, profile path (absolute)
    std::vector<std::string> words;             // command and its arguments
    Json::Value expect;                         // command: {served, result}; event: {name, data}
    double within = 1;                          // expect-event: seconds after its time

    bool OnSimulator() const { return action != Action::Command && action != Action::ExpectEvent; }
};

struct Scenario {
    std::string file;
    std::vector<Step> steps;
};

// Reads and checks a whole file. A problem throws ServiceError{kExitUsage, "FILE:LINE: 'KEY':
// what"}.
Scenario LoadScenario(const std::string& path);

// The face event names by signal (0..5).
extern const char* const kFaceEvents[6];
// The signal of a motion event name (EVENT_MOTION_GRAB), if it is one.
std::optional<int32_t> MotionSignal(const std::string& name);
// Whether the service can send an event of that name: a motion name with "-" and any widget, or
// a face name.
bool IsEventName(const std::string& name);
// Whether a received payload matches an expected "data": a string equal byte for byte, or an
// object whose members the payload (as JSON) holds with equal values.
bool DataMatches(const Json::Value& expected, const std::string& payload);

}  // namespace gxempctl
