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
    auto* events = static_cast<std::vector<Client::Event>*>(userdata);
    Client::Event e{};
    const char *name = nullptr, *data = nullptr;
    if (sd_bus_message_read(m, "uiss", &e.engine, &e.code, &name, &data) >= 0) {
        e.name = name;
        e.data = data;
        events->push_back(e);
    }
    return 0;
}

enum class On { Host, Simulator, Peer };

// One call of a Host1, Simulator1 or Peer method: its reply or its error.
struct Call {
    template <typename... Args>
    Call(sd_bus* bus, const char* destination, On on, const char* method, const char* types,
         Args... args)
        : method(method) {
        static const char* const paths[] = {"/org/gxemp/Host1", "/org/gxemp/Simulator1",
                                            "/org/gxemp/Host1"};
        static const char* const interfaces[] = {"org.gxemp.Host1", "org.gxemp.Simulator1",
                                                 "org.freedesktop.DBus.Peer"};
        int at = static_cast<int>(on);
        r = sd_bus_call_method(bus, destination, paths[at], interfaces[at], method, error.get(),
                               reply.out(), types, args...);
    }
    sd_bus_message* Ok() {
        if (r < 0)
            throw std::runtime_error(std::string(method) + ": " +
                                     (error.error.message ? error.message() : std::strerror(-r)));
        return reply.get();
    }
    int32_t Int() {
        int32_t v = 0;
        Check(sd_bus_message_read(Ok(), "i", &v), method);
        return v;
    }
    std::string ErrorName() const {
        return r >= 0 ? "" : (error.error.name ? error.error.name : "?");
    }

    const char* method;
    gxhost::BusError error;
    gxhost::MessageRef reply;
    int r = 0;
};

}  // namespace

std::string MotionList(const std::vector<std::string>& names) {
    Json::Value root;
    for (const std::string& n : names)
        root["motionEventList"].append(Json::objectValue)["itemType"] = n;
    return root.toStyledString();
}

Client::Client(const std::string& address, const Options& options)
    : m_Destination(options.destination) {
    Check(sd_bus_new(m_Bus.out()), "sd_bus_new");
    Check(sd_bus_set_address(bus(), address.c_str()), "sd_bus_set_address");
    Check(sd_bus_set_bus_client(bus(), options.hello ? 1 : 0), "sd_bus_set_bus_client");
    Check(sd_bus_start(bus()), "connect");
    if (options.events)
        Check(sd_bus_match_signal(bus(), nullptr, nullptr, "/org/gxemp/Host1", "org.gxemp.Host1",
                                  "Event", &OnEvent, &events),
              "AddMatch");
}

std::string Client::Name() {
    const char* name = nullptr;
    Check(sd_bus_get_unique_name(bus(), &name), "unique name");
    return name;
}

void Client::Ping() {
    Call(bus(), m_Destination, On::Peer, "Ping", "").Ok();
}

uint32_t Client::Open(const std::string& appId) {
    Call c(bus(), m_Destination, On::Host, "Open", "s", appId.c_str());
    uint32_t id = 0;
    Check(sd_bus_message_read(c.Ok(), "u", &id), "Open reply");
    return id;
}

Client::Result Client::Execute(uint32_t engine, const std::string& command, const std::string& arg1,
                               const std::string& arg2) {
    Call c(bus(), m_Destination, On::Host, "Execute", "usssss", engine, command.c_str(),
           arg1.c_str(), arg2.c_str(), "", "");
    Result result;
    int served = 0;
    const char *contents = nullptr, *text = "";
    sd_bus_message* reply = c.Ok();
    Check(sd_bus_message_read(reply, "b", &served), "Execute reply");
    Check(sd_bus_message_peek_type(reply, nullptr, &contents), "Execute reply");
    Check(sd_bus_message_enter_container(reply, 'v', contents), "Execute reply");
    result.served = served != 0;
    result.type = contents[0];
    void* value = result.type == 'i' ? static_cast<void*>(&result.integer) : &text;
    Check(sd_bus_message_read_basic(reply, result.type, value), "Execute reply");
    result.text = text;
    return result;
}

void Client::Close(uint32_t engine) {
    Call(bus(), m_Destination, On::Host, "Close", "u", engine).Ok();
}

std::string Client::ErrorOfExecute(uint32_t engine, const std::string& command,
                                   const std::string& arg1) {
    return Call(bus(), m_Destination, On::Host, "Execute", "usssss", engine, command.c_str(),
                arg1.c_str(), "", "", "")
        .ErrorName();
}

std::string Client::ErrorOfClose(uint32_t engine) {
    return Call(bus(), m_Destination, On::Host, "Close", "u", engine).ErrorName();
}

int Client::EmitMotion(int signal, const std::string& text) {
    return Call(bus(), m_Destination, On::Simulator, "EmitMotionSignal", "is", signal, text.c_str())
        .Int();
}

int Client::EmitFace(int signal, int id, int x, int y, int w, int h) {
    return Call(bus(), m_Destination, On::Simulator, "EmitFaceSignal", "ia{sv}", signal, 5, "id",
                "i", id, "x", "i", x, "y", "i", y, "w", "i", w, "h", "i", h)
        .Int();
}

void Client::Drain() {
    Call(bus(), m_Destination, On::Simulator, "Drain", "").Ok();
}

std::string Client::SetModel(const std::string& model) {
    return Call(bus(), m_Destination, On::Simulator, "SetModel", "s", model.c_str()).ErrorName();
}

int Client::GetSetting(const std::string& key) {
    return Call(bus(), m_Destination, On::Simulator, "GetSetting", "s", key.c_str()).Int();
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
