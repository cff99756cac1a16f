// A worker: serves the one client connection the broker accepted (kClientFd, see
// WorkerProtocol.h) and ends when the client goes, or when the broker stops it (SIGTERM) or goes
// away. A spare worker gets that connection over its hand-off socket once a client comes.
#pragma once

#include "service/Context.h"

namespace gxhost {

// The worker's process, from its loop to its exit status.
int RunWorker(ServiceContext* ctx);

}  // namespace gxhost
