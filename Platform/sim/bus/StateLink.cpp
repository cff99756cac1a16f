// See StateLink.h.
#include "StateLink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "gxhost/BusRef.h"
#include "gxhost/Endpoint.h"
#include "gxsim/Sim.h"
#include "gxsim/Wire.h"

namespace gxsimbus {
namespace {

// ---- Bounded input ---------------------------------------------------------------------------

// Every input is bounded before a method runs or is relayed, so that an oversized call changes
// nothing anywhere: each text (a signal's text up to kMaxSignalTextBytes, any other up to
// kMaxTextBytes) and each list (up to kMaxListItems items). Returns the number of values read at
// this level, or a negative errno with *error set.
constexpr size_t kMaxListItems = gxsim::kMaxFacesInView;

int CheckLevel(sd_bus_message* m, size_t maxText, sd_bus_error* error) {
    int count = 0;
    for (;; ++count) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) return r;
        if (r == 0) return count;
        if (type == 'a' && contents != nullptr && std::strchr("ybnqiuxtd", contents[0]) &&
            contents[1] == '\0') {
            const void* items = nullptr;
            size_t bytes = 0;
            r = sd_bus_message_read_array(m, contents[0], &items, &bytes);
            if (r < 0) return r;
            continue;  // a list of numbers: at most one message's size, nothing built from it
        }
        if (type == 'a' || type == 'r' || type == 'e' || type == 'v') {
            r = sd_bus_message_enter_container(m, type, contents);
            if (r < 0) return r;
            int items = CheckLevel(m, maxText, error);
            if (items < 0) return items;
            if (type == 'a' && static_cast<size_t>(items) > kMaxListItems)
                return sd_bus_error_setf(error, gxsim::wire::kErrorTooLarge,
                                         "a list of %d items exceeds the limit of %zu items", items,
                                         kMaxListItems);
            r = sd_bus_message_exit_container(m);
            if (r < 0) return r;
            continue;
        }
        union {
            const char* text;
            uint64_t number;
            double real;
            int fd;
        } value;
        r = sd_bus_message_read_basic(m, type, &value);
        if (r < 0) return r;
        if ((type == 's' || type == 'o' || type == 'g') && std::strlen(value.text) > maxText)
            return sd_bus_error_setf(error, gxsim::wire::kErrorTooLarge,
                                     "a text of %zu bytes exceeds the limit of %zu bytes",
                                     std::strlen(value.text), maxText);
    }
}

int ApplyEdit(sd_bus_message* m, void*, sd_bus_error*);

// The broker, on a worker's edit link: the changes of the TV's state that the worker sends.
constexpr char kEditInterface[] = "org.gxemp.SimulatorState";
const sd_bus_vtable kEditVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("Apply", "ay", SD_BUS_PARAM(change), "ay", SD_BUS_PARAM(answer),
                             &ApplyEdit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

int ApplyEdit(sd_bus_message* m, void*, sd_bus_error*) {
    const void* data = nullptr;
    size_t size = 0;
    int r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r < 0) return r;
    std::string answer = gxsim::ApplyEdit(std::string(static_cast<const char*>(data), size));
    gxhost::MessageRef reply;
    r = sd_bus_message_new_method_return(m, reply.out());
    if (r >= 0) r = sd_bus_message_append_array(reply.get(), 'y', answer.data(), answer.size());
    if (r >= 0) r = sd_bus_send(nullptr, reply.get(), nullptr);
    return r;
}

// ---- The edit link -----------------------------------------------------------------------------
//
// A worker sends its changes of the TV's state to the broker, which owns it, over a connection of
// their own: any thread of the worker may change the state (a library call from a callback), and
// an sd-bus connection serves one thread at a time, while the control link belongs to the loop.
// The worker makes the socket pair and hands one end to the broker over the control link; its own
// end is used under a mutex of this process only, with a bounded wait for each answer.

constexpr uint64_t kEditTimeoutUsec = 5ull * 1000 * 1000;

std::mutex g_EditMutex;
gxhost::BusRef g_EditLink;  // under g_EditMutex

bool SendEdit(const std::string& request, std::string* answer, std::string* error) {
    std::lock_guard<std::mutex> lock(g_EditMutex);
    if (!g_EditLink) {
        *error = "no link to the broker";
        return false;
    }
    gxhost::MessageRef call;
    gxhost::MessageRef reply;
    gxhost::BusError e;
    int r = sd_bus_message_new_method_call(g_EditLink.get(), call.out(), nullptr,
                                           gxhost::kSimulatorPath, kEditInterface, "Apply");
    if (r >= 0) r = sd_bus_message_append_array(call.get(), 'y', request.data(), request.size());
    if (r >= 0)
        r = sd_bus_call(g_EditLink.get(), call.get(), kEditTimeoutUsec, e.get(), reply.out());
    const void* data = nullptr;
    size_t size = 0;
    if (r >= 0) r = sd_bus_message_read_array(reply.get(), 'y', &data, &size);
    if (r >= 0) answer->assign(static_cast<const char*>(data), size);
    if (r < 0) *error = e.error.message != nullptr ? e.error.message : std::strerror(-r);
    return r >= 0;
}

}  // namespace

int CheckInputs(sd_bus_message* m, sd_bus_error* error) {
    const char* method = sd_bus_message_get_member(m);
    bool signal = std::strncmp(method, "Emit", 4) == 0 || std::strncmp(method, "Invoke", 6) == 0;
    int r = CheckLevel(m, signal ? gxsim::kMaxSignalTextBytes : gxsim::kMaxTextBytes, error);
    if (r < 0) return r;
    return sd_bus_message_rewind(m, 1);
}

// A worker: makes its edit link and hands the other end to the broker.
int OpenWorkerEditLink(sd_bus* control) {
    // The broker serves the control link once the worker has spoken (see the host's broker).
    int r = sd_bus_call_method(control, nullptr, "/", "org.freedesktop.DBus.Peer", "Ping", nullptr,
                               nullptr, "");
    int pair[2] = {-1, -1};
    if (r >= 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) r = -errno;
    ClosingBusRef link;
    if (r >= 0) r = sd_bus_new(link.out());
    if (r >= 0) r = sd_bus_set_fd(link.get(), pair[0], pair[0]);
    if (r >= 0) pair[0] = -1;  // the link owns it now
    if (r >= 0) r = sd_bus_start(link.get());
    if (r >= 0)
        r = sd_bus_call_method(control, nullptr, gxhost::kSimulatorPath,
                               gxhost::kSimulatorInterface, "OpenEditLink", nullptr, nullptr, "h",
                               pair[1]);
    for (int fd : pair)
        if (fd >= 0) close(fd);
    if (r < 0) return r;
    std::lock_guard<std::mutex> lock(g_EditMutex);
    g_EditLink.reset(link.release());
    gxsim::SetEditTransport(&SendEdit);
    return 0;
}

void CloseWorkerEditLink() {
    gxsim::SetEditTransport(nullptr);
    std::lock_guard<std::mutex> lock(g_EditMutex);
    g_EditLink.reset();
}

int EditLinks::Accept(sd_bus_message* m, pid_t worker, sd_bus_error* error) {
    sd_bus* control = sd_bus_message_get_bus(m);
    int fd = -1;
    int r = sd_bus_message_read(m, "h", &fd);
    if (r < 0) return r;
    if (m_Links.count(worker))
        return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "one edit link a worker");
    int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) return -errno;
    sd_id128_t id;
    sd_id128_randomize(&id);
    ClosingBusRef link;
    r = sd_bus_new(link.out());
    if (r < 0) {
        close(own);
        return r;
    }
    r = sd_bus_set_fd(link.get(), own, own);
    if (r >= 0) r = sd_bus_set_server(link.get(), 1, id);
    if (r >= 0) r = sd_bus_start(link.get());
    if (r >= 0) r = sd_bus_attach_event(link.get(), sd_bus_get_event(control), 0);
    if (r >= 0)
        r = sd_bus_add_object_vtable(link.get(), nullptr, gxhost::kSimulatorPath, kEditInterface,
                                     kEditVtable, nullptr);
    if (r < 0) return r;
    m_Links[worker] = std::move(link);
    return sd_bus_reply_method_return(m, "");
}

void EditLinks::Close(pid_t worker) {
    m_Links.erase(worker);
}

}  // namespace gxsimbus
