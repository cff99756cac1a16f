// An sd-bus client of the service (peer-to-peer, speaking like a bus client, as gxempctl does),
// its calls built by the client library gxempctl uses (gxclient). Failed calls throw, except
// those that return the D-Bus error name ("" on success).
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Client.h"
#include "gxhost/BusRef.h"

namespace gxtest {

class Client {
public:
    struct Options {
        bool hello = true;   // say Hello first, as bus clients do
        bool events = true;  // collect the Event signals in `events`
    };
    explicit Client(const std::string& address) : Client(address, Options()) {}
    Client(const std::string& address, const Options& options);
    Client(const Client&) = delete;  // `events` is where the bus writes
    Client& operator=(const Client&) = delete;

    using Result = gxclient::ExecuteResult;
    using Event = gxclient::Event;

    sd_bus* bus() const { return m_Bus.get(); }
    // Calls `request` and waits: the reply, which throws when it is an error.
    sd_bus_message* Call(const gxclient::Request& request, gxclient::Reply* reply);
    std::string Name();  // the unique name the service gave this connection
    void Ping();
    uint32_t Open(const std::string& appId = "itest");
    Result Execute(uint32_t engine, const std::string& command, const std::string& arg1 = "",
                   const std::string& arg2 = "");
    void Close(uint32_t engine);
    // SetMotionSubscribeInfo for the named gestures under `widget`: its result (1: subscribed).
    int Subscribe(uint32_t engine, const std::string& widget,
                  const std::vector<std::string>& gestures);
    std::string ErrorOfExecute(uint32_t engine, const std::string& command,
                               const std::string& arg1 = "");
    std::string ErrorOfClose(uint32_t engine);

    // Simulator control.
    int EmitMotion(int signal, const std::string& text);
    int EmitFace(int signal, int id, int x, int y, int w, int h);
    void Drain();
    int GetSetting(const std::string& key);
    // Sets the model text through this client's worker; the D-Bus error name, "" when done.
    std::string SetModel(const std::string& model);

    // Processes incoming messages for `ms`, or until `count` events have arrived.
    bool WaitEvents(size_t count, int ms = 10000);
    void Pump(int ms) { WaitEvents(events.size() + 1000000, ms); }
    std::vector<Event> events;

private:
    std::string ErrorOf(const gxclient::Request& request);
    int32_t CallInt(const gxclient::Request& request);

    gxhost::BusRef m_Bus;
    gxhost::SlotRef m_EventMatch;
};

// Subscription argument of "SetMotionSubscribeInfo" for the given event names.
std::string MotionList(const std::vector<std::string>& names);

}  // namespace gxtest
