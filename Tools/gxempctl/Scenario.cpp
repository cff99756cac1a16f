// Reading and checking scenario files. Everything is checked before anything is played, so that a
// bad file never half-runs: each problem is one line naming the file, the line and the key.
#include "Scenario.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "gxempctl.h"

namespace gxempctl {

const char* const kFaceEvents[6] = {
    "EVENT_FR_DETECT_FACE",        "EVENT_FR_ON_RECOGNIZING", "EVENT_FR_TRAIN_RESULT",
    "EVENT_FR_RECOGNITION_RESULT", "EVENT_FR_DETECTION_FAIL", "EVENT_FR_RECOGNITION_FAIL",
};

std::optional<int32_t> MotionSignal(const std::string& name) {
    auto it = MotionEvents().find(name);
    if (it == MotionEvents().end()) return std::nullopt;
    return it->second;
}

bool IsEventName(const std::string& name) {
    for (const char* face : kFaceEvents)
        if (name == face) return true;
    for (const auto& motion : MotionEvents())
        if (name.compare(0, motion.first.size() + 1, motion.first + "-") == 0) return true;
    return false;
}

namespace {

Json::CharReaderBuilder StrictReader() {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    return builder;
}

// An expected value held by an actual one: objects by the members given, arrays element by
// element, everything else equal.
bool Holds(const Json::Value& actual, const Json::Value& expected) {
    if (expected.isObject()) {
        if (!actual.isObject()) return false;
        for (const std::string& key : expected.getMemberNames())
            if (!actual.isMember(key) || !Holds(actual[key], expected[key])) return false;
        return true;
    }
    if (expected.isArray()) {
        if (!actual.isArray() || actual.size() != expected.size()) return false;
        for (Json::ArrayIndex i = 0; i < expected.size(); ++i)
            if (!Holds(actual[i], expected[i])) return false;
        return true;
    }
    return actual == expected;
}

bool IsInt32(const Json::Value& v) {
    return (v.type() == Json::intValue || v.type() == Json::uintValue) && v.isInt();
}

bool IsNumber(const Json::Value& v) {
    return v.type() == Json::intValue || v.type() == Json::uintValue || v.type() == Json::realValue;
}

const std::set<std::string> kModifiers = {"data", "record", "expect", "within"};

// Checks one line's step, failing with the file, the line and the key.
class LineReader {
public:
    LineReader(const std::string& file, int line, const std::string& dir)
        : m_File(file), m_Line(line), m_Dir(dir) {}

    [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
        std::string where = m_File + ":" + std::to_string(m_Line) + ": ";
        throw ServiceError{kExitUsage, where + (key.empty() ? "" : "'" + key + "': ") + what};
    }

    int32_t Int(const Json::Value& v, const std::string& key) const {
        if (!IsInt32(v)) Fail(key, "must be an integer, not " + JsonLine(v));
        return v.asInt();
    }

    // Members of an object step value: each known, of the right kind.
    void Members(const Json::Value& v, const std::string& key,
                 const std::set<std::string>& known) const {
        if (!v.isObject()) Fail(key, "must be an object, not " + JsonLine(v));
        for (const std::string& m : v.getMemberNames())
            if (known.count(m) == 0) Fail(key + "." + m, "unknown key");
    }

    // `previous` is the time of the step before (null for the first).
    Step Read(const Json::Value& v, const Json::Value& previous) const {
        Step step;
        step.file = m_File;
        step.line = m_Line;
        step.source = v;
        for (const std::string& key : v.getMemberNames()) {
            if (key == "at" || kModifiers.count(key) != 0) continue;
            if (Readers().count(key) == 0) Fail(key, "unknown key");
            if (!step.key.empty())
                Fail(key, "a second action on one line (the first is '" + step.key + "')");
            step.key = key;
        }
        if (!v.isMember("at")) Fail("at", "missing: every step has a time in seconds");
        const Json::Value& at = v["at"];
        if (!IsNumber(at) || !std::isfinite(at.asDouble()) || at.asDouble() < 0)
            Fail("at", "must be a number of seconds, 0 or more, not " + JsonLine(at));
        step.at = at.asDouble();
        if (!previous.isNull() && step.at < previous.asDouble())
            Fail("at",
                 "time goes backwards: " + JsonLine(at) + " comes after " + JsonLine(previous));
        if (step.key.empty())
            Fail("",
                 "no action: one of gesture, motion, face, faces, camera, setting, profile, "
                 "command, expect-event");
        const Reader& reader = Readers().at(step.key);
        for (const std::string& m : kModifiers)
            if (v.isMember(m) && reader.modifiers.count(m) == 0)
                Fail(m, "does not go with '" + step.key + "'");
        step.action = (this->*reader.read)(v, step.key);
        return step;
    }

private:
    Action Gesture(const Json::Value& v, const std::string& key) const {
        step::Gesture g;
        const Json::Value& a = v[key];
        if (key == "motion") {
            g.signal = Int(a, key);
        } else {
            auto signal = a.isString() ? MotionSignal(a.asString()) : std::nullopt;
            if (!signal) Fail(key, "unknown motion event " + JsonLine(a));
            g.signal = *signal;
        }
        if (v.isMember("data")) {
            if (!v["data"].isString()) Fail("data", "must be a string");
            g.data = v["data"].asString();
        }
        return g;
    }

    Action Face(const Json::Value& v, const std::string& key) const {
        step::Face f;
        f.signal = Int(v[key], key);
        if (f.signal < 0 || f.signal > 5) Fail(key, "a face signal is 0 to 5");
        if (v.isMember("record")) {
            const Json::Value& r = v["record"];
            Members(r, "record", {"id", "x", "y", "w", "h", "image_path"});
            for (const std::string& m : r.getMemberNames()) {
                if (m != "image_path")
                    Int(r[m], "record." + m);
                else if (!r[m].isString())
                    Fail("record.image_path", "must be a string");
            }
            f.record = r;
        }
        return f;
    }

    Action Faces(const Json::Value& v, const std::string& key) const {
        step::Faces faces;
        const Json::Value& a = v[key];
        if (!a.isArray()) Fail(key, "must be a list of [person, x, y, w, h]");
        for (const Json::Value& f : a) {
            if (!f.isArray() || f.size() != 5)
                Fail(key, "each face is [person, x, y, w, h], not " + JsonLine(f));
            faces.faces.push_back(
                {Int(f[0], key), Int(f[1], key), Int(f[2], key), Int(f[3], key), Int(f[4], key)});
        }
        return faces;
    }

    Action Camera(const Json::Value& v, const std::string& key) const {
        return step::Camera{Int(v[key], key)};
    }

    Action Setting(const Json::Value& v, const std::string& key) const {
        const Json::Value& a = v[key];
        Members(a, key, {"key", "value"});
        if (!a["key"].isString() || a["key"].asString().empty())
            Fail("setting.key", "must be a settings key");
        return step::Setting{a["key"].asString(), Int(a["value"], "setting.value")};
    }

    Action Profile(const Json::Value& v, const std::string& key) const {
        const Json::Value& a = v[key];
        if (!a.isString() || a.asString().empty()) Fail(key, "must be a file name");
        // A relative path is taken from the scenario's directory, so that a scenario and its
        // profiles move together.
        std::string path = a.asString();
        if (path[0] != '/') path = m_Dir + "/" + path;
        char* abs = realpath(path.c_str(), nullptr);
        if (abs == nullptr || access(abs, R_OK) != 0) {
            std::string why = std::strerror(errno);
            free(abs);
            Fail(key, "cannot read " + path + ": " + why);
        }
        step::Profile profile{abs};
        free(abs);
        return profile;
    }

    Action Command(const Json::Value& v, const std::string& key) const {
        step::Command c;
        const Json::Value& a = v[key];
        if (!a.isArray() || a.empty() || a.size() > 5 || !a[0].isString() ||
            a[0].asString().empty())
            Fail(key, "must be [name, up to four arguments]");
        for (const Json::Value& w : a) {
            // Numbers and JSON arguments are passed as their text.
            if (w.isString())
                c.words.push_back(w.asString());
            else if (IsInt32(w) || w.isObject() || w.isArray())
                c.words.push_back(JsonLine(w));
            else
                Fail(key, "an argument is a string, an integer or JSON, not " + JsonLine(w));
        }
        if (v.isMember("expect")) {
            const Json::Value& e = v["expect"];
            Members(e, "expect", {"served", "result"});
            if (e.isMember("served") && !e["served"].isBool())
                Fail("expect.served", "must be true or false");
            if (e.isMember("result") && !IsInt32(e["result"]) && !e["result"].isString())
                Fail("expect.result", "must be an integer or a string");
            c.expect = e;
        }
        return c;
    }

    Action ExpectEvent(const Json::Value& v, const std::string& key) const {
        step::ExpectEvent e;
        const Json::Value& a = v[key];
        Members(a, key, {"name", "data"});
        if (!a["name"].isString() || !IsEventName(a["name"].asString()))
            Fail(key + ".name", "unknown event name " + JsonLine(a["name"]));
        if (a.isMember("data") && !a["data"].isString() && !a["data"].isObject())
            Fail(key + ".data", "must be the payload (a string) or members it holds");
        e.expect = a;
        if (v.isMember("within")) {
            const Json::Value& w = v["within"];
            if (!IsNumber(w) || !(w.asDouble() > 0) || !std::isfinite(w.asDouble()))
                Fail("within", "must be a number of seconds above 0");
            e.within = w.asDouble();
        }
        return e;
    }

    // The keys of a step: the actions, the keys that may go with each and how each is read.
    struct Reader {
        Action (LineReader::*read)(const Json::Value& v, const std::string& key) const;
        std::set<std::string> modifiers;
    };
    static const std::map<std::string, Reader>& Readers() {
        static const std::map<std::string, Reader> readers = {
            {"gesture", {&LineReader::Gesture, {"data"}}},
            {"motion", {&LineReader::Gesture, {"data"}}},
            {"face", {&LineReader::Face, {"record"}}},
            {"faces", {&LineReader::Faces, {}}},
            {"camera", {&LineReader::Camera, {}}},
            {"setting", {&LineReader::Setting, {}}},
            {"profile", {&LineReader::Profile, {}}},
            {"command", {&LineReader::Command, {"expect"}}},
            {"expect-event", {&LineReader::ExpectEvent, {"within"}}},
        };
        return readers;
    }

    const std::string& m_File;
    int m_Line;
    const std::string& m_Dir;
};

}  // namespace

bool DataMatches(const Json::Value& expected, const std::string& payload) {
    if (expected.isString()) return expected.asString() == payload;
    Json::Value actual;
    std::unique_ptr<Json::CharReader> reader(StrictReader().newCharReader());
    return reader->parse(payload.data(), payload.data() + payload.size(), &actual, nullptr) &&
           Holds(actual, expected);
}

Scenario LoadScenario(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ServiceError{kExitUsage, path + ": cannot read: " + std::strerror(errno)};
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (dir.empty()) dir = "/";
    std::unique_ptr<Json::CharReader> reader(StrictReader().newCharReader());
    Scenario scenario;
    scenario.file = path;
    std::string text;
    Json::Value previousAt;
    for (int line = 1; std::getline(in, text); ++line) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        LineReader step(path, line, dir);
        Json::Value v;
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) {
            // jsoncpp: "* Line 1, Column 10\n  Missing '}' or object member name\n..."
            size_t column = errors.find("Column ");
            size_t nl = errors.find('\n');
            std::string what = nl == std::string::npos ? errors : errors.substr(nl + 1);
            what = what.substr(what.find_first_not_of(' '));
            what = what.substr(0, what.find('\n'));
            if (column != std::string::npos)
                what = "column " + errors.substr(column + 7, nl - column - 7) + ": " + what;
            step.Fail("", "not JSON (" + what + ")");
        }
        if (!v.isObject()) step.Fail("", "a step is a JSON object, not " + JsonLine(v));
        scenario.steps.push_back(step.Read(v, previousAt));
        previousAt = v["at"];
    }
    if (in.bad()) throw ServiceError{kExitUsage, path + ": cannot read: " + std::strerror(errno)};
    return scenario;
}

}  // namespace gxempctl
