// The bus driver's interface (org.freedesktop.DBus at /org/freedesktop/DBus) on a peer-to-peer
// connection. Stock clients (busctl, gdbus, a Gio or sd-bus program opened on an address) expect a
// bus: they call Hello for their unique name, add match rules, and look names and credentials up.
// The service plays the bus for them: it owns org.gxemp.Host1 under kServerUniqueName, the client
// is the one other peer, under the name the service gave it.
#pragma once

#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <string>

namespace gxhost {

// The service's unique name on every peer-to-peer connection.
constexpr char kServerUniqueName[] = ":1.0";
constexpr char kDriverName[] = "org.freedesktop.DBus";

class BusDriver {
public:
    // `client`: the client's unique name; `peer`: the process at its end of the connection.
    BusDriver(std::string client, const ucred& peer, sd_id128_t serverId);
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    // Adds the driver's object to the client's connection, for as long as it lives. Returns a
    // negative errno on failure.
    int Attach(sd_bus* bus);
    const std::string& Client() const { return m_Client; }

private:
    static const sd_bus_vtable kVtable[];
    static int OnHello(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnMatch(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnListNames(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetId(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnListActivatableNames(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetCredentials(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetUnixUser(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int OnGetUnixProcessID(sd_bus_message* m, void* userdata, sd_bus_error* error);

    // Whether `name` is one of the service's own names.
    static bool IsServiceName(const char* name);
    // Who owns `name` on this "bus": the client itself or the service.
    bool CredentialsOf(const char* name, ucred* out, sd_bus_error* error) const;
    // The credential look-ups read the same argument (a name) and find the same peer. Returns 0,
    // or what the method handler returns on failure.
    static int ReadCredentials(sd_bus_message* m, void* userdata, ucred* out, sd_bus_error* error);

    std::string m_Client;
    ucred m_Peer;
    sd_id128_t m_ServerId;
};

}  // namespace gxhost
