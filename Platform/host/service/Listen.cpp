// The service's listening socket. See Listen.h.
#include "service/Listen.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gxhost/Endpoint.h"
#include "service/HostLog.h"

namespace gxhost {

namespace {

// The directory of the default socket is private to the user.
bool PreparePrivateDirectory(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST)
        return *error = "cannot create " + dir + ": " + std::strerror(errno), false;
    struct stat st {};
    if (lstat(dir.c_str(), &st) < 0 || !S_ISDIR(st.st_mode))
        return *error = dir + " is not a directory", false;
    if (st.st_uid != getuid()) return *error = dir + " belongs to another user", false;
    if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) < 0)
        return *error = "cannot make " + dir + " private: " + std::strerror(errno), false;
    return true;
}

// Whether a service answers on the socket at `addr`.
bool Answers(const sockaddr_un& addr) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 &&
                 connect(probe, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    return alive;
}

// Binds, replacing a stale socket once. 0, or the errno of the bind with *error set.
int Bind(int fd, const sockaddr_un& addr, const std::string& path, std::string* error) {
    for (int attempt = 0;; ++attempt) {
        mode_t old = umask(0177);
        int r = bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr);
        int err = errno;
        umask(old);
        if (r == 0) return 0;
        if (err != EADDRINUSE || attempt > 0)
            return *error = "cannot listen on " + path + ": " + std::strerror(err), err;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
            return *error = "cannot listen on " + path + ": the path exists and is not a socket",
                   err;
        if (Answers(addr))
            return *error = "cannot listen on " + path +
                            ": address in use (another service is running there)",
                   err;
        HostLog(kLogInfo, "removing the stale socket %s", path.c_str());
        unlink(path.c_str());
    }
}

// The socket systemd passed, checked.
int PassedSocket(std::string* error) {
    int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
        *error = "the socket passed by systemd is not a listening unix socket";
        return -1;
    }
    // Nothing started from here may inherit it.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

int ListenOn(const std::string& path, std::string* error) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return -1;
    }
    if (Bind(fd, addr, path, error) != 0) {
        close(fd);
        return -1;
    }
    if (chmod(path.c_str(), 0600) < 0 || listen(fd, SOMAXCONN) < 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    return fd;
}

ListeningSocket OpenListeningSocket(const Options& opts, std::string* error) {
    ListeningSocket socket;
    int passed = opts.address.empty() ? sd_listen_fds(1) : 0;
    if (passed > 1) {
        *error = "systemd passed " + std::to_string(passed) + " sockets; expected one";
        return socket;
    }
    if (passed == 1) {
        socket.where = "the socket passed by systemd";
        socket.fd = PassedSocket(error);
        return socket;
    }
    socket.where = opts.address.empty() ? DefaultAddress() : opts.address;
    std::string path;
    if (!UnixPathOfAddress(socket.where, &path)) {
        *error =
            "unsupported address '" + socket.where + "': the service listens on unix:path=PATH";
        return socket;
    }
    if (opts.address.empty() && !PreparePrivateDirectory(path.substr(0, path.rfind('/')), error))
        return socket;
    socket.fd = ListenOn(path, error);
    if (socket.fd >= 0) socket.bound = path;
    return socket;
}

void RaiseDescriptorLimit() {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace gxhost
