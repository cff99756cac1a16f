// End-to-end benchmarks of the real gxemp service over its socket, each against baselines run in
// the same process at the same time: a raw unix-socket echo (the physical floor), a bare sd-bus
// peer-to-peer server and a bare GDBus one (bench/Bare*.cpp), and the service itself with
// every client in one process (--single-process) against a worker process per client.
//
//   gxemp_bench_e2e [--repeat N] [--quick] [SECTION...]
//
// Sections: roundtrip, events, footprint, startup (default: all). Every figure is the median of
// N rounds (default 3); in each round the servers are measured one after the other, so that
// whatever else the machine does weighs on all of them alike. Nothing here fails on a time: the
// program prints figures, ratios and whether each target was met, and exits 0 unless a server
// could not be driven at all.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BenchSocket.h"

namespace {

using gxbench::NowNs;

// ---- Settings ----------------------------------------------------------------------------------

struct Settings {
    int repeat = 3;
    bool quick = false;
    // Round trips timed per server and round.
    int calls = 20000;
    // Events of a throughput run, per client count.
    int flood1 = 20000, flood8 = 5000;
    int window = 128;  // events in flight (not yet received by the slowest client)
    // Seconds of a paced latency run at each rate.
    double slowSeconds = 10, fastSeconds = 3;
    int startups = 10;
};

Settings g_Set;

[[noreturn]] void Die(const std::string& what) {
    throw std::runtime_error(what);
}

void Check(int r, const char* what) {
    if (r < 0) Die(std::string(what) + ": " + std::strerror(-r));
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

// ---- Processes ---------------------------------------------------------------------------------

class TempDir {
public:
    TempDir() {
        std::string tmpl = std::filesystem::temp_directory_path().string() + "/gxemp-bench-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) Die("mkdtemp failed");
        m_Path = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    const std::string& path() const { return m_Path; }

private:
    std::string m_Path;
};

// Gxemp logs to a file (--log, as the tests run it); GxempStderr logs to standard error
// (--log /dev/stderr; here stderr is a file in the server's directory). Both serve each client
// in a worker process of its own; GxempSingle serves every client in one process.
enum class Kind { Gxemp, GxempStderr, GxempSingle, Sdbus, Gdbus, Raw };

bool IsGxemp(Kind k) {
    return k == Kind::Gxemp || k == Kind::GxempStderr || k == Kind::GxempSingle;
}

// Proportional set size and its anonymous part of a process, in KiB.
std::pair<double, double> PssOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    double pss = -1, anon = -1;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string key;
        double kb = 0;
        f >> key >> kb;
        if (key == "Pss:") pss = kb;
        if (key == "Pss_Anon:") anon = kb;
    }
    if (pss < 0) Die("cannot read smaps_rollup of process " + std::to_string(pid));
    return {pss, anon};
}

const char* KindName(Kind k) {
    switch (k) {
        case Kind::GxempSingle:
            return "gxemp --single-process";
        case Kind::Gxemp:
            return "gxemp";
        case Kind::GxempStderr:
            return "gxemp, log on stderr";
        case Kind::Sdbus:
            return "bare sd-bus";
        case Kind::Gdbus:
            return "bare GDBus";
        case Kind::Raw:
            return "raw socket";
    }
    return "?";
}

// One server process on its own socket in its own temporary directory.
class Server {
public:
    explicit Server(Kind kind) : m_Kind(kind) {
        m_Socket = m_Dir.path() + "/server.sock";
        m_Address = "unix:path=" + m_Socket;
    }
    ~Server() { Stop(); }

    // Starts the process and returns once it accepts connections (the start time is kept).
    void Start() {
        std::vector<std::string> argv;
        switch (m_Kind) {
            case Kind::Gxemp:
                argv = {GXEMP_BIN,
                        "--address",
                        m_Address,
                        "--log",
                        m_Dir.path() + "/gxemp.log",
                        "--settings",
                        m_Dir.path() + "/settings.ini"};
                break;
            case Kind::GxempStderr:
                argv = {GXEMP_BIN,
                        "--address",
                        m_Address,
                        "--log",
                        "/dev/stderr",
                        "--settings",
                        m_Dir.path() + "/settings.ini"};
                break;
            case Kind::GxempSingle:
                argv = {GXEMP_BIN,    "--single-process",
                        "--address",  m_Address,
                        "--log",      m_Dir.path() + "/gxemp.log",
                        "--settings", m_Dir.path() + "/settings.ini"};
                break;
            case Kind::Sdbus:
                argv = {SDBUS_SERVER_BIN, m_Address};
                break;
            case Kind::Gdbus:
                argv = {GDBUS_SERVER_BIN, m_Address};
                break;
            case Kind::Raw:
                argv = {RAW_ECHO_BIN, m_Socket};
                break;
        }
        std::string out = m_Dir.path() + "/output";
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        m_Started = NowNs();
        m_Pid = fork();
        if (m_Pid < 0) Die("fork failed");
        if (m_Pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        for (;;) {
            int fd = gxbench::ConnectUnix(m_Socket);
            if (fd >= 0) {
                close(fd);
                m_Listening = NowNs();
                return;
            }
            int raw = 0;
            if (waitpid(m_Pid, &raw, WNOHANG) == m_Pid) {
                m_Pid = -1;
                Die(std::string(KindName(m_Kind)) + " did not start:\n" + Output());
            }
            if (NowNs() - m_Started > 30000000000ull) Die("server start timed out");
            usleep(100);
        }
    }

    void Stop() {
        if (m_Pid <= 0) return;
        kill(m_Pid, SIGTERM);
        int raw = 0;
        waitpid(m_Pid, &raw, 0);
        m_Pid = -1;
        unlink(m_Socket.c_str());
    }

    std::string Output() const {
        std::stringstream s;
        s << std::ifstream(m_Dir.path() + "/output").rdbuf();
        return s.str();
    }

    // Proportional set size and its anonymous part, in KiB: of the server's own process, and
    // of it with its workers.
    std::pair<double, double> Pss() const { return PssOf(m_Pid); }
    std::pair<double, double> TotalPss() const {
        std::pair<double, double> total = Pss();
        for (pid_t w : Workers()) {
            auto one = PssOf(w);
            total.first += one.first;
            total.second += one.second;
        }
        return total;
    }

    // The worker processes (children) of the server.
    std::vector<pid_t> Workers() const {
        std::vector<pid_t> out;
        std::error_code ec;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(m_Pid) + "/task", ec)) {
            std::ifstream in(task.path() / "children");
            for (pid_t pid = 0; in >> pid;) out.push_back(pid);
        }
        return out;
    }

    // CPU time the server and its workers have used so far, all threads, in ns (from the
    // scheduler's accounting, which is exact where utime/stime are sampled in ticks). A worker
    // that has ended is no longer counted.
    uint64_t CpuNs() const {
        uint64_t total = 0;
        std::vector<pid_t> pids = Workers();
        pids.push_back(m_Pid);
        for (pid_t pid : pids) {
            std::error_code ec;
            for (const auto& task : std::filesystem::directory_iterator(
                     "/proc/" + std::to_string(pid) + "/task", ec)) {
                std::ifstream in(task.path() / "schedstat");
                uint64_t ns = 0;
                if (in >> ns) total += ns;
            }
        }
        return total;
    }

    Kind kind() const { return m_Kind; }
    const std::string& address() const { return m_Address; }
    const std::string& socket() const { return m_Socket; }
    uint64_t started() const { return m_Started; }

private:
    Kind m_Kind;
    TempDir m_Dir;
    std::string m_Socket, m_Address;
    pid_t m_Pid = -1;
    uint64_t m_Started = 0, m_Listening = 0;
};

// ---- D-Bus clients -----------------------------------------------------------------------------

constexpr char kHost[] = "/org/gxemp/Host1";
constexpr char kHostIf[] = "org.gxemp.Host1";
constexpr char kSim[] = "/org/gxemp/Simulator1";
constexpr char kSimIf[] = "org.gxemp.Simulator1";
constexpr int kGrab = 1005;

std::string SubscriptionText() {
    Json::Value item;
    item["itemType"] = "EVENT_MOTION_GRAB";
    Json::Value root;
    root["motionEventList"].append(item);
    return root.toStyledString();
}

class Bus {
public:
    // busClient: say Hello first, as the stock clients and gxempctl do.
    Bus(const std::string& address, bool busClient) {
        Check(sd_bus_new(&m_Bus), "sd_bus_new");
        Check(sd_bus_set_address(m_Bus, address.c_str()), "sd_bus_set_address");
        Check(sd_bus_set_bus_client(m_Bus, busClient ? 1 : 0), "sd_bus_set_bus_client");
        Check(sd_bus_start(m_Bus), "connect");
    }
    ~Bus() { sd_bus_flush_close_unref(m_Bus); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    sd_bus* get() { return m_Bus; }

    uint32_t Open() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(m_Bus, nullptr, kHost, kHostIf, "Open", &error, &reply, "s",
                                   "bench");
        uint32_t id = 0;
        if (r >= 0) r = sd_bus_message_read(reply, "u", &id);
        std::string message = error.message ? error.message : "";
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        if (r < 0) Die("Open failed: " + (message.empty() ? std::strerror(-r) : message));
        return id;
    }

    // Execute; returns the integer result (or -1 when the result is not one).
    int Execute(uint32_t engine, const char* command, const char* arg1 = "",
                const char* arg2 = "") {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(m_Bus, nullptr, kHost, kHostIf, "Execute", &error, &reply,
                                   "usssss", engine, command, arg1, arg2, "", "");
        int served = 0;
        int32_t value = -1;
        if (r >= 0) r = sd_bus_message_read(reply, "b", &served);
        if (r >= 0 && sd_bus_message_read(reply, "v", "i", &value) < 0) value = -1;
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        if (r < 0) Die(std::string("Execute failed: ") + std::strerror(-r));
        return value;
    }

    void Ping() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(m_Bus, nullptr, kHost, "org.freedesktop.DBus.Peer", "Ping",
                                   &error, nullptr, "");
        sd_bus_error_free(&error);
        Check(r, "Ping");
    }

    // Sends a motion signal without waiting for (or asking for) a reply.
    void Emit(const std::string& text) {
        sd_bus_message* m = nullptr;
        int r =
            sd_bus_message_new_method_call(m_Bus, &m, nullptr, kSim, kSimIf, "EmitMotionSignal");
        if (r >= 0) r = sd_bus_message_append(m, "is", kGrab, text.c_str());
        if (r >= 0) r = sd_bus_message_set_expect_reply(m, 0);
        if (r >= 0) r = sd_bus_send(m_Bus, m, nullptr);
        sd_bus_message_unref(m);
        Check(r, "EmitMotionSignal");
        Check(sd_bus_flush(m_Bus), "flush");
    }

private:
    sd_bus* m_Bus = nullptr;
};

// ---- Round trips -------------------------------------------------------------------------------

struct Trip {
    double meanUs = 0, p50Us = 0, p99Us = 0;
    double serverCpuUs = 0;  // the server's CPU time per call
};

Trip Summarise(std::vector<double>& us) {
    Trip t;
    double sum = 0;
    for (double v : us) sum += v;
    t.meanUs = us.empty() ? 0 : sum / static_cast<double>(us.size());
    std::sort(us.begin(), us.end());
    t.p50Us = Percentile(us, 50);
    t.p99Us = Percentile(us, 99);
    return t;
}

// The command every Execute round trip runs: it calls into the simulated motion library.
constexpr char kCommand[] = "GetMotionBrightnessLevel";

Trip DbusRoundTrips(Server& server, int calls) {
    Bus bus(server.address(), false);
    uint32_t engine = bus.Open();
    if (bus.Execute(engine, kCommand) < 0)
        Die(std::string(KindName(server.kind())) + ": Execute returned no integer");
    for (int i = 0; i < calls / 10; ++i) bus.Execute(engine, kCommand);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(calls));
    uint64_t cpu = server.CpuNs();
    for (int i = 0; i < calls; ++i) {
        uint64_t t = NowNs();
        bus.Execute(engine, kCommand);
        us.push_back(static_cast<double>(NowNs() - t) / 1000.0);
    }
    double cpuUs = static_cast<double>(server.CpuNs() - cpu) / 1000.0 / calls;
    Trip trip = Summarise(us);
    trip.serverCpuUs = cpuUs;
    return trip;
}

// About the size of an Execute call on the wire.
constexpr size_t kRawMessage = 192;

Trip RawRoundTrips(Server& server, int calls) {
    int fd = gxbench::ConnectUnix(server.socket());
    if (fd < 0) Die("cannot connect to the raw echo server");
    char buf[kRawMessage];
    std::memset(buf, 'x', sizeof buf);
    auto once = [&] {
        if (write(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) Die("raw write");
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            if (n <= 0) Die("raw read");
            got += static_cast<size_t>(n);
        }
    };
    for (int i = 0; i < calls / 10; ++i) once();
    std::vector<double> us;
    us.reserve(static_cast<size_t>(calls));
    uint64_t cpu = server.CpuNs();
    for (int i = 0; i < calls; ++i) {
        uint64_t t = NowNs();
        once();
        us.push_back(static_cast<double>(NowNs() - t) / 1000.0);
    }
    double cpuUs = static_cast<double>(server.CpuNs() - cpu) / 1000.0 / calls;
    close(fd);
    Trip trip = Summarise(us);
    trip.serverCpuUs = cpuUs;
    return trip;
}

// ---- Events ------------------------------------------------------------------------------------

// One client receiving events on its own thread. The payload of every event is
// "<phase> <sequence> <send time in ns>", put there by the emitter.
class Receiver {
public:
    Receiver(Server& server) : m_Bus(server.address(), true) {
        Check(sd_bus_match_signal(m_Bus.get(), nullptr, nullptr, kHost, kHostIf, "Event",
                                  &Receiver::OnEvent, this),
              "AddMatch");
        uint32_t engine = m_Bus.Open();
        if (IsGxemp(server.kind())) {
            // Subscribed right after Open: the subscription works on the engine built last.
            std::string widget = "bench" + std::to_string(engine);
            if (m_Bus.Execute(engine, "SetMotionSubscribeInfo", widget.c_str(),
                              SubscriptionText().c_str()) != 1)
                Die("SetMotionSubscribeInfo failed");
        }
    }
    ~Receiver() { Stop(); }

    void Run() {
        m_Thread = std::thread([this] {
            while (!m_Stop.load()) {
                int r = sd_bus_process(m_Bus.get(), nullptr);
                if (r < 0) break;
                if (r > 0) continue;
                sd_bus_wait(m_Bus.get(), 20000);
            }
        });
    }
    void Stop() {
        m_Stop = true;
        if (m_Thread.joinable()) m_Thread.join();
    }

    uint64_t Received() const { return m_Received.load(std::memory_order_acquire); }
    uint64_t LastArrival() const { return m_Last.load(); }
    // From the emitter's call, or (`fromLibrary`) from the simulated library's delivery.
    std::vector<double> TakeLatencies(int phase, bool fromLibrary = false) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::vector<double> out;
        out.swap(fromLibrary ? m_FromLibrary[phase] : m_Latency[phase]);
        return out;
    }

    static std::mutex s_WakeMutex;
    static std::condition_variable s_Wake;
    static std::atomic<bool> s_Waiting;

private:
    static int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error*) {
        uint64_t now = NowNs();
        auto* self = static_cast<Receiver*>(userdata);
        uint32_t engine = 0;
        int32_t code = 0;
        const char *name = nullptr, *data = nullptr;
        if (sd_bus_message_read(m, "uiss", &engine, &code, &name, &data) < 0) return 0;
        int phase = 0;
        unsigned long long seq = 0, sent = 0, delivered = 0;
        // gxemp's library replaces "{now}" with its delivery time; the bare server does not.
        int fields = std::sscanf(data, "%d %llu %llu %llu", &phase, &seq, &sent, &delivered);
        if (fields < 3) return 0;
        {
            std::lock_guard<std::mutex> lock(self->m_Mutex);
            self->m_Latency[phase].push_back(static_cast<double>(now - sent) / 1000.0);
            if (fields == 4)
                self->m_FromLibrary[phase].push_back(static_cast<double>(now - delivered) / 1000.0);
        }
        self->m_Last = now;
        self->m_Received.fetch_add(1, std::memory_order_release);
        if (s_Waiting.load()) {
            std::lock_guard<std::mutex> lock(s_WakeMutex);
            s_Wake.notify_all();
        }
        return 0;
    }

    Bus m_Bus;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<uint64_t> m_Received{0};
    std::atomic<uint64_t> m_Last{0};
    std::mutex m_Mutex;
    std::map<int, std::vector<double>> m_Latency, m_FromLibrary;
};

std::mutex Receiver::s_WakeMutex;
std::condition_variable Receiver::s_Wake;
std::atomic<bool> Receiver::s_Waiting{false};

struct EventRun {
    double perSecond = 0;    // emitted events delivered to every client, per second
    double serverCpuUs = 0;  // the server's CPU time per emitted event
    double p50Us = 0, p99Us = 0, maxUs = 0;
    double libraryP50Us = 0, libraryP99Us = 0;  // from the library's delivery
    uint64_t lost = 0;
};

class EventRig {
public:
    EventRig(Server& server, int clients) : m_Server(server), m_Emitter(server.address(), false) {
        for (int i = 0; i < clients; ++i) m_Receivers.push_back(std::make_unique<Receiver>(server));
        for (auto& r : m_Receivers) r->Run();
    }

    uint64_t MinReceived() const {
        uint64_t m = UINT64_MAX;
        for (auto& r : m_Receivers) m = std::min(m, r->Received());
        return m;
    }

    // Waits until every client has `target` events, or the deadline passes.
    bool WaitAll(uint64_t target, uint64_t deadlineNs) {
        while (MinReceived() < target) {
            if (NowNs() > deadlineNs) return false;
            usleep(200);
        }
        return true;
    }

    std::string Payload(int phase, uint64_t seq) {
        char text[64];
        std::snprintf(text, sizeof text, "%d %llu %llu {now}", phase,
                      static_cast<unsigned long long>(seq),
                      static_cast<unsigned long long>(NowNs()));
        return text;
    }

    EventRun Flood(int phase, int count, int window) {
        uint64_t base = MinReceived();
        uint64_t cpu = m_Server.CpuNs();
        uint64_t start = NowNs();
        for (int i = 0; i < count; ++i) {
            if (static_cast<uint64_t>(i) >= MinReceived() - base + static_cast<uint64_t>(window)) {
                std::unique_lock<std::mutex> lock(Receiver::s_WakeMutex);
                Receiver::s_Waiting = true;
                Receiver::s_Wake.wait_for(lock, std::chrono::milliseconds(1), [&] {
                    return static_cast<uint64_t>(i) <
                           MinReceived() - base + static_cast<uint64_t>(window);
                });
                Receiver::s_Waiting = false;
                --i;
                continue;
            }
            m_Emitter.Emit(Payload(phase, static_cast<uint64_t>(i)));
        }
        bool all = WaitAll(base + static_cast<uint64_t>(count), NowNs() + 10000000000ull);
        uint64_t end = 0;
        for (auto& r : m_Receivers) end = std::max(end, r->LastArrival());
        EventRun run = Latencies(phase);
        run.serverCpuUs = static_cast<double>(m_Server.CpuNs() - cpu) / 1000.0 / count;
        run.perSecond = static_cast<double>(count) / (static_cast<double>(end - start) / 1e9);
        if (!all) run.lost = base + static_cast<uint64_t>(count) - MinReceived();
        return run;
    }

    EventRun Paced(int phase, double rate, double seconds) {
        int count = std::max(1, static_cast<int>(rate * seconds));
        uint64_t base = MinReceived();
        uint64_t period = static_cast<uint64_t>(1e9 / rate);
        uint64_t start = NowNs();
        for (int i = 0; i < count; ++i) {
            uint64_t due = start + static_cast<uint64_t>(i) * period;
            struct timespec ts = {static_cast<time_t>(due / 1000000000ull),
                                  static_cast<long>(due % 1000000000ull)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            m_Emitter.Emit(Payload(phase, static_cast<uint64_t>(i)));
        }
        bool all = WaitAll(base + static_cast<uint64_t>(count), NowNs() + 5000000000ull);
        EventRun run = Latencies(phase);
        run.perSecond = rate;
        if (!all) run.lost = base + static_cast<uint64_t>(count) - MinReceived();
        return run;
    }

private:
    EventRun Latencies(int phase) {
        std::vector<double> all, library;
        for (auto& r : m_Receivers) {
            std::vector<double> one = r->TakeLatencies(phase);
            all.insert(all.end(), one.begin(), one.end());
            one = r->TakeLatencies(phase, true);
            library.insert(library.end(), one.begin(), one.end());
        }
        std::sort(all.begin(), all.end());
        std::sort(library.begin(), library.end());
        EventRun run;
        run.libraryP50Us = Percentile(library, 50);
        run.libraryP99Us = Percentile(library, 99);
        run.p50Us = Percentile(all, 50);
        run.p99Us = Percentile(all, 99);
        run.maxUs = all.empty() ? 0 : all.back();
        return run;
    }

    Server& m_Server;
    Bus m_Emitter;
    std::vector<std::unique_ptr<Receiver>> m_Receivers;
};

// ---- Output ------------------------------------------------------------------------------------

struct Row {
    std::string what;
    double value, baseline;  // baseline <= 0: no ratio
    std::string unit;
    std::string target;  // e.g. "<= 1.15x" or "< 1000 us"
    int verdict;         // 1 met, 0 missed, -1 no target
};

std::vector<Row> g_Rows;

void AddRow(const std::string& what, double value, double baseline, const std::string& unit,
            const std::string& target = "", int verdict = -1) {
    g_Rows.push_back({what, value, baseline, unit, target, verdict});
}

void PrintRows(const std::string& title) {
    std::printf("\n== %s (median of %d rounds)\n", title.c_str(), g_Set.repeat);
    std::printf("%-64s %10s %10s %7s  %s\n", "figure", "value", "baseline", "ratio", "target");
    for (const Row& r : g_Rows) {
        char ratio[32] = "";
        char base[32] = "";
        if (r.baseline > 0) {
            std::snprintf(ratio, sizeof ratio, "%.2fx", r.value / r.baseline);
            std::snprintf(base, sizeof base, "%.1f", r.baseline);
        }
        std::string target = r.target;
        if (r.verdict >= 0) target += r.verdict ? "  met" : "  MISSED";
        std::printf("%-64s %10.1f %10s %7s  %s\n", (r.what + " [" + r.unit + "]").c_str(), r.value,
                    base, ratio, target.c_str());
    }
    std::fflush(stdout);
    g_Rows.clear();
}

// ---- Sections ----------------------------------------------------------------------------------

void RoundTripSection() {
    std::map<Kind, std::vector<Trip>> trips;
    const Kind kinds[] = {Kind::Raw,         Kind::Sdbus, Kind::Gdbus,
                          Kind::GxempSingle, Kind::Gxemp, Kind::GxempStderr};
    std::map<Kind, std::unique_ptr<Server>> servers;
    for (Kind k : kinds) {
        servers[k] = std::make_unique<Server>(k);
        servers[k]->Start();
    }
    for (int round = 0; round < g_Set.repeat; ++round)
        for (Kind k : kinds)
            trips[k].push_back(k == Kind::Raw ? RawRoundTrips(*servers[k], g_Set.calls)
                                              : DbusRoundTrips(*servers[k], g_Set.calls));
    // Every line the service wrote on stderr must be there once it has stopped, however the
    // sink buffers them.
    Server& logged = *servers[Kind::GxempStderr];
    logged.Stop();
    std::string output = logged.Output();
    for (const char* line :
         {"EMP-HOST: serving on", "strCmd = GetMotionBrightnessLevel", "EMP-HOST: stopped"})
        if (output.find(line) == std::string::npos)
            Die(std::string("the service's stderr lacks the line '") + line + "'");
    auto med = [&](Kind k, double Trip::*field) {
        std::vector<double> v;
        for (const Trip& t : trips[k]) v.push_back(t.*field);
        return Median(v);
    };
    double sd = med(Kind::Sdbus, &Trip::meanUs);
    for (Kind k : kinds) {
        // Each server against the next simpler one: D-Bus servers against bare sd-bus, bare
        // sd-bus against the raw socket.
        Kind base = k == Kind::Raw ? Kind::Raw : k == Kind::Sdbus ? Kind::Raw : Kind::Sdbus;
        auto baseline = [&](double Trip::*field) { return k == base ? 0.0 : med(base, field); };
        std::string name = std::string("Execute round trip, ") + KindName(k) + ", mean";
        double v = med(k, &Trip::meanUs);
        if (IsGxemp(k))
            AddRow(name, v, sd, "us", "<= 1.15x", v / sd <= 1.15);
        else
            AddRow(name, v, baseline(&Trip::meanUs), "us");
        double p50 = med(k, &Trip::p50Us), sd50 = med(Kind::Sdbus, &Trip::p50Us);
        if (IsGxemp(k))
            AddRow("  p50", p50, sd50, "us", "<= 1.15x", p50 / sd50 <= 1.15);
        else
            AddRow("  p50", p50, baseline(&Trip::p50Us), "us");
        if (k == Kind::Gxemp) {
            // A worker per client against one process for all: the same path, in another process.
            double single = med(Kind::GxempSingle, &Trip::meanUs);
            AddRow("  mean against --single-process", v, single, "us", "<= 1.10x",
                   v / single <= 1.10);
        }
        AddRow("  p99", med(k, &Trip::p99Us), baseline(&Trip::p99Us), "us");
        AddRow("  server CPU per call", med(k, &Trip::serverCpuUs), baseline(&Trip::serverCpuUs),
               "us");
    }
    PrintRows("Execute round trip (" + std::to_string(g_Set.calls) + " calls of " + kCommand +
              " per round)");
}

void EventSection() {
    struct Key {
        Kind kind;
        int clients;
        int test;  // 0 flood, 1 at 30/s, 2 at 1000/s
        bool operator<(const Key& o) const {
            return std::tie(kind, clients, test) < std::tie(o.kind, o.clients, o.test);
        }
    };
    std::map<Key, std::vector<EventRun>> runs;
    const Kind kinds[] = {Kind::Sdbus, Kind::GxempSingle, Kind::Gxemp, Kind::GxempStderr};
    int phase = 0;
    for (int round = 0; round < g_Set.repeat; ++round) {
        for (int clients : {1, 8}) {
            for (Kind k : kinds) {
                // A fresh service for every set of clients: the first engine destroyed unloads
                // the motion library's entry points for all engines, so the others' motion
                // handles would stay subscribed in the library and load later runs.
                Server server(k);
                server.Start();
                EventRig rig(server, clients);
                int flood = clients == 1 ? g_Set.flood1 : g_Set.flood8;
                runs[{k, clients, 0}].push_back(rig.Flood(++phase, flood, g_Set.window));
                runs[{k, clients, 1}].push_back(rig.Paced(++phase, 30, g_Set.slowSeconds));
                runs[{k, clients, 2}].push_back(rig.Paced(++phase, 1000, g_Set.fastSeconds));
            }
        }
    }
    auto med = [&](Kind k, int clients, int test, double EventRun::*field) {
        std::vector<double> v;
        for (const EventRun& r : runs[{k, clients, test}]) v.push_back(r.*field);
        return Median(v);
    };
    uint64_t lost = 0;
    for (auto& [key, list] : runs)
        for (const EventRun& r : list) lost += r.lost;
    for (Kind gk : {Kind::GxempSingle, Kind::Gxemp, Kind::GxempStderr}) {
        std::string who = KindName(gk);
        for (int clients : {1, 8}) {
            std::string c = std::to_string(clients) + (clients == 1 ? " client" : " clients");
            double g = med(gk, clients, 0, &EventRun::perSecond);
            double b = med(Kind::Sdbus, clients, 0, &EventRun::perSecond);
            AddRow(who + ": event throughput, " + c, g, b, "events/s", ">= 0.90x", g / b >= 0.9);
            AddRow("  flood latency p50", med(gk, clients, 0, &EventRun::p50Us),
                   med(Kind::Sdbus, clients, 0, &EventRun::p50Us), "us");
            AddRow("  flood server CPU per event", med(gk, clients, 0, &EventRun::serverCpuUs),
                   med(Kind::Sdbus, clients, 0, &EventRun::serverCpuUs), "us");
            for (int test : {1, 2}) {
                std::string rate = test == 1 ? "30/s" : "1000/s";
                double p99 = med(gk, clients, test, &EventRun::p99Us);
                double base99 = med(Kind::Sdbus, clients, test, &EventRun::p99Us);
                AddRow("  latency p50, " + c + ", " + rate,
                       med(gk, clients, test, &EventRun::p50Us),
                       med(Kind::Sdbus, clients, test, &EventRun::p50Us), "us");
                if (test == 1 && clients == 8)
                    AddRow("  latency p99, " + c + ", " + rate, p99, base99, "us", "< 1000 us",
                           p99 < 1000);
                else
                    AddRow("  latency p99, " + c + ", " + rate, p99, base99, "us");
                if (gk == Kind::Gxemp) {
                    // A gesture emitted through the simulator crosses the emitter's worker and
                    // the broker before it reaches the workers whose library delivers it; a
                    // real gesture starts at the library. From there on the path is the same.
                    double p50 = med(gk, clients, test, &EventRun::p50Us);
                    double single = med(Kind::GxempSingle, clients, test, &EventRun::p50Us);
                    AddRow("  latency p50 against --single-process", p50, single, "us");
                    double lib = med(gk, clients, test, &EventRun::libraryP50Us);
                    double libSingle =
                        med(Kind::GxempSingle, clients, test, &EventRun::libraryP50Us);
                    AddRow("  library to client p50 against --single-process", lib, libSingle, "us",
                           "<= 1.10x", lib / libSingle <= 1.10);
                    AddRow("  library to client p99 against --single-process",
                           med(gk, clients, test, &EventRun::libraryP99Us),
                           med(Kind::GxempSingle, clients, test, &EventRun::libraryP99Us), "us");
                }
                AddRow("  latency max, " + c + ", " + rate,
                       med(gk, clients, test, &EventRun::maxUs),
                       med(Kind::Sdbus, clients, test, &EventRun::maxUs), "us");
            }
        }
    }
    PrintRows(
        "Events: simulated gesture to Event at the client, against a bare sd-bus signal "
        "stream driven the same way");
    if (lost > 0)
        std::printf("note: %llu events did not arrive within the wait (dropped or late)\n",
                    static_cast<unsigned long long>(lost));
}

void FootprintSection() {
    struct Sample {
        double idle, idleAnon, one, all, allAnon, worker, workerAnon;
    };
    std::map<Kind, std::vector<Sample>> samples;
    const Kind kinds[] = {Kind::Sdbus, Kind::GxempSingle, Kind::Gxemp};
    const int kClients = 16;
    for (int round = 0; round < g_Set.repeat; ++round) {
        for (Kind k : kinds) {
            Server server(k);
            server.Start();
            usleep(200000);
            Sample s{};
            std::tie(s.idle, s.idleAnon) = server.Pss();
            std::vector<std::unique_ptr<Bus>> clients;
            for (int i = 0; i < kClients; ++i) {
                clients.push_back(std::make_unique<Bus>(server.address(), true));
                clients.back()->Open();
                if (i == 0) {
                    usleep(100000);
                    s.one = server.TotalPss().first;
                    std::vector<pid_t> workers = server.Workers();
                    if (!workers.empty()) std::tie(s.worker, s.workerAnon) = PssOf(workers.front());
                }
            }
            usleep(200000);
            std::tie(s.all, s.allAnon) = server.TotalPss();
            samples[k].push_back(s);
            clients.clear();
            server.Stop();
        }
    }
    auto med = [&](Kind k, double Sample::*field) {
        std::vector<double> v;
        for (const Sample& s : samples[k]) v.push_back(s.*field);
        return Median(v);
    };
    auto further = [&](Kind k) {
        std::vector<double> v;
        for (const Sample& s : samples[k]) v.push_back((s.all - s.one) / (kClients - 1));
        return Median(v);
    };
    double bareIdle = med(Kind::Sdbus, &Sample::idle);
    double single = med(Kind::GxempSingle, &Sample::idle);
    AddRow("PSS idle, gxemp --single-process vs bare sd-bus server", single, bareIdle, "KiB",
           "<= 1.30x", single / bareIdle <= 1.3);
    AddRow("Pss_Anon idle, --single-process", med(Kind::GxempSingle, &Sample::idleAnon),
           med(Kind::Sdbus, &Sample::idleAnon), "KiB", "< 1024 KiB",
           med(Kind::GxempSingle, &Sample::idleAnon) < 1024);
    AddRow("PSS idle, gxemp broker", med(Kind::Gxemp, &Sample::idle), bareIdle, "KiB");
    AddRow("Pss_Anon idle, broker", med(Kind::Gxemp, &Sample::idleAnon),
           med(Kind::Sdbus, &Sample::idleAnon), "KiB");
    AddRow("PSS of a worker holding one engine", med(Kind::Gxemp, &Sample::worker), 0, "KiB");
    AddRow("Pss_Anon of that worker", med(Kind::Gxemp, &Sample::workerAnon), 0, "KiB");
    for (Kind k : {Kind::GxempSingle, Kind::Gxemp}) {
        std::string who = KindName(k);
        AddRow(who + ": PSS with 1 client holding an engine", med(k, &Sample::one),
               med(Kind::Sdbus, &Sample::one), "KiB");
        AddRow("  PSS with 16 clients holding engines", med(k, &Sample::all),
               med(Kind::Sdbus, &Sample::all), "KiB");
        AddRow("  Pss_Anon with 16 clients", med(k, &Sample::allAnon),
               med(Kind::Sdbus, &Sample::allAnon), "KiB");
        AddRow("  PSS of each further client (2nd..16th)", further(k), further(Kind::Sdbus), "KiB");
    }
    PrintRows(
        "Footprint (/proc/PID/smaps_rollup of the server and its workers; baseline: the bare "
        "sd-bus server, whose clients call its Open)");
}

void StartupSection() {
    std::map<Kind, std::vector<double>> ping, open, client;
    const Kind kinds[] = {Kind::Sdbus, Kind::GxempSingle, Kind::Gxemp};
    for (int i = 0; i < g_Set.startups * g_Set.repeat; ++i) {
        for (Kind k : kinds) {
            Server server(k);
            server.Start();
            {
                Bus bus(server.address(), false);
                bus.Ping();
                ping[k].push_back(static_cast<double>(NowNs() - server.started()) / 1e6);
                bus.Open();
                open[k].push_back(static_cast<double>(NowNs() - server.started()) / 1e6);
            }
            // A further client of a running service: with a worker per client, this is the
            // spare worker that the first client's hand-off started (given time to get ready, as
            // it has between applications), or the start of its worker with --spare-workers 0.
            usleep(300000);
            uint64_t start = NowNs();
            Bus bus(server.address(), true);
            bus.Ping();
            client[k].push_back(static_cast<double>(NowNs() - start) / 1e6);
        }
    }
    for (Kind k : {Kind::GxempSingle, Kind::Gxemp}) {
        double first = Median(ping[k]);
        AddRow(std::string(KindName(k)) + ": start to first call answered (Ping)", first,
               Median(ping[Kind::Sdbus]), "ms", "<= 20 ms", first <= 20);
        AddRow("  start to first engine served (Open)", Median(open[k]), Median(open[Kind::Sdbus]),
               "ms");
        AddRow("  a new client: connect to first answer", Median(client[k]),
               Median(client[Kind::Sdbus]), "ms");
    }
    PrintRows("Start-up (fork and exec to the reply; " +
              std::to_string(g_Set.startups * g_Set.repeat) + " starts each, median)");
}

}  // namespace

int main(int argc, char** argv) {
    std::set<std::string> sections;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--repeat" && i + 1 < argc) {
            g_Set.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--quick") {
            g_Set.quick = true;
        } else if (a == "roundtrip" || a == "events" || a == "footprint" || a == "startup") {
            sections.insert(a);
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--repeat N] [--quick] [roundtrip|events|footprint|startup]...\n",
                argv[0]);
            return 2;
        }
    }
    if (g_Set.quick) {
        // Proves every path works; the figures mean nothing.
        g_Set.repeat = 1;
        g_Set.calls = 200;
        g_Set.flood1 = g_Set.flood8 = 200;
        g_Set.slowSeconds = 0.2;
        g_Set.fastSeconds = 0.1;
        g_Set.startups = 1;
    }
    if (sections.empty()) sections = {"roundtrip", "events", "footprint", "startup"};
    signal(SIGPIPE, SIG_IGN);
    try {
        if (sections.count("roundtrip")) RoundTripSection();
        if (sections.count("events")) EventSection();
        if (sections.count("footprint")) FootprintSection();
        if (sections.count("startup")) StartupSection();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gxemp_bench_e2e: %s\n", e.what());
        return 1;
    }
    return 0;
}
