// gxemp-bridge: options, the configuration, the token file, and the loop.
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "Bridge.h"
#include "GlibBus.h"
#include "gxhost/Endpoint.h"

namespace {

const char kUsage[] =
    "Usage: gxemp-bridge [OPTION]...\n"
    "Serves gxemp to web pages on this machine: a WebSocket at\n"
    "ws://127.0.0.1:PORT/bridge/v1 (JSON-RPC 2.0), one gxemp connection per socket.\n"
    "\n"
    "  --port PORT      listen on 127.0.0.1:PORT (default 8790; 0: any free port)\n"
    "  --config FILE    read only FILE, not the system and user configuration\n"
    "  --address ADDR   gxemp's D-Bus address (default: $GXEMP_ADDRESS, else\n"
    "                   unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock)\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Pages may connect from the origins that the configuration allows\n"
    "(" GXEMP_SYSCONFDIR
    "/gxemp/bridge.conf, then $XDG_CONFIG_HOME/gxemp/bridge.conf).\n"
    "Clients without an Origin present the token of the file bridge.token beside\n"
    "gxemp's socket. See gxemp-bridge(1).\n"
    "\n"
    "Exit status: 0 when stopped by SIGINT or SIGTERM, 1 when it cannot start, 2 for\n"
    "a bad option or configuration.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "gxemp-bridge: %s\nTry 'gxemp-bridge --help'.\n", message.c_str());
    return 2;
}

// The token goes beside gxemp's socket, in the user's own directory: only the user can read it.
bool WriteToken(const std::string& token, std::string* path, std::string* error) {
    gchar* dir = g_path_get_dirname(gxhost::DefaultSocketPath().c_str());
    std::string d = dir;
    g_free(dir);
    if (g_mkdir_with_parents(d.c_str(), 0700) != 0) {
        *error = "cannot create " + d + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        *error = d + " must be a directory of this user that only they can enter";
        return false;
    }
    *path = d + "/bridge.token";
    GError* e = nullptr;
    std::string text = token + "\n";
    if (!g_file_set_contents_full(path->c_str(), text.data(), static_cast<gssize>(text.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, 0600, &e)) {
        *error = e->message;
        g_error_free(e);
        return false;
    }
    return true;
}

struct Options {
    long port = bridge::kDefaultPort;
    std::string config, address;
};

// Reads the command line into *o. Returns -1 to go on, else the exit status (--help, --version,
// a bad option).
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("gxemp-bridge %s\n", GXEMP_VERSION);
            return 0;
        } else if (a == "--port" && hasValue) {
            char* end = nullptr;
            o->port = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || o->port < 0 || o->port > 65535)
                return UsageError("--port takes 0 to 65535");
        } else if (a == "--config" && hasValue) {
            o->config = argv[++i];
        } else if (a == "--address" && hasValue) {
            o->address = argv[++i];
        } else if (a == "--port" || a == "--config" || a == "--address") {
            return UsageError(a + " needs a value");
        } else {
            return UsageError("unknown option " + a);
        }
    }
    return -1;
}

// --config FILE alone, else the system's file and then the user's.
bool LoadConfiguration(const Options& o, bridge::Config* cfg, std::string* error) {
    std::vector<std::string> files;
    if (!o.config.empty())
        files = {o.config};
    else
        files = {std::string(GXEMP_SYSCONFDIR) + "/gxemp/bridge.conf",
                 std::string(g_get_user_config_dir()) + "/gxemp/bridge.conf"};
    return bridge::LoadConfig(files, !o.config.empty(), cfg, error);
}

// Runs the loop until SIGINT or SIGTERM, then says goodbye to the pages and gives their close
// frames a moment to go out.
void RunUntilStopped(bridge::Bridge& b) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    auto quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_CONTINUE;
    };
    guint sources[] = {g_unix_signal_add(SIGINT, quit, loop),
                       g_unix_signal_add(SIGTERM, quit, loop)};
    g_main_loop_run(loop);
    for (guint id : sources) g_source_remove(id);
    b.CloseAll();
    gint64 until = g_get_monotonic_time() + G_USEC_PER_SEC;
    while (b.count() > 0 && g_get_monotonic_time() < until)
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    g_main_loop_unref(loop);
}

// Listens and serves; the status to exit with.
int Serve(const Options& o, const bridge::Config& cfg, const std::string& token,
          const std::string& tokenPath) {
    bridge::Bridge b(cfg, o.address, token);
    std::string error;
    if (!b.Listen(static_cast<unsigned>(o.port), &error)) {
        std::fprintf(stderr, "gxemp-bridge: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "gxemp-bridge: %zu origin(s) allowed%s; token in %s\n", cfg.origins.size(),
                 cfg.origins.empty() ? " (no page can connect: see gxemp-bridge(1))" : "",
                 tokenPath.c_str());
    std::printf("ws://127.0.0.1:%u%s\n", b.port(), bridge::kPath);
    std::fflush(stdout);
    RunUntilStopped(b);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int exit = ParseArgs(argc, argv, &o);
    if (exit >= 0) return exit;

    bridge::Config cfg;
    std::string error;
    if (!LoadConfiguration(o, &cfg, &error)) return UsageError("configuration: " + error);

    std::string token, tokenPath;
    if (!gxtools::RandomToken(&token)) {
        std::fprintf(stderr, "gxemp-bridge: cannot get random bytes for the token\n");
        return 1;
    }
    if (!WriteToken(token, &tokenPath, &error)) {
        std::fprintf(stderr, "gxemp-bridge: cannot write the token: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    int status = Serve(o, cfg, token, tokenPath);
    g_unlink(tokenPath.c_str());
    return status;
}
