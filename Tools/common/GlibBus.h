// What the programs that serve web pages (gxempctl view, gxemp-bridge) share: an sd-bus
// connection driven by the GLib main loop that libsoup needs, and the checks of a server that
// only this machine's browser may reach.
#pragma once

#include <glib.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "gxhost/BusRef.h"

namespace gxtools {

// Runs an sd-bus connection on the GLib default context: a GSource polls the connection's
// descriptor with the events and the timeout that sd-bus asks for, and calls sd_bus_process when
// it is due. sd-bus must not be let go from a callback inside sd_bus_process, so a callback that
// sees the connection break calls MarkLost(); `lost` then runs once sd_bus_process has returned,
// and may destroy this watch (and the connection) at once.
class BusWatch {
public:
    BusWatch(sd_bus* bus, std::function<void()> lost);
    ~BusWatch();
    BusWatch(const BusWatch&) = delete;
    BusWatch& operator=(const BusWatch&) = delete;

    void MarkLost() { m_Lost = true; }
    bool lost() const { return m_Lost; }
    sd_bus* bus() const { return m_Bus; }
    // Installs a filter that calls MarkLost() when sd-bus reports the connection closed.
    int WatchDisconnect();

private:
    struct Source;
    static gboolean Prepare(GSource* source, gint* timeout);
    static gboolean Check(GSource* source);
    static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
    static int OnLocal(sd_bus_message* m, void* userdata, sd_bus_error*);

    sd_bus* m_Bus;
    std::function<void()> m_OnLost;
    Source* m_Source = nullptr;
    gxhost::SlotRef m_Filter;
    bool m_Lost = false;
};

// Only "127.0.0.1:PORT" and "localhost:PORT" (any case): a page of another site that a rebinding
// resolver points at our port still sends its own name.
bool HostAllowed(const char* host, unsigned port);
// Compares in constant time, so that the answer's timing tells nothing of the secret.
bool SecretMatches(const char* given, const std::string& secret);
// 32 hexadecimal digits from the kernel's random source; false when it cannot be read.
bool RandomToken(std::string* token);

// Every motion event name a client can subscribe to and receive, with its signal number.
const std::map<std::string, int>& MotionEvents();

}  // namespace gxtools
