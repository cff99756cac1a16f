// The simulated TV's host extension: --profile FILE for the start state, --settings FILE, the
// simulated log service as the host's log, and the control object /org/gxemp/Simulator1
// (MethodTable.h) on every client connection (or on the bus), with the broker and its workers
// sharing one TV (StateLink.h) and reaching each other's libraries (Relay.h, Fanout.h).
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "Fanout.h"
#include "MethodTable.h"
#include "Relay.h"
#include "StateLink.h"
#include "gxhost/Endpoint.h"
#include "gxhost/Extension.h"
#include "gxsim/Sim.h"

namespace gxsimbus {
namespace {

class SimulatorExtension : public gxhost::Extension {
public:
    std::vector<gxhost::ExtensionOption> Options() const override {
        return {{"profile", "FILE", "start the simulated TV in the state FILE describes"},
                {"settings", "FILE", "the simulated settings store (default $GXEMP_SETTINGS)"},
                {"no-simulator-control", "",
                 "serve no org.gxemp.Simulator1 (the TV's test\n"
                 "                         harness: it sees and drives every client's app)"}};
    }

    bool HandleOption(const std::string& name, const std::string& value,
                      std::string* error) override {
        if (name == "no-simulator-control") {
            m_NoControl = true;
            return true;
        }
        if (value.empty()) {
            *error = "needs a file name";
            return false;
        }
        if (name == "profile") m_Profile = value;
        if (name == "settings") m_Settings = value;
        return true;
    }

    bool OwnsLog() const override { return true; }
    bool OpenLog(const std::string& path, std::string* error) override {
        return gxsim::OpenLog(path, error);
    }
    bool ReopenLog(std::string* error) override { return gxsim::ReopenLog(error); }
    void DiscardEarlyLog() override { gxsim::DiscardHeldLog(); }
    void SetLogLevel(int priority) override { gxsim::SetLogLevel(priority); }
    void FlushLog() override { gxsim::FlushLog(); }

    bool Start(gxhost::Role role, int descriptor, std::string* error) override {
        m_Role = role;
        if (role == gxhost::Role::Worker) {
            // The broker has the TV; the worker joins it.
            if (descriptor >= 0 && gxsim::JoinSharedState(descriptor, error)) return true;
            if (error->empty()) *error = "the broker shared no simulated TV";
            return false;
        }
        // Images of earlier runs that are gone (killed, or crashed) go now.
        gxsim::RemoveStaleFaceImageDirectories();
        if (role == gxhost::Role::Broker) {
            m_Shared = gxsim::ShareState(error);
            if (m_Shared < 0) return false;
        }
        if (!m_Settings.empty()) gxsim::SetSettingsPath(m_Settings);
        return LoadStartProfile(error);
    }

    int SharedDescriptor() override { return m_Shared; }

    std::vector<std::string> WorkerOptions() const override {
        if (m_NoControl) return {"--no-simulator-control"};
        return {};
    }

    int AttachObjects(sd_bus* bus) override {
        // The test harness of the whole TV, withheld from clients that should not drive each
        // other's applications.
        if (m_NoControl) return 0;
        if (m_Role == gxhost::Role::Worker) return Serve(bus, Attachment::Relaying, &m_Relay);
        return Serve(bus, Attachment::Local, nullptr);
    }

    int AttachControl(sd_bus* control, pid_t worker) override {
        if (worker == 0) {
            m_Relay.Attach(control);
            int r = Serve(control, Attachment::Local, nullptr);
            return r < 0 ? r : OpenWorkerEditLink(control);
        }
        m_Fanout.AddWorker(worker, control);
        return Serve(control, Attachment::Spreading, &m_Fanout);
    }

    void DetachControl(pid_t worker) override {
        m_Fanout.RemoveWorker(worker);
        // A worker killed before it could free its entry in the signal ring's table: its
        // subscriptions no longer count as queued.
        gxsim::ForgetSignalReader(static_cast<int>(worker));
    }

    void Stop() override {
        if (m_Relay.attached()) {
            // Its client has gone: its instances no longer count for the emitters.
            gxsim::LeaveSignalRing();
            m_Relay.HandOverTrace();
            CloseWorkerEditLink();
        }
        gxsim::FlushLog();
    }

private:
    static int Serve(sd_bus* bus, Attachment attachment, void* userdata) {
        return sd_bus_add_object_vtable(bus, nullptr, gxhost::kSimulatorPath,
                                        gxhost::kSimulatorInterface, Vtable(attachment), userdata);
    }

    bool LoadStartProfile(std::string* error) {
        if (m_Profile.empty()) return true;
        std::string message;
        if (gxsim::LoadProfile(m_Profile, &message)) return true;
        *error = "cannot use the profile " + m_Profile + ": " + message;
        return false;
    }

    gxhost::Role m_Role = gxhost::Role::Single;
    std::string m_Profile;
    std::string m_Settings;
    bool m_NoControl = false;  // --no-simulator-control
    int m_Shared = -1;         // broker: the TV's shared state
    Relay m_Relay;             // worker: its link to the broker
    Fanout m_Fanout;           // broker: every worker's link
};

SimulatorExtension g_Extension;
[[maybe_unused]] const bool g_Registered = (gxhost::RegisterExtension(&g_Extension), true);

}  // namespace
}  // namespace gxsimbus
