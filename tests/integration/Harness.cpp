#include "Harness.h"

#include <glib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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

void Check(int r, const char* what) {
    if (r < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
}

}  // namespace

std::string MotionList(const std::vector<std::string>& names) {
    Json::Value root;
    for (const std::string& n : names)
        root["motionEventList"].append(Json::objectValue)["itemType"] = n;
    return root.toStyledString();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::istringstream(text) >> v;
    return v;
}

std::vector<Json::Value> JsonLines(const std::string& text) {
    std::vector<Json::Value> values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) values.push_back(ParseJson(line));
    return values;
}

int ConnectUnix(const std::string& path, int flags) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
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
    return {StatusOf(raw), ReadFile(outPath), ReadFile(errPath)};
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int in[2], out[2];
    // Both ends close on exec: the child's copies on 0 and 1 (dup2) do not.
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
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
    // Ready once the socket accepts a connection (not if the service ends first, or in 30 s).
    bool ended = false;
    int fd = -1;
    WaitUntil(
        [&] {
            int raw = 0;
            ended = waitpid(m_Pid, &raw, WNOHANG) == m_Pid;
            return ended || (fd = ConnectUnix(m_Socket)) >= 0;
        },
        30000);
    if (ended) m_Pid = -1;
    if (fd >= 0) close(fd);
    return fd >= 0;
}

int Service::Stop(int signal) {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, signal);
    int raw = 0;
    waitpid(m_Pid, &raw, 0);
    m_Pid = -1;
    return StatusOf(raw);
}

std::string Service::Log() const {
    return ReadFile(m_Log) + ReadFile(m_Dir.path() + "/stderr");
}

bool Service::WaitForLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
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

std::vector<pid_t> Service::ServingWorkers() const {
    std::string log = Log();
    std::vector<pid_t> serving;
    for (pid_t w : Workers())
        if (log.find("worker " + std::to_string(w) + " serves it") != std::string::npos)
            serving.push_back(w);
    return serving;
}

// "client :1.N (pid P, uid U) connected: worker W serves it". The broker writes that line in its
// own time (a spare worker may answer the client first), so this waits for it.
pid_t Service::WorkerOf(const std::string& clientName) const {
    pid_t worker = -1;
    WaitUntil([&] {
        std::istringstream lines(Log());
        for (std::string line; std::getline(lines, line);) {
            size_t at = line.find(" serves it"), w = line.rfind("worker ", at);
            if (at != std::string::npos && w != std::string::npos &&
                line.find("client " + clientName + " (") != std::string::npos) {
                worker = std::stoi(line.substr(w + 7));
                return true;
            }
        }
        return false;
    });
    return worker;
}

ProcessResult Service::Ctl(std::vector<std::string> args, const std::string& input) const {
    args.insert(args.begin(), {GXEMPCTL_BIN, "--address", m_Address});
    return RunProgram(args, input);
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

// One call of a Host1 method, or of a Simulator1 method (`sim`): its reply or its error.
struct Call {
    template <typename... Args>
    Call(sd_bus* bus, bool sim, const char* method, const char* types, Args... args)
        : method(method) {
        r = sd_bus_call_method(bus, "org.gxemp.Host1",
                               sim ? "/org/gxemp/Simulator1" : "/org/gxemp/Host1",
                               sim ? "org.gxemp.Simulator1" : "org.gxemp.Host1", method, &error,
                               &reply, types, args...);
    }
    ~Call() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
    sd_bus_message* Ok() {
        if (r < 0)
            throw std::runtime_error(std::string(method) + ": " +
                                     (error.message ? error.message : std::strerror(-r)));
        return reply;
    }
    int32_t Int() {
        int32_t v = 0;
        Check(sd_bus_message_read(Ok(), "i", &v), method);
        return v;
    }
    std::string ErrorName() const { return r >= 0 ? "" : (error.name ? error.name : "?"); }

    const char* method;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = 0;
};
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

std::string Client::Name() {
    const char* name = nullptr;
    Check(sd_bus_get_unique_name(m_Bus, &name), "unique name");
    return name;
}

uint32_t Client::Open(const std::string& appId) {
    Call c(m_Bus, false, "Open", "s", appId.c_str());
    uint32_t id = 0;
    Check(sd_bus_message_read(c.Ok(), "u", &id), "Open reply");
    return id;
}

Client::Result Client::Execute(uint32_t engine, const std::string& command, const std::string& arg1,
                               const std::string& arg2) {
    Call c(m_Bus, false, "Execute", "usssss", engine, command.c_str(), arg1.c_str(), arg2.c_str(),
           "", "");
    Result result;
    int served = 0;
    const char *contents = nullptr, *text = "";
    Check(sd_bus_message_read(c.Ok(), "b", &served), "Execute reply");
    Check(sd_bus_message_peek_type(c.reply, nullptr, &contents), "Execute reply");
    Check(sd_bus_message_enter_container(c.reply, 'v', contents), "Execute reply");
    result.served = served != 0;
    result.type = contents[0];
    void* value = result.type == 'i' ? static_cast<void*>(&result.integer) : &text;
    Check(sd_bus_message_read_basic(c.reply, result.type, value), "Execute reply");
    result.text = text;
    return result;
}

void Client::Close(uint32_t engine) {
    Call(m_Bus, false, "Close", "u", engine).Ok();
}

std::string Client::ErrorOfExecute(uint32_t engine, const std::string& command,
                                   const std::string& arg1) {
    return Call(m_Bus, false, "Execute", "usssss", engine, command.c_str(), arg1.c_str(), "", "",
                "")
        .ErrorName();
}

std::string Client::ErrorOfClose(uint32_t engine) {
    return Call(m_Bus, false, "Close", "u", engine).ErrorName();
}

int Client::EmitMotion(int signal, const std::string& text) {
    return Call(m_Bus, true, "EmitMotionSignal", "is", signal, text.c_str()).Int();
}

int Client::EmitFace(int signal, int id, int x, int y, int w, int h) {
    return Call(m_Bus, true, "EmitFaceSignal", "ia{sv}", signal, 5, "id", "i", id, "x", "i", x, "y",
                "i", y, "w", "i", w, "h", "i", h)
        .Int();
}

void Client::Drain() {
    Call(m_Bus, true, "Drain", "").Ok();
}

std::string Client::SetModel(const std::string& model) {
    return Call(m_Bus, true, "SetModel", "s", model.c_str()).ErrorName();
}

int Client::GetSetting(const std::string& key) {
    return Call(m_Bus, true, "GetSetting", "s", key.c_str()).Int();
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

Browser::Browser(const std::string& chromium) {
    m_Chrome = std::make_unique<Child>(std::vector<std::string>{
        "/bin/sh", "-c", "exec \"$@\" 3<&0 4>&1 >/dev/null 2>&1", "sh", chromium, "--headless",
        "--disable-gpu", "--no-first-run", "--disable-sync", "--disable-background-networking",
        "--disable-component-update", "--disable-quic", "--window-size=1280,720",
        "--remote-debugging-pipe", "--user-data-dir=" + m_Profile.path(),
        geteuid() == 0 ? "--no-sandbox" : "--", "about:blank"});
}

Browser::~Browser() {
    if (m_Chrome) Close();
}

bool Browser::Available(const std::string& chromium) {
    return access(chromium.c_str(), X_OK) == 0;
}

Json::Value Browser::Send(const char* method, const Json::Value& params,
                          const std::string& session) {
    Json::Value m;
    m["id"] = 1;  // one call at a time: the answer is the next message with an id
    m["method"] = method;
    m["params"] = params;
    if (!session.empty()) m["sessionId"] = session;
    m_Chrome->Write(Json::writeString(Json::StreamWriterBuilder(), m) + '\0');
    for (std::string line; m_Chrome->ReadLine(&line, 30000, '\0');)
        if (ParseJson(line).isMember("id")) return ParseJson(line);
    return Json::Value();
}

std::string Browser::Open(const std::string& url) {
    Json::Value target, attach, focus, go;
    target["url"] = "about:blank";
    attach["flatten"] = true;
    attach["targetId"] = Send("Target.createTarget", target)["result"]["targetId"];
    std::string session = Send("Target.attachToTarget", attach)["result"]["sessionId"].asString();
    // A headless page has no focus of its own: it is given one, as the TV's front page has.
    focus["enabled"] = true;
    Send("Emulation.setFocusEmulationEnabled", focus, session);
    go["url"] = url;
    Send("Page.navigate", go, session);
    return session;
}

Json::Value Browser::Await(const std::string& session, const std::string& expression) {
    Json::Value e, v;
    e["returnByValue"] = true;
    e["expression"] = expression;
    WaitUntil(
        [&] {
            return !(v = Send("Runtime.evaluate", e, session)["result"]["result"]["value"])
                        .isNull();
        },
        20000);
    return v;
}

std::string Browser::Screenshot(const std::string& session) {
    gsize n = 0;
    guchar* png = g_base64_decode(
        Send("Page.captureScreenshot", Json::objectValue, session)["result"]["data"].asCString(),
        &n);
    std::string bytes(reinterpret_cast<const char*>(png), n);
    g_free(png);
    return bytes;
}

int Browser::Close() {
    Send("Browser.close", Json::objectValue);
    int status = m_Chrome->Wait();
    m_Chrome.reset();
    return status;
}

}  // namespace itest
