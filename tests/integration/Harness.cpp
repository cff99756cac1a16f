#include "Harness.h"

#include <fcntl.h>
#include <json/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;

int StatusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// fork + exec with the given pipes as standard input/output/error (-1: /dev/null for input).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
            int out, int err, int maxFds = 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (in < 0) in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        // A test that is killed (a timeout) takes what it started with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (maxFds > 0) {
            struct rlimit rl = {static_cast<rlim_t>(maxFds), static_cast<rlim_t>(maxFds)};
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        // Leave the service's signals at their defaults whatever the test runner blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void SetCloexec(int fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void Check(int r, const char* what) {
    if (r < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
}

}  // namespace

std::string MotionList(const std::vector<std::string>& names) {
    Json::Value list(Json::arrayValue);
    for (const std::string& n : names) {
        Json::Value item;
        item["itemType"] = n;
        list.append(item);
    }
    Json::Value root;
    root["motionEventList"] = list;
    return root.toStyledString();
}

// ---- TempDir -----------------------------------------------------------------------------------

TempDir::TempDir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/gxemp-itest-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_Path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
}

// ---- Processes ---------------------------------------------------------------------------------

ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& env) {
    TempDir dir;
    std::string inPath = dir.path() + "/in", outPath = dir.path() + "/out",
                errPath = dir.path() + "/err";
    std::ofstream(inPath) << input;
    int in = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_t pid = Spawn(argv, env, in, out, err);
    close(in);
    close(out);
    close(err);
    int raw = 0;
    waitpid(pid, &raw, 0);
    ProcessResult result;
    result.status = StatusOf(raw);
    std::stringstream o, e;
    o << std::ifstream(outPath).rdbuf();
    e << std::ifstream(errPath).rdbuf();
    result.out = o.str();
    result.err = e.str();
    return result;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int in[2], out[2];
    if (pipe(in) < 0 || pipe(out) < 0) throw std::runtime_error("pipe failed");
    SetCloexec(in[1]);
    SetCloexec(out[0]);
    m_Pid = Spawn(argv, env, in[0], out[1], -1);
    close(in[0]);
    close(out[1]);
    m_In = in[1];
    m_Out = out[0];
}

Child::~Child() {
    CloseInput();
    if (m_Pid > 0 && m_Status < 0) {
        kill(m_Pid, SIGKILL);
        Wait();
    }
    if (m_Out >= 0) close(m_Out);
}

bool Child::ReadLine(std::string* line, int timeoutMs, char end) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = m_Buffer.find(end);
        if (nl != std::string::npos) {
            *line = m_Buffer.substr(0, nl);
            m_Buffer.erase(0, nl + 1);
            return true;
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        struct pollfd p = {m_Out, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[4096];
        ssize_t n = read(m_Out, buf, sizeof buf);
        if (n <= 0) return false;
        m_Buffer.append(buf, static_cast<size_t>(n));
    }
}

void Child::Write(const std::string& text) {
    ssize_t n = write(m_In, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) throw std::runtime_error("write to child failed");
}

void Child::CloseInput() {
    if (m_In >= 0) close(m_In);
    m_In = -1;
}

int Child::Wait() {
    if (m_Status >= 0) return m_Status;
    int raw = 0;
    waitpid(m_Pid, &raw, 0);
    m_Status = StatusOf(raw);
    return m_Status;
}

// ---- Service -----------------------------------------------------------------------------------

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Service::Service(const std::vector<std::string>& extraArgs, int maxFds) {
    m_Socket = m_Dir.path() + "/host.sock";
    m_Address = "unix:path=" + m_Socket;
    m_Log = m_Dir.path() + "/gxemp.log";
    if (!Start(extraArgs, maxFds)) throw std::runtime_error("the service did not start:\n" + Log());
}

Service::~Service() {
    if (m_Pid > 0) Stop(SIGKILL);
}

bool Service::Start(const std::vector<std::string>& extraArgs, int maxFds) {
    std::vector<std::string> argv = {GXEMP_BIN, "--address",  m_Address,     "--log",
                                     m_Log,     "--settings", settingsPath()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    int err =
        open((m_Dir.path() + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    m_Pid = Spawn(argv, {}, -1, err, err, maxFds);
    close(err);
    // Ready once the socket accepts a connection.
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        int raw = 0;
        if (waitpid(m_Pid, &raw, WNOHANG) == m_Pid) {
            m_Pid = -1;
            return false;
        }
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_Socket.c_str(), sizeof addr.sun_path - 1);
        bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int Service::Stop(int signal) {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, signal);
    int raw = 0;
    waitpid(m_Pid, &raw, 0);
    m_Pid = -1;
    return StatusOf(raw);
}

int Service::Kill() {
    return Stop(SIGKILL);
}

std::string Service::Log() const {
    std::stringstream s;
    s << std::ifstream(m_Log).rdbuf() << std::ifstream(m_Dir.path() + "/stderr").rdbuf();
    return s.str();
}

bool Service::WaitForLog(const std::string& text, int timeoutMs) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (Log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<pid_t> Service::Workers() const {
    std::vector<pid_t> workers;
    std::string task = "/proc/" + std::to_string(m_Pid) + "/task/";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(task, ec)) {
        std::ifstream in(entry.path() / "children");
        for (pid_t pid = 0; in >> pid;) workers.push_back(pid);
    }
    return workers;
}

namespace {
// "client :1.N (pid P, uid U) connected: worker W serves it"
pid_t FindWorker(const std::string& log, const std::string& key) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(" serves it");
        if (at == std::string::npos || line.find(key) == std::string::npos) continue;
        size_t w = line.rfind("worker ", at);
        if (w != std::string::npos) return std::stoi(line.substr(w + 7));
    }
    return -1;
}
}  // namespace

pid_t Service::WorkerOf(const std::string& clientName) const {
    return FindWorker(Log(), "client " + clientName + " (");
}

pid_t Service::WorkerOf(pid_t clientPid) const {
    return FindWorker(Log(), "(pid " + std::to_string(clientPid) + ",");
}

// ---- Client ------------------------------------------------------------------------------------

namespace {
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
}  // namespace

Client::Client(const std::string& address) {
    Check(sd_bus_new(&m_Bus), "sd_bus_new");
    int r = sd_bus_set_address(m_Bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(m_Bus, 1);
    if (r >= 0) r = sd_bus_start(m_Bus);
    if (r >= 0)
        r = sd_bus_match_signal(m_Bus, nullptr, nullptr, "/org/gxemp/Host1", "org.gxemp.Host1",
                                "Event", &OnEvent, &events);
    if (r < 0) {
        // No destructor runs for a constructor that throws.
        m_Bus = sd_bus_flush_close_unref(m_Bus);
        Check(r, "connect");
    }
}

Client::~Client() {
    sd_bus_flush_close_unref(m_Bus);
}

namespace {
struct Call {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = 0;
    ~Call() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
    void Ok(const char* what) {
        if (r < 0)
            throw std::runtime_error(std::string(what) + ": " +
                                     (error.message ? error.message : std::strerror(-r)));
    }
    std::string ErrorName() const { return r >= 0 ? "" : (error.name ? error.name : "?"); }
};

constexpr char kDest[] = "org.gxemp.Host1";
constexpr char kHost[] = "/org/gxemp/Host1";
constexpr char kHostIf[] = "org.gxemp.Host1";
constexpr char kSim[] = "/org/gxemp/Simulator1";
constexpr char kSimIf[] = "org.gxemp.Simulator1";
}  // namespace

std::string Client::Name() {
    const char* name = nullptr;
    Check(sd_bus_get_unique_name(m_Bus, &name), "unique name");
    return name;
}

std::vector<Client::MotionInstance> Client::MotionStates() {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "MotionStates", &c.error, &c.reply, "");
    c.Ok("MotionStates");
    std::vector<MotionInstance> out;
    Check(sd_bus_message_enter_container(c.reply, 'a', "(uiiiiiiiai)"), "MotionStates");
    while (sd_bus_message_enter_container(c.reply, 'r', "uiiiiiiiai") > 0) {
        MotionInstance m{};
        int32_t ignored = 0;
        Check(sd_bus_message_read(c.reply, "uiiiiiii", &m.worker, &m.handle, &ignored, &ignored,
                                  &ignored, &ignored, &ignored, &ignored),
              "MotionStates");
        const void* data = nullptr;
        size_t size = 0;
        Check(sd_bus_message_read_array(c.reply, 'i', &data, &size), "MotionStates");
        const auto* signals = static_cast<const int32_t*>(data);
        m.subscribed.assign(signals, signals + size / sizeof(int32_t));
        Check(sd_bus_message_exit_container(c.reply), "MotionStates");
        out.push_back(std::move(m));
    }
    return out;
}

uint32_t Client::Open(const std::string& appId) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kHost, kHostIf, "Open", &c.error, &c.reply, "s",
                             appId.c_str());
    c.Ok("Open");
    uint32_t id = 0;
    Check(sd_bus_message_read(c.reply, "u", &id), "Open reply");
    return id;
}

Client::Result Client::Execute(uint32_t engine, const std::string& command, const std::string& arg1,
                               const std::string& arg2, const std::string& arg3,
                               const std::string& arg4) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kHost, kHostIf, "Execute", &c.error, &c.reply, "usssss",
                             engine, command.c_str(), arg1.c_str(), arg2.c_str(), arg3.c_str(),
                             arg4.c_str());
    c.Ok("Execute");
    Result result;
    int served = 0;
    Check(sd_bus_message_read(c.reply, "b", &served), "Execute reply");
    result.served = served != 0;
    const char* contents = nullptr;
    Check(sd_bus_message_peek_type(c.reply, nullptr, &contents), "Execute reply");
    result.type = contents[0];
    if (result.type == 'i') {
        Check(sd_bus_message_read(c.reply, "v", "i", &result.integer), "Execute reply");
    } else {
        const char* s = nullptr;
        Check(sd_bus_message_read(c.reply, "v", "s", &s), "Execute reply");
        result.text = s;
    }
    return result;
}

void Client::Close(uint32_t engine) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kHost, kHostIf, "Close", &c.error, nullptr, "u", engine);
    c.Ok("Close");
}

std::string Client::ErrorOfExecute(uint32_t engine, const std::string& command,
                                   const std::string& arg1) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kHost, kHostIf, "Execute", &c.error, &c.reply, "usssss",
                             engine, command.c_str(), arg1.c_str(), "", "", "");
    return c.ErrorName();
}

std::string Client::ErrorOfClose(uint32_t engine) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kHost, kHostIf, "Close", &c.error, nullptr, "u", engine);
    return c.ErrorName();
}

std::map<std::string, std::string> Client::Info() {
    Call c;
    c.r = sd_bus_get_property(m_Bus, kDest, kHost, kHostIf, "Info", &c.error, &c.reply, "a{ss}");
    c.Ok("Info");
    std::map<std::string, std::string> info;
    Check(sd_bus_message_enter_container(c.reply, 'a', "{ss}"), "Info");
    const char *k = nullptr, *v = nullptr;
    while (sd_bus_message_read(c.reply, "{ss}", &k, &v) > 0) info[k] = v;
    return info;
}

int Client::EmitMotion(int signal, const std::string& text) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "EmitMotionSignal", &c.error, &c.reply,
                             "is", signal, text.c_str());
    c.Ok("EmitMotionSignal");
    int32_t queued = 0;
    Check(sd_bus_message_read(c.reply, "i", &queued), "EmitMotionSignal");
    return queued;
}

int Client::EmitFace(int signal, int id, int x, int y, int w, int h) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "EmitFaceSignal", &c.error, &c.reply,
                             "ia{sv}", signal, 5, "id", "i", id, "x", "i", x, "y", "i", y, "w", "i",
                             w, "h", "i", h);
    c.Ok("EmitFaceSignal");
    int32_t queued = 0;
    Check(sd_bus_message_read(c.reply, "i", &queued), "EmitFaceSignal");
    return queued;
}

void Client::Drain() {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "Drain", &c.error, nullptr, "");
    c.Ok("Drain");
}

void Client::ClearTrace() {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "ClearTrace", &c.error, nullptr, "");
    c.Ok("ClearTrace");
}

std::vector<Client::TraceLine> Client::Trace() {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "Trace", &c.error, &c.reply, "");
    c.Ok("Trace");
    std::vector<TraceLine> lines;
    Check(sd_bus_message_enter_container(c.reply, 'a', "(tusasis)"), "Trace");
    while (sd_bus_message_enter_container(c.reply, 'r', "tusasis") > 0) {
        TraceLine t{};
        const char *fn = nullptr, *detail = nullptr;
        char** args = nullptr;
        Check(sd_bus_message_read(c.reply, "tus", &t.seq, &t.worker, &fn), "Trace");
        Check(sd_bus_message_read_strv(c.reply, &args), "Trace");
        Check(sd_bus_message_read(c.reply, "is", &t.result, &detail), "Trace");
        sd_bus_message_exit_container(c.reply);
        t.call = std::string(fn) + "(";
        for (char** p = args; p && *p; ++p) {
            t.call += (p == args ? "" : ", ") + std::string(*p);
            free(*p);
        }
        free(args);
        t.call += ")";
        t.detail = detail;
        lines.push_back(std::move(t));
    }
    return lines;
}

int Client::GetSetting(const std::string& key) {
    Call c;
    c.r = sd_bus_call_method(m_Bus, kDest, kSim, kSimIf, "GetSetting", &c.error, &c.reply, "s",
                             key.c_str());
    c.Ok("GetSetting");
    int32_t v = 0;
    Check(sd_bus_message_read(c.reply, "i", &v), "GetSetting");
    return v;
}

bool Client::WaitEvents(size_t count, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (events.size() < count) {
        int r = sd_bus_process(m_Bus, nullptr);
        if (r < 0) return false;
        if (r > 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        sd_bus_wait(m_Bus, static_cast<uint64_t>(left.count()));
    }
    return true;
}

void Client::Pump(int ms) {
    WaitEvents(events.size() + 1000000, ms);
}

}  // namespace itest
