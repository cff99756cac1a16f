// Where the host service listens and where clients look for it.
//
// The default endpoint is a private peer-to-peer socket of the user:
// $XDG_RUNTIME_DIR/gxemp/host.sock, or /tmp/gxemp-$UID/host.sock without a runtime directory.
// Clients take --address first, then $GXEMP_ADDRESS, then the default.
#pragma once

#include <string>

namespace gxhost {

constexpr char kBusName[] = "org.gxemp.Host1";
constexpr char kHostPath[] = "/org/gxemp/Host1";
constexpr char kHostInterface[] = "org.gxemp.Host1";
constexpr char kSimulatorPath[] = "/org/gxemp/Simulator1";
constexpr char kSimulatorInterface[] = "org.gxemp.Simulator1";
constexpr char kErrorNoSuchEngine[] = "org.gxemp.Host1.Error.NoSuchEngine";
constexpr char kErrorFailed[] = "org.gxemp.Host1.Error.Failed";
// A client beyond --max-clients: its first call is answered with this error, then it is closed.
constexpr char kErrorTooManyClients[] = "org.gxemp.Error.TooManyClients";

// The default socket path (not created here).
std::string DefaultSocketPath();
// "unix:path=" + DefaultSocketPath().
std::string DefaultAddress();
// The address a client connects to: `option` when not null or empty, else $GXEMP_ADDRESS when
// set and not empty, else the default.
std::string ClientAddress(const char* option);
// Extracts the socket path of a "unix:path=..." address (the only kind the server listens on).
// Returns false for any other form.
bool UnixPathOfAddress(const std::string& address, std::string* path);

}  // namespace gxhost
