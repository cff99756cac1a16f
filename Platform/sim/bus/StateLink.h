// The simulated TV's state between broker and workers, on the D-Bus side: the limits every
// Simulator1 input is checked against, and the edit link over which a worker sends its changes of
// the TV's state to the broker (see docs/SIMULATOR.md, "One TV for every worker").
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <map>

#include "gxhost/BusRef.h"

namespace gxsimbus {

// Checks every text and list of a Simulator1 call against the limits (a signal's text may be
// longer than other texts); leaves the message rewound. A negative errno with *error set (naming
// the limit) when something is over.
int CheckInputs(sd_bus_message* m, sd_bus_error* error);

// A worker: makes its edit link, hands the other end to the broker over `control`, and makes it
// the simulator's way to the TV's owner (gxsim::SetEditTransport).
int OpenWorkerEditLink(sd_bus* control);
void CloseWorkerEditLink();

// A connection of our own, closed (without waiting to send what is queued) when it goes.
using ClosingBusRef = gxhost::Ref<sd_bus, sd_bus_close_unref>;

// The broker: the edit links of the workers, each applying the changes its worker sends.
class EditLinks {
public:
    // `m` is a worker's OpenEditLink(h) call on its control link; `worker` its pid.
    int Accept(sd_bus_message* m, pid_t worker, sd_bus_error* error);
    void Close(pid_t worker);

private:
    std::map<pid_t, ClosingBusRef> m_Links;
};

}  // namespace gxsimbus
