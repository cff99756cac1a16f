// Extension point of the host process.
//
// A platform adds command-line options, start-up work, log handling and D-Bus objects to the
// service without the plug-in's main knowing about it: it defines an Extension and registers it
// from a static initializer in an object file linked into the executable. The host calls every
// registered extension in registration order, always on its loop thread.
//
// The service runs in one of three roles (see README.md): a single process serving every client,
// or a broker that accepts clients and starts a worker process for each. Broker and worker talk
// over a private D-Bus connection, the control link, on which extensions may register objects
// and call each other.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "gxhost/Log.h"

namespace gxhost {

enum class Role {
    Single,  // one process serves every client (--single-process, --bus)
    Broker,  // accepts clients and starts a worker for each; builds no engine itself
    Worker,  // serves the one client the broker handed it
};

struct ExtensionOption {
    std::string name;     // long option without the dashes, e.g. "profile"
    std::string argName;  // shown in --help, e.g. "FILE"; "" for a switch, which takes no value
    std::string help;
};

class Extension {
public:
    virtual ~Extension() = default;

    // Options of the broker or the single process (a worker gets none: it learns what it needs
    // from the broker).
    virtual std::vector<ExtensionOption> Options() const { return {}; }
    // One of this extension's options was given (a switch with the value ""). Returns false with
    // *error set to refuse it.
    virtual bool HandleOption(const std::string& name, const std::string& value,
                              std::string* error) {
        (void)name, (void)value, (void)error;
        return true;
    }

    // The platform's logging service, when this extension provides it (every process of the
    // service writes there). Otherwise the host writes the log to standard error itself.
    virtual bool OwnsLog() const { return false; }
    // Chooses the sink: "" standard error, else the file. Lines logged before go there too.
    virtual bool OpenLog(const std::string& path, std::string* error) {
        (void)path, (void)error;
        return false;
    }
    // Opens the log file again under its name (SIGHUP, after the file was rotated).
    virtual bool ReopenLog(std::string* error) {
        (void)error;
        return true;
    }
    // Nothing will be served (--help, --version, a bad command line): drop what was logged.
    virtual void DiscardEarlyLog() {}
    // Drops lines of a lower priority from now on.
    virtual void SetLogLevel(int priority) { (void)priority; }
    // Called when the loop goes idle and at exit, so that buffered log lines reach their sink.
    virtual void FlushLog() {}

    // After the options, before any engine is built or a client served. A worker gets the
    // descriptor its extension shared in the broker (SharedDescriptor), or -1.
    virtual bool Start(Role role, int descriptor, std::string* error) {
        (void)role, (void)descriptor, (void)error;
        return true;
    }
    // Broker: a descriptor every worker inherits (passed to Start in the worker), or -1.
    virtual int SharedDescriptor() { return -1; }
    // Broker: options of this extension that every worker is started with, e.g. "--switch".
    virtual std::vector<std::string> WorkerOptions() const { return {}; }

    // Registers this extension's objects on a client connection (peer-to-peer) or on the bus.
    // The objects live as long as the connection. Returns a negative errno on failure.
    virtual int AttachObjects(sd_bus* bus) {
        (void)bus;
        return 0;
    }
    // The control link: in the broker, the link to the worker `worker` (called when the worker
    // starts); in a worker, its link to the broker (`worker` 0). Returns a negative errno on
    // failure.
    virtual int AttachControl(sd_bus* control, pid_t worker) {
        (void)control, (void)worker;
        return 0;
    }
    // Broker: the worker has ended; its link is closed after this call.
    virtual void DetachControl(pid_t worker) { (void)worker; }

    // After every engine has been destroyed, before the process exits (a worker's control link
    // is still open).
    virtual void Stop() {}
};

// Registers an extension for the life of the process (not owned).
void RegisterExtension(Extension* extension);
const std::vector<Extension*>& Extensions();

}  // namespace gxhost
