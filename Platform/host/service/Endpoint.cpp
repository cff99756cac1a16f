// Endpoint discovery shared by the service and its clients.
#include "gxhost/Endpoint.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace gxhost {

std::string DefaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/gxemp/host.sock";
    return "/tmp/gxemp-" + std::to_string(getuid()) + "/host.sock";
}

std::string DefaultAddress() {
    return "unix:path=" + DefaultSocketPath();
}

std::string ClientAddress(const char* option) {
    if (option != nullptr && option[0] != '\0') return option;
    const char* env = std::getenv("GXEMP_ADDRESS");
    if (env != nullptr && env[0] != '\0') return env;
    return DefaultAddress();
}

bool UnixPathOfAddress(const std::string& address, std::string* path) {
    static const std::string kPrefix = "unix:path=";
    if (address.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    std::string rest = address.substr(kPrefix.size());
    // A D-Bus address may carry further key=value pairs after a comma; the server needs none.
    std::string::size_type comma = rest.find(',');
    if (comma != std::string::npos) rest.resize(comma);
    if (rest.empty()) return false;
    // Percent-escapes are allowed in D-Bus addresses.
    std::string out;
    for (std::string::size_type i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            // Exactly two hex digits: strtol alone would also take a sign or a space.
            if (i + 2 >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(rest[i + 2])))
                return false;
            char hex[3] = {rest[i + 1], rest[i + 2], '\0'};
            out.push_back(static_cast<char>(std::strtol(hex, nullptr, 16)));
            i += 2;
        } else {
            out.push_back(rest[i]);
        }
    }
    *path = out;
    return true;
}

}  // namespace gxhost
