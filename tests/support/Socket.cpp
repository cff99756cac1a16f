#include "Socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace gxtest {

namespace {

// A socket of `type` and its address at `path`; -1 if the path does not fit.
int UnixSocket(const std::string& path, int type, struct sockaddr_un* addr) {
    *addr = {};
    if (path.size() >= sizeof addr->sun_path) return -1;
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
}

}  // namespace

int ConnectUnix(const std::string& path, int flags) {
    struct sockaddr_un addr;
    int fd = UnixSocket(path, SOCK_STREAM | flags, &addr);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
}

int BindNotifySocket(const std::string& path) {
    struct sockaddr_un addr;
    int fd = UnixSocket(path, SOCK_DGRAM | SOCK_NONBLOCK, &addr);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
}

bool ReadyWasNotified(int fd) {
    bool ready = false;
    char message[4096];
    for (ssize_t n; (n = recv(fd, message, sizeof message, 0)) > 0;) {
        // A notification is newline-separated assignments, e.g. "READY=1\nSTATUS=...".
        std::string lines = "\n" + std::string(message, static_cast<size_t>(n)) + "\n";
        ready = ready || lines.find("\nREADY=1\n") != std::string::npos;
    }
    return ready;
}

}  // namespace gxtest
