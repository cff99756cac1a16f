// gxempctl sim: the subcommands that read the simulated TV's state back (SimQuery.cpp), for the
// table of sim's subcommands (Sim.cpp).
#pragma once

#include "Verbs.h"

namespace gxempctl {

int SimEntryPoints(Args& a);
int SimTrace(Args& a);
int SimMotionState(Args& a);
int SimStoredFaces(Args& a);
int SimRing(Args& a);

}  // namespace gxempctl
