// Fuzzes CEmpEngineGX::ProcessSignal with any handle, signal and data.
//
// Two engines live for the whole run: A with motion handle 1001 and face handle 5001, B with
// motion handle 1002 and no face handle. The data given with a signal follows the libraries'
// contract for that signal (a detection record for face signal 0, a recognition record for 2 and
// 3, a text for motion signals), built from the input; it may also be null.
//
// Input: byte 0 picks the handle (A's motion or face handle, B's motion handle, -1, 0, or four
// raw bytes), byte 1 the signal (motion range, face range, or four raw bytes), byte 2 whether the
// data pointer is null; the rest is the data.
//
// Checked beyond the sanitizers: a named motion signal for A's motion handle gives A exactly one
// event, named after the signal and A's widget name, carrying the text unchanged; a handle that
// no engine holds gives no event at all; face events parse as JSON (or are empty).
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "EmpAppGX.h"
#include "EmpEngineBase.h"
#include "EmpEngineGX.h"
#include "FuzzSupport.h"
#include "face_recognition.h"

namespace {

struct Event {
    kiv::CEmpEngineBase* engine;
    int code;
    std::string name;
    std::string data;
};

class Sink : public kiv::IEmpEventSink {
public:
    void OnEmpEvent(kiv::CEmpEngineBase* engine, int code, const std::string& name,
                    const std::string& data) override {
        events.push_back(Event{engine, code, name, data});
    }
    std::vector<Event> events;
};

const std::map<int, std::string> kMotionNames = {
    {1000, "EVENT_MOTION_SLAP_LEFT"},   {1001, "EVENT_MOTION_SLAP_RIGHT"},
    {1002, "EVENT_MOTION_SLAP_UP"},     {1003, "EVENT_MOTION_SLAP_DOWN"},
    {1004, "EVENT_MOTION_CIRCLE"},      {1005, "EVENT_MOTION_GRAB"},
    {1007, "EVENT_MOTION_UNGRAB"},      {1015, "EVENT_MOTION_PRIMARY_HAND_LOST"},
    {1024, "EVENT_MOTION_RAW_DATA"},    {1028, "EVENT_MOTION_BEGIN_MONITOR"},
    {1029, "EVENT_MOTION_END_MONITOR"},
};

constexpr int kMotionA = 1001, kMotionB = 1002, kFaceA = 5001;

Sink* g_Sink = nullptr;
kiv::CEmpEngineBase* g_A = nullptr;
kiv::CEmpEngineBase* g_B = nullptr;

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
    uint8_t Byte() { return m_Pos < m_Size ? m_Data[m_Pos++] : 0; }
    int Int() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        return static_cast<int>(v);
    }
    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(m_Data) + m_Pos, m_Size - m_Pos);
        m_Pos = m_Size;
        return s;
    }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
};

kiv::CEmpEngineBase* MakeEngine(kiv::CEmpAppGX& app, int motionHandle, const char* widget) {
    gxsim::SetNextMotionHandle(motionHandle);
    kiv::CEmpEngineBase* engine = app.CreateEmpEngine();
    engine->SetEventSink(g_Sink);
    std::string result;
    engine->Execute(result, "SubscribeMotionEvent", widget, "", "", "");
    return engine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    static kiv::CEmpAppGX app;
    g_Sink = new Sink;
    g_A = MakeEngine(app, kMotionA, "wA");
    gxsim::SetNextFaceHandle(kFaceA);
    std::string result;
    g_A->Execute(result, "InitializeFace", "", "", "", "");
    g_B = MakeEngine(app, kMotionB, "wB");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    int handle;
    switch (in.Byte() % 6) {
        case 0:
            handle = kMotionA;
            break;
        case 1:
            handle = kMotionB;
            break;
        case 2:
            handle = kFaceA;
            break;
        case 3:
            handle = -1;
            break;
        case 4:
            handle = 0;
            break;
        default:
            handle = in.Int();
            break;
    }
    int signal;
    uint8_t pick = in.Byte();
    if (pick < 128) {
        signal = 998 + pick % 40;
    } else if (pick < 200) {
        signal = static_cast<int>(pick % 8) - 1;
    } else {
        signal = in.Int();
    }
    bool nullData = in.Byte() % 8 == 0;
    std::string rest = in.Rest();

    // The data the library would pass with this signal.
    void* ptr = nullptr;
    gx_face_detect_data detect{};
    gx_face_recog_result recog{};
    std::string path;
    std::string text = rest.substr(0, rest.find('\0'));
    if (!nullData) {
        int fields[5] = {0, 0, 0, 0, 0};
        std::memcpy(fields, rest.data(), std::min(rest.size(), sizeof fields));
        if (signal == GX_FACE_SIGNAL_DETECT_FACE) {
            detect = gx_face_detect_data{fields[0], fields[1], fields[2], fields[3], fields[4]};
            ptr = &detect;
        } else if (signal == GX_FACE_SIGNAL_TRAIN_RESULT ||
                   signal == GX_FACE_SIGNAL_RECOGNITION_RESULT) {
            path = rest.size() > sizeof fields ? rest.substr(sizeof fields) : std::string();
            bool nullPath = fields[0] % 5 == 0;
            recog = gx_face_recog_result{fields[0], nullPath ? nullptr : &path[0],
                                         fields[1], fields[2],
                                         fields[3], fields[4]};
            ptr = &recog;
        } else {
            ptr = &text[0];
        }
    }

    g_Sink->events.clear();
    kiv::CEmpEngineGX::ProcessSignal(handle, signal, ptr, nullptr);

    if (handle != kMotionA && handle != kMotionB && handle != kFaceA && handle != 0) {
        FUZZ_CHECK(g_Sink->events.empty(), "handle %d reached an engine", handle);
    }
    if (handle == kMotionA && signal >= 1000 && signal <= 1034) {
        auto named = kMotionNames.find(signal);
        if (named == kMotionNames.end()) {
            FUZZ_CHECK(g_Sink->events.empty(), "silent signal %d sent an event", signal);
        } else {
            FUZZ_CHECK(g_Sink->events.size() == 1, "signal %d: %zu events", signal,
                       g_Sink->events.size());
            const Event& e = g_Sink->events[0];
            FUZZ_CHECK(e.engine == g_A && e.code == 6511 && e.name == named->second + "-wA",
                       "signal %d gave %s", signal, e.name.c_str());
            FUZZ_CHECK(e.data == (nullData ? std::string() : text), "payload changed");
        }
    }
    for (const Event& e : g_Sink->events) {
        if (e.code != 6512 || e.data.empty()) continue;
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::istringstream json(e.data);
        FUZZ_CHECK(Json::parseFromStream(builder, json, &root, &errors) && root.isObject(),
                   "face payload is not a JSON object: %s", e.data.c_str());
    }
    return 0;
}
