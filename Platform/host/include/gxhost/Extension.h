// Extension point of the host process.
//
// A platform adds command-line options, start-up work, log handling and D-Bus objects to the
// service without the plug-in's main knowing about it: it defines an Extension and registers it
// from a static initializer in an object file linked into the executable. The host calls every
// registered extension in registration order, always on its loop thread.
#pragma once

#include <systemd/sd-bus.h>

#include <string>
#include <vector>

namespace gxhost {

struct ExtensionOption {
    std::string name;     // long option without the dashes, e.g. "profile"
    std::string argName;  // shown in --help, e.g. "FILE"; every extension option takes a value
    std::string help;
};

class Extension {
public:
    virtual ~Extension() = default;

    virtual std::vector<ExtensionOption> Options() const { return {}; }
    // One of this extension's options was given. Returns false with *error set to refuse it.
    virtual bool HandleOption(const std::string& name, const std::string& value,
                              std::string* error) {
        (void)name, (void)value, (void)error;
        return true;
    }
    // After the options, before the application builds any engine or a client is served.
    virtual bool Start(std::string* error) {
        (void)error;
        return true;
    }
    // --log FILE: returns true when this extension owns the platform's log and switched it to
    // the file (or failed to: then *error is set).
    virtual bool SetLogFile(const std::string& path, std::string* error) {
        (void)path, (void)error;
        return false;
    }
    // Called when the loop goes idle and at exit, so that buffered log lines reach their file.
    virtual void FlushLog() {}
    // Registers this extension's objects on a new client connection (peer-to-peer mode) or on
    // the bus (bus mode). The objects live as long as the connection. Returns a negative errno
    // on failure.
    virtual int AttachObjects(sd_bus* bus) {
        (void)bus;
        return 0;
    }
    // After every engine has been destroyed, before the process exits.
    virtual void Stop() {}
};

// Registers an extension for the life of the process (not owned).
void RegisterExtension(Extension* extension);
const std::vector<Extension*>& Extensions();

}  // namespace gxhost
