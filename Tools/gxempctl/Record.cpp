// gxempctl record: writes what an engine receives as a scenario that re-creates it. Every event
// becomes a simulator step that makes the service send it again (a gesture with its text, a face
// signal with the record read back from its payload), then the expectation that it arrives. The
// file starts with the same subscriptions, so playing it on another service checks that the same
// events come back: names, payloads byte for byte, order.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Scenario.h"
#include "gxempctl.h"

namespace gxempctl {
namespace {

uint64_t NowUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// The face record that makes the service render `payload` for face signal `signal` again, or
// null for an empty payload (the library handed no data). False when the payload is not one the
// service renders.
bool FaceRecord(int signal, const std::string& payload, Json::Value* record) {
    *record = Json::Value();
    if (payload.empty()) return true;
    if (signal != 0 && signal != 2 && signal != 3) return false;  // these come without a payload
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(payload.data(), payload.data() + payload.size(), &v, nullptr) ||
        !v.isObject())
        return false;
    // Detection and recognition carry a list of one item; training is flat.
    const char* list = signal == 0 ? "detectResult" : signal == 3 ? "recognitionResult" : nullptr;
    const Json::Value& item = list != nullptr && v[list].isArray() ? v[list][0] : v;
    const char* id = signal == 0 ? "nDetectID" : signal == 3 ? "nFaceRecogID" : "detectResult";
    Json::Value r(Json::objectValue);
    if (!item.isObject() || !item[id].isInt()) return false;
    r["id"] = item[id];
    for (const char* k : {"x", "y", "w", "h"}) {
        if (signal == 2) break;  // training reports no rectangle
        if (!item[k].isInt()) return false;
        r[k] = item[k];
    }
    if (signal != 0) {
        if (!item["imageFilePath"].isString()) return false;
        r["image_path"] = item["imageFilePath"];
    }
    *record = r;
    return true;
}

// Adds to `step` the simulator action that makes the service send the event again.
bool Recreate(const std::string& name, const std::string& data, Json::Value* step) {
    for (int signal = 0; signal < 6; ++signal) {
        if (name != kFaceEvents[signal]) continue;
        Json::Value record;
        if (!FaceRecord(signal, data, &record)) return false;
        (*step)["face"] = signal;
        if (!record.isNull()) (*step)["record"] = record;
        return true;
    }
    for (const auto& motion : MotionEvents()) {
        if (name.compare(0, motion.first.size() + 1, motion.first + "-") != 0) continue;
        (*step)["gesture"] = motion.first;
        if (!data.empty()) (*step)["data"] = data;
        return true;
    }
    return false;
}

class Recorder : public Loop {
public:
    FILE* out = nullptr;

    void Write(const Json::Value& step) {
        std::string line = JsonLine(step) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    }

    // The file's first lines: the recording subscribes as the recorder did and expects what the
    // recorder got.
    void WriteHeader(const std::string& widget, const Json::Value& ready) {
        std::string header =
            "# Recorded by gxempctl record with widget " + JsonLine(widget) +
            ": each event is re-created through the simulated TV, then expected.\n";
        std::fwrite(header.data(), 1, header.size(), out);
        struct {
            std::vector<std::string> words;
            Json::Value got;
        } subscriptions[] = {
            {{"SetMotionSubscribeInfo", widget}, ready["motion"]},
            {{"InitializeFace"}, ready["face"]["initialize"]},
            {{"SubscribeFaceEvent", widget}, ready["face"]},
        };
        for (const auto& sub : subscriptions) {
            Json::Value step(Json::objectValue);
            step["at"] = 0;
            for (const std::string& w : sub.words) step["command"].append(w);
            if (sub.words[0] == "SetMotionSubscribeInfo")
                step["command"].append(MotionSubscription());
            step["expect"]["served"] = sub.got["served"];
            step["expect"]["result"] = sub.got["result"];
            Write(step);
        }
    }

    void OnEngineEvent(Json::Value printed) override {
        uint64_t now = NowUsec();
        if (events == 0) m_First = now;
        ++events;
        PrintJson(printed);
        std::string name = printed["name"].asString(), data = printed["data"].asString();

        // Microseconds, as the player keeps time.
        double at = static_cast<double>(now - m_First) / 1e6;
        Json::Value step(Json::objectValue);
        step["at"] = at;
        if (!Recreate(name, data, &step)) {
            // Not an event the simulated TV can send again: keep it in the file as a note.
            std::fprintf(stderr, "gxempctl: cannot re-create event %s %s\n", name.c_str(),
                         JsonLine(data).c_str());
            std::string note = "# not re-creatable: " + JsonLine(printed) + "\n";
            std::fwrite(note.data(), 1, note.size(), out);
        } else {
            Write(step);
            Json::Value expect(Json::objectValue);
            expect["at"] = at;
            expect["expect-event"]["name"] = name;
            expect["expect-event"]["data"] = data;
            Write(expect);
        }
        if (countLeft > 0 && --countLeft == 0) done = true;
    }

    static int Stop(void* userdata) {
        static_cast<Recorder*>(userdata)->done = true;
        return 0;
    }

    long events = 0;
    bool done = false;

private:
    uint64_t m_First = 0;
};

struct RecordOptions {
    std::string file, widget = "gxempctl";
    long count = -1;
    double duration = 0;
};

RecordOptions ReadOptions(const Args& args) {
    RecordOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--widget" && i + 1 < args.size()) {
            o.widget = args[++i];
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            o.count = ParseIntIn(args[++i], "--count", 1, INT32_MAX);
        } else if (args[i] == "--duration" && i + 1 < args.size()) {
            char* end = nullptr;
            o.duration = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || !(o.duration > 0) || !std::isfinite(o.duration))
                Usage("--duration takes seconds above 0");
        } else if (args[i].compare(0, 2, "--") == 0 || !o.file.empty()) {
            Usage("unknown argument for record: " + args[i]);
        } else {
            o.file = args[i];
        }
    }
    if (o.file.empty()) Usage("record needs the FILE to write");
    return o;
}

}  // namespace

int CmdRecord(Args& args) {
    RecordOptions o = ReadOptions(args);
    const std::string &file = o.file, &widget = o.widget;
    Recorder rec;
    rec.countLeft = o.count;
    rec.Start();
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "w"), &std::fclose);
    if (!out) Usage("cannot write " + file + ": " + std::strerror(errno));
    rec.out = out.get();
    // Interrupting a recording ends it cleanly: the engine is closed and the file complete.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    for (int sig : {SIGINT, SIGTERM})
        sd_event_add_signal(rec.event.get(), nullptr, sig, nullptr, nullptr);
    if (o.duration > 0) rec.ExitAfter(o.duration);

    rec.engine = OpenEngine(rec.bus, "gxempctl-record");
    Json::Value ready = Subscribe(rec.bus, rec.engine, widget, true, true);
    ready["type"] = "subscribed";
    ready["engine"] = rec.engine;
    rec.WriteHeader(widget, ready);
    PrintJson(ready);
    // Not sd_event_loop: leaving it closes the connection, and the engine is closed after.
    while (!rec.done && sd_event_get_state(rec.event.get()) != SD_EVENT_FINISHED)
        if (sd_event_run(rec.event.get(), UINT64_MAX) < 0) break;
    if (rec.exitCode == kExitUnreachable) return kExitUnreachable;
    CloseEngine(rec.bus, rec.engine);
    Json::Value done(Json::objectValue);
    done["type"] = "recorded";
    done["file"] = file;
    done["events"] = static_cast<Json::Int64>(rec.events);
    PrintJson(done);
    return rec.countLeft > 0 ? kExitNotServed : kExitOk;
}

}  // namespace gxempctl
