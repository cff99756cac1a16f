// Scenario files (JSON Lines) for gxempctl play and gxempctl record: the steps, how a file is read
// and checked, and the event names a step may mention. docs/SCENARIOS.md describes every key.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Client.h"

namespace gxempctl {

// What a step does, one struct per kind of step.
namespace step {
struct Gesture {  // "gesture" (by name) or "motion" (by number)
    int32_t signal = 0;
    std::optional<std::string> data;  // none: no data
};
struct Face {
    int32_t signal = 0;                 // 0..5
    std::optional<Json::Value> record;  // none: no data
};
struct Faces {
    std::vector<gxclient::FaceInView> faces;
};
struct Camera {
    int32_t state = 0;
};
struct Setting {
    std::string key;
    int32_t value = 0;
};
struct Profile {
    std::string path;  // absolute
};
struct Command {
    std::vector<std::string> words;  // the command and its arguments
    Json::Value expect;              // {served, result}, or null
};
struct ExpectEvent {
    Json::Value expect;  // {name, data}
    double within = 1;   // seconds after the step's time
};
}  // namespace step

using Action = std::variant<step::Gesture, step::Face, step::Faces, step::Camera, step::Setting,
                            step::Profile, step::Command, step::ExpectEvent>;

struct Step {
    std::string file;
    int line = 0;
    double at = 0;       // seconds from the start of the file
    std::string key;     // the action's key as written ("gesture", "motion", "expect-event", ...)
    Json::Value source;  // the line as written, printed when the step runs
    Action action;

    template <typename Kind>
    const Kind* As() const {
        return std::get_if<Kind>(&action);
    }
    // Whether it drives the simulated TV (the other steps are commands and expectations).
    bool OnSimulator() const { return !As<step::Command>() && !As<step::ExpectEvent>(); }
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
