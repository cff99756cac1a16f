// The service's sd-event loop: the signals it handles, the batching of the log's flushes, and the
// extensions' start and stop around it.
#pragma once

#include <vector>

#include "bus/EventQueue.h"
#include "gxhost/Extension.h"
#include "service/Context.h"

namespace gxhost {

// Blocks the signals the loop handles (before any thread exists, so that every later thread
// inherits the mask; SIGCHLD too when `reapChildren`) and builds ctx->event with its signal and
// log-flush sources. False, reported, on failure.
bool MakeLoop(ServiceContext* ctx, bool reapChildren);
// Runs the loop until it exits, holding `lock` except while it waits for something to happen, so
// that another thread holding it may use the connections (see LoopLock); without a lock, as
// sd_event_loop. The loop's exit code, or a negative errno.
int RunLoopUnder(sd_event* event, LoopLock* lock);
// Starts every extension in `role`; a worker passes the descriptors the broker shared. False,
// reported, when one refuses.
bool StartExtensions(const ServiceContext& ctx, Role role, const std::vector<int>& fds);
void StopExtensions();
// Stops the loop with `status` when `bus` ends, logging that `what` went away. One connection
// per process.
int StopWhenGone(ServiceContext* ctx, sd_bus* bus, const char* what, int status);

}  // namespace gxhost
