// Connecting to a server's Unix socket, and hearing that it is ready.
#pragma once

#include <string>

namespace gxtest {

// A stream socket connected to the Unix socket at `path` (flags: e.g. SOCK_NONBLOCK); -1 if none.
int ConnectUnix(const std::string& path, int flags = 0);
// A datagram socket bound at `path` for a service's readiness notifications (NOTIFY_SOCKET); -1
// if it cannot be made.
int BindNotifySocket(const std::string& path);
// Reads what has arrived on a notification socket without waiting: true once "READY=1" was among
// it.
bool ReadyWasNotified(int fd);

}  // namespace gxtest
