// The service's listening socket: the one systemd passed, or one bound here on a unix path.
#pragma once

#include <string>

#include "service/Options.h"

namespace gxhost {

struct ListeningSocket {
    int fd = -1;
    std::string where;  // for the log: the address, or that systemd passed it
    std::string bound;  // the path bound here, to remove at exit ("" for systemd's socket)
};

// The socket the options name (--address, else systemd's, else the default address). On failure
// fd is -1 and *error says why.
ListeningSocket OpenListeningSocket(const Options& opts, std::string* error);
// Binds and listens on a unix socket path, replacing a stale socket that a killed service left
// behind but never one that a running service still answers on. -1 with *error on failure.
int ListenOn(const std::string& path, std::string* error);
// A flood of connections must not run the service out of descriptors early: the soft limit
// goes up to the hard one.
void RaiseDescriptorLimit();

}  // namespace gxhost
