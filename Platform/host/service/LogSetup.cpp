// Where the service's log goes. See LogSetup.h.
#include "service/LogSetup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gxhost/Extension.h"
#include "service/HostLog.h"

namespace gxhost {

namespace {

// The platform's logging service, when an extension provides one.
Extension* LogService() {
    for (Extension* ext : Extensions())
        if (ext->OwnsLog()) return ext;
    return nullptr;
}

// Without a logging service the log is standard error, so --log moves that.
bool RedirectStderr(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    dup2(fd, STDERR_FILENO);
    close(fd);
    return true;
}

}  // namespace

bool Fail(const ServiceContext& ctx, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", ctx.program.c_str(), message.c_str());
    HostLog(kLogError, "%s", message.c_str());
    return false;
}

bool OpenLog(const ServiceContext& ctx) {
    const Options& opts = ctx.options;
    std::string error;
    Extension* service = LogService();
    // The logging service names a worker in each of its lines, the plug-in's too.
    if (service != nullptr && opts.IsWorker())
        setenv("GXEMP_LOG_WORKER", std::to_string(getpid()).c_str(), 1);
    bool ok = service != nullptr ? service->OpenLog(opts.logFile, &error)
                                 : opts.logFile.empty() || RedirectStderr(opts.logFile, &error);
    if (!ok) return Fail(ctx, "--log " + opts.logFile + ": " + error);
    if (opts.logPriority) {
        if (service != nullptr)
            service->SetLogLevel(*opts.logPriority);
        else
            HostLog(kLogError, "--log-level: this platform's log has no levels");
    }
    return true;
}

void ReopenLog(const ServiceContext& ctx) {
    const std::string& file = ctx.options.logFile;
    if (file.empty()) return;
    std::string error;
    Extension* service = LogService();
    bool ok = service != nullptr ? service->ReopenLog(&error) : RedirectStderr(file, &error);
    if (ok)
        HostLog(kLogInfo, "log file %s opened again", file.c_str());
    else
        HostLog(kLogError, "cannot open the log file %s again: %s (still writing to the old one)",
                file.c_str(), error.c_str());
}

void FlushLogs() {
    for (Extension* ext : Extensions()) ext->FlushLog();
}

}  // namespace gxhost
