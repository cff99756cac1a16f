// Where the service's log goes: the platform's logging service when an extension provides one,
// else standard error (which --log moves to a file).
#pragma once

#include <string>

#include "service/Context.h"

namespace gxhost {

// Opens the log as the options say (and sets its level). False, reported, when it cannot.
bool OpenLog(const ServiceContext& ctx);
// SIGHUP: opens the log file again under its name, after it was rotated.
void ReopenLog(const ServiceContext& ctx);
// Writes out what the extensions' logs buffer.
void FlushLogs();
// Reports why the service cannot go on, on standard error and in the log. Returns false.
bool Fail(const ServiceContext& ctx, const std::string& message);

}  // namespace gxhost
