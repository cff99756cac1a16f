// The service's process once its command line is read: the log, then the role the options give
// it (a worker, a broker, or a single process serving every client), until it is told to stop.
#pragma once

#include "service/Context.h"

namespace gxhost {

// The exit status: 0 stopped normally; 1 could not start (see --help).
int Run(ServiceContext* ctx);

}  // namespace gxhost
