// A gesture from the motion library to a web page through gxemp-bridge, against the same gesture
// to a native D-Bus client in the same run: each gesture goes to both at once (each has its own
// engine and worker), so whatever else the machine does weighs on both alike.
//
//   gxemp_bench_bridge [--gestures N] [--quick]
//
// The bench stamps each gesture's text with the monotonic clock and asks the simulated TV to
// emit it; the motion library calls the plug-in on its own thread, which sends the event to
// both clients. Each latency is the time from the stamp to the client holding the event, so both
// include the emit request; the ratio and the difference are what the bridge adds. Nothing here
// fails on a time: it prints figures and exits 0 unless a process could not be driven.
#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSocket.h"
#include "WsClient.h"

namespace {

using gxbench::NowNs;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "gxemp_bench_bridge: %s\n", why.c_str());
    std::exit(1);
}

pid_t Spawn(const std::vector<std::string>& argv, int* out) {
    int p[2];
    if (pipe(p) != 0) Die("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        close(p[0]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    *out = p[0];
    return pid;
}

std::string ReadLine(int fd) {
    std::string line;
    for (char c; read(fd, &c, 1) == 1 && c != '\n';) line += c;
    return line;
}

sd_bus* Connect(const std::string& address) {
    sd_bus* bus = nullptr;
    for (int i = 0; i < 500; ++i) {  // until the service listens
        sd_bus_new(&bus);
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) >= 0 &&
            sd_bus_call_method(bus, "org.gxemp.Host1", "/org/gxemp/Host1",
                               "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, "") >= 0)
            return bus;
        sd_bus_flush_close_unref(bus);
        usleep(10000);
    }
    Die("the service does not answer at " + address);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    int gestures = 2000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick")
            gestures = 50;
        else if (a == "--gestures" && i + 1 < argc)
            gestures = std::atoi(argv[++i]);
        else
            Die("usage: gxemp_bench_bridge [--gestures N] [--quick]");
    }
    std::string dir =
        std::filesystem::temp_directory_path() / ("gxemp-bench-bridge-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    std::string address = "unix:path=" + dir + "/host.sock";
    std::ofstream(dir + "/bridge.conf") << "[origin http://localhost:8080]\ncommands=motion\n";
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    int serviceOut = -1, bridgeOut = -1;
    pid_t service =
        Spawn({GXEMP_BIN, "--address", address, "--log", dir + "/gxemp.log"}, &serviceOut);
    sd_bus* control = Connect(address);
    pid_t bridge = Spawn(
        {GXEMP_BRIDGE_BIN, "--port", "0", "--config", dir + "/bridge.conf", "--address", address},
        &bridgeOut);
    std::string url = ReadLine(bridgeOut);
    if (url.empty()) Die("the bridge did not start");
    unsigned port = static_cast<unsigned>(std::stoi(url.substr(url.rfind(':') + 1)));

    // The native client: its own connection, engine and subscription, on its own thread.
    sd_bus* native = Connect(address);
    sd_bus_message* reply = nullptr;
    uint32_t engine = 0;
    if (sd_bus_call_method(native, "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1", "Open",
                           nullptr, &reply, "s", "bench") < 0 ||
        sd_bus_message_read(reply, "u", &engine) < 0)
        Die("Open failed");
    sd_bus_message_unref(reply);
    const char* list = R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})";
    if (sd_bus_call_method(native, "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1",
                           "Execute", nullptr, nullptr, "usssss", engine, "SetMotionSubscribeInfo",
                           "bench", list, "", "") < 0)
        Die("the native subscription failed");
    std::vector<double> nativeUs, pageUs;
    std::atomic<int> nativeGot{0};
    std::atomic<bool> stop{false};
    sd_bus_match_signal(
        native, nullptr, nullptr, "/org/gxemp/Host1", "org.gxemp.Host1", "Event",
        [](sd_bus_message* m, void* data, sd_bus_error*) {
            uint64_t now = NowNs();
            uint32_t from;
            int32_t code;
            const char *name, *text;
            if (sd_bus_message_read(m, "uiss", &from, &code, &name, &text) >= 0) {
                auto* out = static_cast<std::vector<double>*>(data);
                out->push_back(static_cast<double>(now - std::strtoull(text, nullptr, 10)) / 1e3);
            }
            return 0;
        },
        &nativeUs);
    std::thread nativeLoop([&] {
        while (!stop) {
            int r = sd_bus_process(native, nullptr);
            if (r > 0) nativeGot = static_cast<int>(nativeUs.size());
            if (r == 0) sd_bus_wait(native, 100000);
        }
    });

    // The page: a WebSocket of an allowed origin, subscribed and focused.
    WsClient page(port, "127.0.0.1:" + std::to_string(port), "http://localhost:8080");
    if (page.status != 101) Die("the bridge refused the page");
    std::string text;
    page.ReadFrame(&text, 10000);  // hello
    page.Send(
        R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"gestures":["EVENT_MOTION_GRAB"]}})");
    page.Send(
        R"({"jsonrpc":"2.0","id":2,"method":"visibility","params":{"visible":true,"focused":true}})");
    for (int answered = 0; answered < 2 && page.ReadFrame(&text, 10000);)
        answered += text.find("\"id\":") != std::string::npos;

    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (int i = 0; i < gestures + 20; ++i) {  // the first 20 warm up
        uint64_t stamp = NowNs();
        std::string s = std::to_string(stamp);
        if (sd_bus_call_method(control, "org.gxemp.Host1", "/org/gxemp/Simulator1",
                               "org.gxemp.Simulator1", "EmitMotionSignal", nullptr, nullptr, "is",
                               1005, s.c_str()) < 0)
            Die("EmitMotionSignal failed");
        for (bool got = false; !got;) {
            if (!page.ReadFrame(&text, 10000)) Die("the page lost the bridge");
            Json::Value m;
            if (!reader->parse(text.data(), text.data() + text.size(), &m, nullptr) ||
                m["method"] != "event")
                continue;
            got = true;
            uint64_t now = NowNs();
            if (i >= 20)
                pageUs.push_back(
                    static_cast<double>(
                        now - std::strtoull(m["params"]["payload"].asCString(), nullptr, 10)) /
                    1e3);
        }
        while (nativeGot.load() < i + 1) std::this_thread::yield();
    }
    stop = true;
    nativeLoop.join();
    nativeUs.erase(nativeUs.begin(), nativeUs.begin() + 20);

    std::printf("%-44s %10s %10s %8s\n", "gesture, library to client [us]", "native", "web page",
                "ratio");
    for (auto [label, p] : {std::pair<const char*, double>{"p50", 0.5}, {"p99", 0.99}}) {
        double n = Percentile(nativeUs, p), w = Percentile(pageUs, p);
        std::printf("  %-42s %10.1f %10.1f %7.2fx\n", label, n, w, w / n);
    }
    double p99 = Percentile(pageUs, 0.99);
    std::printf("web page p99 %.2f ms against the 30 ms at which people notice gesture lag: %s\n",
                p99 / 1e3, p99 < 30000 ? "met" : "missed");
    std::printf("(%d gestures, one at a time, each to both clients)\n", gestures);

    sd_bus_flush_close_unref(native);
    sd_bus_flush_close_unref(control);
    kill(bridge, SIGTERM);
    kill(service, SIGTERM);
    waitpid(bridge, nullptr, 0);
    waitpid(service, nullptr, 0);
    std::filesystem::remove_all(dir);
    return 0;
}
