// A worker's side of the calls that reach every worker: its clients' such calls go to the broker
// over the worker's control link (the broker spreads them, see Fanout.h), and its trace goes to
// the broker before it exits.
#pragma once

#include <systemd/sd-bus.h>

namespace gxsimbus {

// A call of the same method with the same arguments as `m`, to be sent on `bus`.
int CopyCall(sd_bus* bus, sd_bus_message* m, sd_bus_message** call);

class Relay {
public:
    void Attach(sd_bus* control) { m_Control = control; }
    bool attached() const { return m_Control != nullptr; }
    // Sends `m` to the broker; `m` is answered with the broker's answer.
    int Forward(sd_bus_message* m);
    // The worker's trace would end with it: it hands the trace to the broker.
    void HandOverTrace();

private:
    sd_bus* m_Control = nullptr;  // the host's: the link to the broker
};

}  // namespace gxsimbus
