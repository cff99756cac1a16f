// The bus driver's stand-in on peer-to-peer connections. See BusDriver.h.
#include "BusDriver.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gxhost/Endpoint.h"

namespace gxhost {

namespace {
constexpr char kNameHasNoOwner[] = "org.freedesktop.DBus.Error.NameHasNoOwner";
}  // namespace

const sd_bus_vtable BusDriver::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Hello", "", "s", &BusDriver::OnHello, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AddMatch", "s", "", &BusDriver::OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveMatch", "s", "", &BusDriver::OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetNameOwner", "s", "s", &BusDriver::OnGetNameOwner, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("NameHasOwner", "s", "b", &BusDriver::OnNameHasOwner, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListNames", "", "as", &BusDriver::OnListNames, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetId", "", "s", &BusDriver::OnGetId, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListActivatableNames", "", "as", &BusDriver::OnListActivatableNames,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionCredentials", "s", "a{sv}", &BusDriver::OnGetCredentials,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionUnixUser", "s", "u", &BusDriver::OnGetUnixUser,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetConnectionUnixProcessID", "s", "u", &BusDriver::OnGetUnixProcessID,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

BusDriver::BusDriver(std::string client, const ucred& peer, sd_id128_t serverId)
    : m_Client(std::move(client)), m_Peer(peer), m_ServerId(serverId) {}

int BusDriver::Attach(sd_bus* bus) {
    return sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus", kDriverName, kVtable,
                                    this);
}

bool BusDriver::IsServiceName(const char* name) {
    return std::strcmp(name, kBusName) == 0 || std::strcmp(name, kServerUniqueName) == 0 ||
           std::strcmp(name, kDriverName) == 0;
}

int BusDriver::OnHello(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s", static_cast<BusDriver*>(userdata)->m_Client.c_str());
}

int BusDriver::OnMatch(sd_bus_message* m, void*, sd_bus_error*) {
    // Every event is sent to its owner only, so there is nothing to filter by match rules.
    return sd_bus_reply_method_return(m, "");
}

int BusDriver::OnGetNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    auto* self = static_cast<BusDriver*>(userdata);
    if (std::strcmp(name, kBusName) == 0 || std::strcmp(name, kServerUniqueName) == 0)
        return sd_bus_reply_method_return(m, "s", kServerUniqueName);
    if (std::strcmp(name, kDriverName) == 0) return sd_bus_reply_method_return(m, "s", kDriverName);
    if (self->m_Client == name) return sd_bus_reply_method_return(m, "s", name);
    return sd_bus_error_setf(error, kNameHasNoOwner,
                             "Could not get owner of name '%s': no such name", name);
}

int BusDriver::OnNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    bool has = IsServiceName(name) || static_cast<BusDriver*>(userdata)->m_Client == name;
    return sd_bus_reply_method_return(m, "b", has ? 1 : 0);
}

int BusDriver::OnListNames(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "as", 4, kDriverName, kServerUniqueName, kBusName,
                                      static_cast<BusDriver*>(userdata)->m_Client.c_str());
}

int BusDriver::OnListActivatableNames(sd_bus_message* m, void*, sd_bus_error*) {
    // Nothing here is started on demand; the service's own names are listed like a bus does.
    return sd_bus_reply_method_return(m, "as", 2, kDriverName, kBusName);
}

int BusDriver::OnGetId(sd_bus_message* m, void* userdata, sd_bus_error*) {
    char id[SD_ID128_STRING_MAX];
    return sd_bus_reply_method_return(
        m, "s", sd_id128_to_string(static_cast<BusDriver*>(userdata)->m_ServerId, id));
}

bool BusDriver::CredentialsOf(const char* name, ucred* out, sd_bus_error* error) const {
    if (m_Client == name) {
        *out = m_Peer;
        return true;
    }
    if (IsServiceName(name)) {
        *out = ucred{getpid(), getuid(), getgid()};
        return true;
    }
    sd_bus_error_setf(error, kNameHasNoOwner, "Could not get owner of name '%s': no such name",
                      name);
    return false;
}

int BusDriver::ReadCredentials(sd_bus_message* m, void* userdata, ucred* out, sd_bus_error* error) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    return static_cast<BusDriver*>(userdata)->CredentialsOf(name, out, error) ? 0 : -ENXIO;
}

int BusDriver::OnGetCredentials(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "a{sv}", 2, "UnixUserID", "u",
                                      static_cast<uint32_t>(cred.uid), "ProcessID", "u",
                                      static_cast<uint32_t>(cred.pid));
}

int BusDriver::OnGetUnixUser(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(cred.uid));
}

int BusDriver::OnGetUnixProcessID(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    ucred cred{};
    if (int r = ReadCredentials(m, userdata, &cred, error); r < 0) return r;
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(cred.pid));
}

}  // namespace gxhost
