// Small helpers shared by the benchmark servers and the end-to-end driver.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace gxbench {

inline uint64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

inline bool UnixAddress(const std::string& path, struct sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A listening unix stream socket at `path` (replacing nothing: the path must be free), or -1.
inline int ListenUnix(const std::string& path, int flags) {
    struct sockaddr_un addr;
    if (!UnixAddress(path, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0 ||
        listen(fd, 64) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// "unix:path=P" -> P; anything else -> "".
inline std::string PathOfAddress(const std::string& address) {
    const std::string prefix = "unix:path=";
    return address.compare(0, prefix.size(), prefix) == 0 ? address.substr(prefix.size()) : "";
}

// The socket path of a baseline server's one argument, "unix:path=PATH"; "" (the usage printed)
// when it has none.
inline std::string SocketPathArgument(int argc, char** argv) {
    std::string path = argc == 2 ? PathOfAddress(argv[1]) : "";
    if (path.empty()) std::fprintf(stderr, "usage: %s unix:path=PATH\n", argv[0]);
    return path;
}

}  // namespace gxbench
