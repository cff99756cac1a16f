#include "BusClient.h"

#include <json/json.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace gxtest {

namespace {

using Clock = std::chrono::steady_clock;

void Check(int r, const char* what) {
    if (r < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
}

int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
    gxclient::Event e;
    if (gxclient::ReadEvent(m, &e) >= 0)
        static_cast<std::vector<Client::Event>*>(userdata)->push_back(e);
    return 0;
}

}  // namespace

std::string MotionList(const std::vector<std::string>& names) {
    Json::Value root;
    for (const std::string& n : names)
        root["motionEventList"].append(Json::objectValue)["itemType"] = n;
    return root.toStyledString();
}

Client::Client(const std::string& address, const Options& options) {
    Check(gxclient::Connect(address, options.hello, &m_Bus), "connect");
    if (options.events)
        Check(gxclient::MatchEvents(bus(), &OnEvent, &events, &m_EventMatch), "AddMatch");
}

sd_bus_message* Client::Call(const gxclient::Request& request, gxclient::Reply* reply) {
    if (gxclient::Call(bus(), request, reply) < 0)
        throw std::runtime_error(std::string(request.method) + ": " + reply->ErrorText());
    return reply->message.get();
}

std::string Client::ErrorOf(const gxclient::Request& request) {
    gxclient::Reply reply;
    gxclient::Call(bus(), request, &reply);
    return reply.ErrorName();
}

int32_t Client::CallInt(const gxclient::Request& request) {
    gxclient::Reply reply;
    int32_t value = 0;
    Check(gxclient::ReadInt(Call(request, &reply), &value), request.method);
    return value;
}

std::string Client::Name() {
    const char* name = nullptr;
    Check(sd_bus_get_unique_name(bus(), &name), "unique name");
    return name;
}

void Client::Ping() {
    gxclient::Reply reply;
    Call(gxclient::Ping(), &reply);
}

uint32_t Client::Open(const std::string& appId) {
    gxclient::Reply reply;
    uint32_t id = 0;
    Check(gxclient::ReadEngine(Call(gxclient::OpenEngine(appId), &reply), &id), "Open reply");
    return id;
}

Client::Result Client::Execute(uint32_t engine, const std::string& command, const std::string& arg1,
                               const std::string& arg2) {
    gxclient::Reply reply;
    Result result;
    sd_bus_message* m = Call(gxclient::Execute(engine, {command, arg1, arg2}), &reply);
    Check(gxclient::ReadExecuteResult(m, &result), "Execute reply");
    return result;
}

int Client::Subscribe(uint32_t engine, const std::string& widget,
                      const std::vector<std::string>& gestures) {
    return Execute(engine, "SetMotionSubscribeInfo", widget, MotionList(gestures)).integer;
}

void Client::Close(uint32_t engine) {
    gxclient::Reply reply;
    Call(gxclient::CloseEngine(engine), &reply);
}

std::string Client::ErrorOfExecute(uint32_t engine, const std::string& command,
                                   const std::string& arg1) {
    return ErrorOf(gxclient::Execute(engine, {command, arg1}));
}

std::string Client::ErrorOfClose(uint32_t engine) {
    return ErrorOf(gxclient::CloseEngine(engine));
}

int Client::EmitMotion(int signal, const std::string& text) {
    return CallInt(gxclient::EmitGesture(signal, text));
}

int Client::EmitFace(int signal, int id, int x, int y, int w, int h) {
    return CallInt(gxclient::EmitFace(
        signal, gxclient::FaceRecord{{"id", id}, {"x", x}, {"y", y}, {"w", w}, {"h", h}}));
}

void Client::Drain() {
    gxclient::Reply reply;
    Call(gxclient::Simulator("Drain"), &reply);
}

std::string Client::SetModel(const std::string& model) {
    return ErrorOf(gxclient::SetModel(model));
}

int Client::GetSetting(const std::string& key) {
    return CallInt(gxclient::GetSetting(key));
}

bool Client::WaitEvents(size_t count, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (events.size() < count) {
        int r = sd_bus_process(bus(), nullptr);
        if (r < 0) return false;
        if (r > 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        sd_bus_wait(bus(), static_cast<uint64_t>(left.count()));
    }
    return true;
}

}  // namespace gxtest
