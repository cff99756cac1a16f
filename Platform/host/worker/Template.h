// The worker template: a process that the broker starts once, by exec, and that forks every
// worker after it.
//
// A worker that execs relocates every library (libsystemd, GLib, libstdc++...) and builds their
// start-up heap again: pages of its own in each worker. A worker forked from a process that has
// done so shares those pages copy-on-write. The broker cannot be that process: it may have
// threads (forking a process with threads leaves the child nothing safe to do but exec), and its
// extensions hold the TV and sd-bus objects that refuse use in a child. So the template is this
// program started with --worker-template, which loads the libraries and then only waits on its
// request socket (kTemplateFd, see WorkerProtocol.h), on which it first says that it is ready: it
// starts no thread, no loop, no extension and writes no log line.
//
// For each request it forks twice: the first child forks the worker and exits, so that the
// worker is reparented to the broker (a child subreaper) and reaped by it like a worker it
// spawned. The worker moves its descriptors to their numbers, closes every other one, resets its
// signals as a spawned worker has them, takes back the program's name and then runs the command
// line of the request as an exec'd worker runs its own: from the options through RunWorker to
// exit. The template exits when the broker closes the socket.
#pragma once

#include "service/Context.h"

namespace gxhost {

// The template's process. The exit status.
int RunTemplate(ServiceContext* ctx);

}  // namespace gxhost
