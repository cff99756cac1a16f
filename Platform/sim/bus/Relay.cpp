// See Relay.h.
#include "Relay.h"

#include <cstring>

#include "Timeouts.h"
#include "gxhost/BusRef.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Log.h"
#include "gxsim/Wire.h"

namespace gxsimbus {
namespace {

// The client's call that a relayed call answers: kept with the relayed call's slot.
void ReleaseRequest(void* userdata) {
    delete static_cast<gxhost::MessageRef*>(userdata);
}

int OnRelayed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    sd_bus_message* request = static_cast<gxhost::MessageRef*>(userdata)->get();
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        sd_bus_reply_method_error(request, sd_bus_message_get_error(reply));
    } else {
        gxhost::MessageRef answer;
        int r = sd_bus_message_new_method_return(request, answer.out());
        if (r >= 0) r = sd_bus_message_copy(answer.get(), reply, 1);
        if (r >= 0) sd_bus_send(nullptr, answer.get(), nullptr);
    }
    return 1;  // handled (a closing connection goes on to its next pending call)
}

}  // namespace

int CopyCall(sd_bus* bus, sd_bus_message* m, sd_bus_message** call) {
    int r =
        sd_bus_message_new_method_call(bus, call, nullptr, gxhost::kSimulatorPath,
                                       gxhost::kSimulatorInterface, sd_bus_message_get_member(m));
    if (r >= 0) r = sd_bus_message_rewind(m, 1);
    if (r >= 0) r = sd_bus_message_copy(*call, m, 1);
    return r;
}

int Relay::Forward(sd_bus_message* m) {
    gxhost::MessageRef call;
    int r = CopyCall(m_Control, m, call.out());
    if (r >= 0 && !sd_bus_message_get_expect_reply(m)) {
        // Nobody waits for an answer (a stream of gestures): nor does anyone on the way.
        r = sd_bus_message_set_expect_reply(call.get(), 0);
        if (r >= 0) r = sd_bus_send(m_Control, call.get(), nullptr);
    } else if (r >= 0) {
        gxhost::SlotRef slot;
        auto* request = new gxhost::MessageRef(sd_bus_message_ref(m));
        r = sd_bus_call_async(m_Control, slot.out(), call.get(), &OnRelayed, request,
                              kRelayTimeoutUsec);
        if (r < 0) {
            delete request;
        } else {
            // The slot is the link's from now on, and takes the request along when it goes.
            sd_bus_slot_set_destroy_callback(slot.get(), &ReleaseRequest);
            sd_bus_slot_set_floating(slot.get(), 1);
        }
    }
    return r < 0 ? r : 1;  // answered when the broker answers
}

void Relay::HandOverTrace() {
    gxhost::MessageRef call;
    gxhost::MessageRef reply;
    gxhost::BusError error;
    int r = sd_bus_message_new_method_call(m_Control, call.out(), nullptr, gxhost::kSimulatorPath,
                                           gxhost::kSimulatorInterface, "Retire");
    if (r >= 0) r = gxsim::wire::AppendTrace(call.get(), gxsim::Trace());
    if (r >= 0)
        r = sd_bus_call(m_Control, call.get(), kRetireTimeoutUsec, error.get(), reply.out());
    if (r < 0)
        gxhost::Log(gxhost::kLogError, "cannot hand the trace to the broker: %s",
                    error.error.message != nullptr ? error.error.message : std::strerror(-r));
}

}  // namespace gxsimbus
