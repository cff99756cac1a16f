// Connecting to a server's Unix socket.
#pragma once

#include <string>

namespace gxtest {

// A stream socket connected to the Unix socket at `path` (flags: e.g. SOCK_NONBLOCK); -1 if none.
int ConnectUnix(const std::string& path, int flags = 0);

}  // namespace gxtest
