// gxempctl: connecting to the service, calling its methods, mapping failures to exit codes, and
// the JSON lines every command prints.
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GlibBus.h"
#include "gxempctl.h"

namespace gxempctl {

Globals g;

[[noreturn]] void Usage(const std::string& message) {
    throw UsageError{message};
}

std::string JsonLine(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    // Times are seconds to the microsecond (scenario steps, play's output).
    builder["precision"] = 6;
    builder["precisionType"] = "decimal";
    return Json::writeString(builder, v);
}

void PrintJson(const Json::Value& v) {
    std::string line = JsonLine(v) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int32_t ParseInt(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        Usage(std::string(what) + " must be an integer (" + std::to_string(INT32_MIN) + ".." +
              std::to_string(INT32_MAX) + "), not '" + text + "'");
    return static_cast<int32_t>(v);
}

// ---- Connection --------------------------------------------------------------------------------

sd_bus* Bus::Get() {
    if (!bus) Connect(this);
    return bus.get();
}

void Connect(Bus* b) {
    int r;
    std::string where;
    if (g.bus == "session" || g.bus == "system") {
        r = g.bus == "system" ? sd_bus_open_system(b->bus.out()) : sd_bus_open_user(b->bus.out());
        where = "the " + g.bus + " bus";
    } else {
        where = gxhost::ClientAddress(g.address.c_str());
        // The service answers Hello like a bus, so the same client code works on a bus too.
        r = gxclient::Connect(where, true, &b->bus);
    }
    if (r < 0)
        throw ServiceError{kExitUnreachable, "cannot reach the gxemp service at " + where + ": " +
                                                 std::strerror(-r) +
                                                 " (is it running? see --address)"};
    sd_bus_set_method_call_timeout(b->bus.get(), g.timeoutUsec);
}

// Turns a failed call into the right exit code: a broken connection means the service is gone.
[[noreturn]] void ThrowCallError(const sd_bus_error& error, int r, const std::string& what) {
    std::string message =
        what + ": " + (error.message != nullptr ? error.message : std::strerror(-r));
    std::string name = error.name != nullptr ? error.name : "";
    // sd-bus reports a local failure as "System.Error.<errno>"; a connection that broke (the
    // service went away, or refused us) is an unreachable service, not a refused request.
    bool local = name.empty() || name.compare(0, 13, "System.Error.") == 0;
    if ((local && (r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ECONNREFUSED)) ||
        name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_DISCONNECTED)
        throw ServiceError{kExitUnreachable, message};
    if (name == SD_BUS_ERROR_UNKNOWN_OBJECT)
        message += " (is the service running on the simulated TV?)";
    throw ServiceError{kExitServiceError, message};
}

gxhost::MessageRef Call(Bus& b, const gxclient::Request& request) {
    sd_bus* bus = b.Get();
    gxclient::Reply reply;
    if (gxclient::Call(bus, request, &reply) >= 0) return std::move(reply.message);
    // A message that could not be built was never sent: our fault, not the service's.
    if (!sd_bus_error_is_set(reply.error.get()))
        throw ServiceError{kExitUsage,
                           std::string("cannot build the call: ") + std::strerror(-reply.r)};
    ThrowCallError(reply.error.error, reply.r, request.method);
}

void CheckRead(int r, const char* what) {
    if (r < 0)
        throw ServiceError{kExitServiceError,
                           std::string("unexpected reply to ") + what + ": " + std::strerror(-r)};
}

// ---- Host calls --------------------------------------------------------------------------------

uint32_t OpenEngine(Bus& b, const std::string& app) {
    gxhost::MessageRef reply = Call(b, gxclient::OpenEngine(app));
    uint32_t id = 0;
    CheckRead(gxclient::ReadEngine(reply.get(), &id), "Open");
    return id;
}

void CloseEngine(Bus& b, uint32_t engine) {
    Call(b, gxclient::CloseEngine(engine));
}

// Reads the (b served, v result) of Execute into JSON: the result as an integer or a string.
void ReadExecuteReply(sd_bus_message* m, Json::Value* out) {
    gxclient::ExecuteResult result;
    CheckRead(gxclient::ReadExecuteResult(m, &result), "Execute");
    (*out)["served"] = result.served;
    (*out)["result"] = result.type == 'i' ? Json::Value(result.integer) : Json::Value(result.text);
}

// Every motion event name a client can subscribe to and receive.
const std::map<std::string, int>& MotionEvents() {
    return gxtools::MotionEvents();
}

// ---- Event loop (session, monitor) -------------------------------------------------------------

namespace {

int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* loop = static_cast<Loop*>(userdata);
    Json::Value event(Json::objectValue);
    event["type"] = "event";
    if (ReadEvent(m, loop->engine, &event)) loop->OnEngineEvent(std::move(event));
    return 0;
}

}  // namespace

void Loop::OnEngineEvent(Json::Value received) {
    PrintJson(received);
    if (countLeft > 0 && --countLeft == 0) sd_event_exit(event.get(), 0);
}

void Loop::Start() {
    Connect(&bus);
    sd_event_new(event.out());
    sd_bus_attach_event(bus.bus.get(), event.get(), 0);
    int r = gxclient::MatchEvents(bus.bus.get(), &OnEvent, this, nullptr);
    if (r < 0)
        throw ServiceError{kExitUnreachable,
                           std::string("cannot subscribe to events: ") + std::strerror(-r)};
    sd_bus_add_filter(bus.bus.get(), nullptr, &Loop::OnLocal, this);
}

void Loop::ExitAfter(double seconds) {
    sd_event_add_time_relative(
        event.get(), nullptr, CLOCK_MONOTONIC, static_cast<uint64_t>(seconds * 1e6), 0,
        [](sd_event_source* s, uint64_t, void*) {
            return sd_event_exit(sd_event_source_get_event(s), 0);
        },
        nullptr);
}

int Loop::OnLocal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Loop*>(userdata);
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        std::fprintf(stderr, "gxempctl: the service closed the connection\n");
        self->exitCode = kExitUnreachable;
        sd_event_exit(self->event.get(), 0);
    }
    return 0;
}

int CmdAddress(std::vector<std::string>& args) {
    if (!args.empty()) Usage("address takes no arguments");
    if (!g.bus.empty())
        Usage("with --bus the service is on the " + g.bus + " bus, not at an address");
    std::printf("%s\n", gxhost::ClientAddress(g.address.c_str()).c_str());
    return kExitOk;
}

}  // namespace gxempctl
