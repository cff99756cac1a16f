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
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSocket.h"
#include "BusClient.h"
#include "ServiceProcess.h"
#include "WsClient.h"

namespace {

using gxbench::NowNs;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "gxemp_bench_bridge: %s\n", why.c_str());
    std::exit(1);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

gxtest::Client::Options Quiet() {
    gxtest::Client::Options options;
    options.events = false;  // the native client stamps each event's arrival itself
    return options;
}

// The native client: its own connection, engine and subscription, receiving on its own thread.
class Native {
public:
    explicit Native(const std::string& address) : m_Client(address, Quiet()) {
        uint32_t engine = m_Client.Open("bench");
        m_Client.Execute(engine, "SetMotionSubscribeInfo", "bench",
                         R"({"motionEventList":[{"itemType":"EVENT_MOTION_GRAB"}]})");
        gxclient::MatchEvents(m_Client.bus(), &Native::OnEvent, &latencies, &m_Match);
        m_Loop = std::thread([this] {
            while (!m_Stop) {
                int r = sd_bus_process(m_Client.bus(), nullptr);
                if (r > 0) got = static_cast<int>(latencies.size());
                if (r == 0) sd_bus_wait(m_Client.bus(), 100000);
            }
        });
    }
    void Stop() {
        m_Stop = true;
        m_Loop.join();
    }

    std::vector<double> latencies;  // us; read once stopped
    std::atomic<int> got{0};

private:
    static int OnEvent(sd_bus_message* m, void* data, sd_bus_error*) {
        uint64_t now = NowNs();
        gxclient::Event e;
        if (gxclient::ReadEvent(m, &e) >= 0) {
            auto* out = static_cast<std::vector<double>*>(data);
            out->push_back(static_cast<double>(now - std::strtoull(e.data.c_str(), nullptr, 10)) /
                           1e3);
        }
        return 0;
    }

    gxtest::Client m_Client;
    gxhost::SlotRef m_Match;
    std::thread m_Loop;
    std::atomic<bool> m_Stop{false};
};

// The page: a WebSocket of an allowed origin, subscribed and focused.
std::unique_ptr<WsClient> OpenPage(unsigned port) {
    auto page = std::make_unique<WsClient>(port, "127.0.0.1:" + std::to_string(port),
                                           "http://localhost:8080");
    if (page->status != 101) Die("the bridge refused the page");
    std::string text;
    page->ReadFrame(&text, 10000);  // hello
    page->Send(
        R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"gestures":["EVENT_MOTION_GRAB"]}})");
    page->Send(
        R"({"jsonrpc":"2.0","id":2,"method":"visibility","params":{"visible":true,"focused":true}})");
    for (int answered = 0; answered < 2 && page->ReadFrame(&text, 10000);)
        answered += text.find("\"id\":") != std::string::npos;
    return page;
}

// Waits for the page's next event: its latency from the stamp in its payload, in us.
double PageLatency(WsClient& page, Json::CharReader& reader) {
    for (std::string text;;) {
        if (!page.ReadFrame(&text, 10000)) Die("the page lost the bridge");
        Json::Value m;
        if (!reader.parse(text.data(), text.data() + text.size(), &m, nullptr) ||
            m["method"] != "event")
            continue;
        uint64_t now = NowNs();
        return static_cast<double>(now -
                                   std::strtoull(m["params"]["payload"].asCString(), nullptr, 10)) /
               1e3;
    }
}

void Report(const std::vector<double>& nativeUs, const std::vector<double>& pageUs, int gestures) {
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
}

void Run(int gestures) {
    gxtest::Service service;
    std::string conf = service.dir() + "/bridge.conf";
    std::ofstream(conf) << "[origin http://localhost:8080]\ncommands=motion\n";
    gxtest::Client control(service.address(), Quiet());
    gxtest::Child bridge(
        {GXEMP_BRIDGE_BIN, "--port", "0", "--config", conf, "--address", service.address()},
        {"XDG_RUNTIME_DIR=" + service.dir()});
    std::string url;
    if (!bridge.ReadLine(&url)) Die("the bridge did not start");
    unsigned port = static_cast<unsigned>(std::stoi(url.substr(url.rfind(':') + 1)));

    Native native(service.address());
    std::unique_ptr<WsClient> page = OpenPage(port);
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    std::vector<double> pageUs;
    for (int i = 0; i < gestures + 20; ++i) {  // the first 20 warm up
        control.EmitMotion(1005, std::to_string(NowNs()));
        double us = PageLatency(*page, *reader);
        if (i >= 20) pageUs.push_back(us);
        while (native.got.load() < i + 1) std::this_thread::yield();
    }
    native.Stop();
    native.latencies.erase(native.latencies.begin(), native.latencies.begin() + 20);
    Report(native.latencies, pageUs, gestures);
    kill(bridge.pid(), SIGTERM);
    bridge.Wait();
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
    try {
        Run(gestures);
    } catch (const std::exception& e) {
        Die(e.what());
    }
    return 0;
}
