// Fuzzes CEmpEngineGX::ProcessSignal with any handle, signal and data.
//
// Two engines live for the whole run: A with motion handle 1001 and face handle 5001, B with
// motion handle 1002 and no face handle. The data given with a signal follows the libraries'
// contract for that signal (a detection record for face signal 0, a recognition record for 2 and
// 3, a text otherwise), built from the input; it may also be null.
//
// Input: byte 0 picks the handle (A's motion or face handle, B's motion handle, -1, 0, or four raw
// bytes), byte 1 the signal (motion range, face range, or four raw bytes), byte 2 whether the data
// pointer is null; the rest is the data.
//
// Checked beyond the sanitizers: a named motion signal for A's motion handle gives A exactly one
// motion event, named with A's widget name, carrying the text unchanged; a handle that no
// engine holds gives no event at all; face events are JSON objects (or empty).
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <memory>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineGX.h"
#include "FuzzSupport.h"
#include "face_recognition.h"

namespace {

struct Event {
    kiv::CEmpEngineBase* engine;
    int code;
    std::string name, data;
};
struct Sink : kiv::IEmpEventSink, std::vector<Event> {
    void OnEmpEvent(kiv::CEmpEngineBase* engine, int code, const std::string& name,
                    const std::string& data) override {
        push_back({engine, code, name, data});
    }
};

// The motion signals that have an event name (the unit tables check each name).
const std::set<int> kNamed = {1000, 1001, 1002, 1003, 1004, 1005, 1007, 1015, 1024, 1028, 1029};
constexpr int kMotionA = 1001, kMotionB = 1002, kFaceA = 5001;

Sink g_Sink;
kiv::CEmpEngineBase* g_A = nullptr;

kiv::CEmpEngineBase* Engine(int motionHandle, const char* widget, bool face) {
    static kiv::CEmpAppGX app;
    gxsim::SetNextMotionHandle(motionHandle);
    kiv::CEmpEngineBase* engine = app.CreateEmpEngine();
    engine->SetEventSink(&g_Sink);
    std::string result;
    engine->Execute(result, "SubscribeMotionEvent", widget, "", "", "");
    if (face) engine->Execute(result, "InitializeFace", "", "", "", "");
    return engine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    gxsim::SetNextFaceHandle(kFaceA);
    g_A = Engine(kMotionA, "wA", true);
    Engine(kMotionB, "wB", false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    auto byte = [&] { return at < size ? data[at++] : uint8_t{0}; };
    auto word = [&] {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return static_cast<int>(v);
    };
    const int kHandles[] = {kMotionA, kMotionB, kFaceA, -1, 0};
    const uint8_t pickHandle = byte() % 6;
    const int handle = pickHandle < 5 ? kHandles[pickHandle] : word();
    const uint8_t pickSignal = byte();
    const int signal = pickSignal < 128   ? 998 + pickSignal % 40
                       : pickSignal < 200 ? static_cast<int>(pickSignal % 8) - 1
                                          : word();
    const bool nullData = byte() % 8 == 0;
    const std::string rest(reinterpret_cast<const char*>(data) + at, size - at);

    // The data the library would pass with this signal.
    int fields[5] = {0, 0, 0, 0, 0};
    std::memcpy(fields, rest.data(), std::min(rest.size(), sizeof fields));
    gx_face_detect_data detect{fields[0], fields[1], fields[2], fields[3], fields[4]};
    std::string path = rest.size() > sizeof fields ? rest.substr(sizeof fields) : std::string();
    gx_face_recog_result recog{fields[0], fields[0] % 5 == 0 ? nullptr : &path[0],
                               fields[1], fields[2],
                               fields[3], fields[4]};
    std::string text = rest.substr(0, rest.find('\0'));
    void* ptr = nullData                     ? nullptr
                : signal == 0                ? static_cast<void*>(&detect)
                : signal == 2 || signal == 3 ? static_cast<void*>(&recog)
                                             : static_cast<void*>(&text[0]);

    g_Sink.clear();
    kiv::CEmpEngineGX::ProcessSignal(handle, signal, ptr, nullptr);

    if (handle != kMotionA && handle != kMotionB && handle != kFaceA && handle != 0) {
        FUZZ_CHECK(g_Sink.empty(), "handle %d reached an engine", handle);
    }
    if (handle == kMotionA && signal >= 1000 && signal <= 1034) {
        FUZZ_CHECK(g_Sink.size() == kNamed.count(signal), "signal %d: %zu events", signal,
                   g_Sink.size());
        for (const auto& e : g_Sink) {
            FUZZ_CHECK(e.engine == g_A && e.code == 6511 && e.name.rfind("EVENT_MOTION_", 0) == 0 &&
                           e.name.size() > 16 && e.name.compare(e.name.size() - 3, 3, "-wA") == 0,
                       "signal %d gave %s", signal, e.name.c_str());
            FUZZ_CHECK(e.data == (nullData ? std::string() : text), "payload changed");
        }
    }
    for (const auto& e : g_Sink) {
        if (e.code != 6512 || e.data.empty()) continue;
        Json::Value root;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        FUZZ_CHECK(reader->parse(e.data.data(), e.data.data() + e.data.size(), &root, &errors) &&
                       root.isObject(),
                   "face payload is not a JSON object: %s", e.data.c_str());
    }
    return 0;
}
