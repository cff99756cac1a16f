// Entry of the plug-in host framework: runs the process loop until the service is told to stop
// and returns the exit status. The application object stays owned by the caller.
#pragma once

#include "EmpAppBase.h"

namespace kiv {

int EmpMain(int argc, char** argv, CEmpAppBase* app);

}  // namespace kiv
