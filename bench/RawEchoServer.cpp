// Baseline server: the physical floor of a round trip on this machine, a unix stream socket that
// sends back whatever it reads, one thread per client, no protocol.
//
//   gxemp_bench_raw_echo PATH
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

#include "BenchSocket.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int fd = gxbench::ListenUnix(argv[1], 0);
    if (fd < 0) {
        std::perror("listen");
        return 1;
    }
    for (;;) {
        int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread([client] {
            char buf[4096];
            for (;;) {
                ssize_t n = read(client, buf, sizeof buf);
                if (n <= 0) break;
                if (write(client, buf, static_cast<size_t>(n)) != n) break;
            }
            close(client);
        }).detach();
    }
}
