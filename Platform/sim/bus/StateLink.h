// The simulated TV's state between broker and workers, on the D-Bus side: the limits every
// Simulator1 input is checked against, and the edit link over which a worker sends its changes of
// the TV's state to the broker (see docs/SIMULATOR.md, "One TV for every worker").
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <map>

namespace gxsimbus {

constexpr char kErrorTooLarge[] = "org.gxemp.Simulator1.Error.TooLarge";
constexpr char kErrorUnavailable[] = "org.gxemp.Simulator1.Error.Unavailable";

// Checks every text and list of a Simulator1 call against the limits (a signal's text may be
// longer than other texts); leaves the message rewound. A negative errno with *error set (naming
// the limit) when something is over.
int CheckInputs(sd_bus_message* m, sd_bus_error* error);

// A worker: makes its edit link, hands the other end to the broker over `control`, and makes it
// the simulator's way to the TV's owner (gxsim::SetEditTransport).
int OpenWorkerEditLink(sd_bus* control);
void CloseWorkerEditLink();

// The broker: the edit links of the workers, each applying the changes its worker sends.
class EditLinks {
public:
    ~EditLinks();
    // `m` is a worker's OpenEditLink(h) call on its control link; `worker` its pid.
    int Accept(sd_bus_message* m, pid_t worker, sd_bus_error* error);
    void Close(pid_t worker);

private:
    std::map<pid_t, sd_bus*> m_Links;
};

}  // namespace gxsimbus
