// The first-message guard: calls a peer writes together with the end of its authentication (as
// gdbus does) are read by sd-bus with it, and nothing wakes the loop for them; the guard answers
// them anyway.
#include <gio/gio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "LoopTest.h"
#include "bus/FirstMessageGuard.h"

namespace {

// org.freedesktop.DBus.Peer.Ping at "/", as GDBus marshals it.
std::string Ping(uint32_t serial) {
    GDBusMessage* m =
        g_dbus_message_new_method_call(nullptr, "/", "org.freedesktop.DBus.Peer", "Ping");
    g_dbus_message_set_serial(m, serial);
    gsize size = 0;
    guchar* blob = g_dbus_message_to_blob(m, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    std::string out(reinterpret_cast<const char*>(blob), size);
    g_free(blob);
    g_object_unref(m);
    return out;
}

// How many method returns `data` holds after the server's "OK <guid>\r\n".
int Returns(const std::string& data) {
    size_t pos = data.find("\r\n");
    if (pos == std::string::npos) return 0;
    int returns = 0;
    for (pos += 2; data.size() >= pos + 16;) {
        auto* header = reinterpret_cast<guchar*>(const_cast<char*>(data.data() + pos));
        const gssize length = g_dbus_message_bytes_needed(header, 16, nullptr);
        if (length <= 0 || data.size() < pos + static_cast<size_t>(length)) break;
        returns += data[pos + 1] == G_DBUS_MESSAGE_TYPE_METHOD_RETURN;
        pos += static_cast<size_t>(length);
    }
    return returns;
}

class FirstMessageGuardTest : public LoopTest {
protected:
    // A server connection whose peer (a raw socket) authenticates and sends `pings` calls in one
    // write. Returns how many were answered, once all were or the loop stopped.
    int Serve(int pings) {
        EXPECT_GE(sd_event_new(m_Event.out()), 0);  // a loop of its own
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
        m_Peer = pair[1];
        m_Expected = pings;
        gxhost::FirstMessageGuard guard(event());
        gxhost::UnflushedBusRef bus;
        sd_id128_t id;
        sd_id128_randomize(&id);
        EXPECT_GE(sd_bus_new(bus.out()), 0);
        EXPECT_GE(sd_bus_set_fd(bus.get(), pair[0], pair[0]), 0);
        EXPECT_GE(sd_bus_set_server(bus.get(), 1, id), 0);
        EXPECT_GE(sd_bus_start(bus.get()), 0);
        EXPECT_GE(sd_bus_attach_event(bus.get(), event(), 0), 0);
        EXPECT_GE(guard.Watch(bus.get()), 0);
        // As the service does: a dispatched message is the connection's first word.
        std::pair<gxhost::FirstMessageGuard*, sd_bus*> spoke{&guard, bus.get()};
        EXPECT_GE(sd_bus_add_filter(
                      bus.get(), nullptr,
                      [](sd_bus_message*, void* userdata, sd_bus_error*) {
                          auto* s = static_cast<std::pair<gxhost::FirstMessageGuard*, sd_bus*>*>(
                              userdata);
                          s->first->FirstMessageDispatched(s->second);
                          return 0;
                      },
                      &spoke),
                  0);
        std::string uid = std::to_string(getuid()), hex;
        for (char c : uid) hex += "3" + std::string(1, c);
        std::string out = std::string("\0", 1) + "AUTH EXTERNAL " + hex + "\r\nBEGIN\r\n";
        for (int i = 1; i <= pings; ++i) out += Ping(static_cast<uint32_t>(i));
        EXPECT_EQ(write(m_Peer, out.data(), out.size()), static_cast<ssize_t>(out.size()));
        gxhost::EventSourceRef reader;
        EXPECT_GE(sd_event_add_io(event(), reader.out(), m_Peer, EPOLLIN,
                                  &FirstMessageGuardTest::OnPeerReadable, this),
                  0);
        RunUntilDone();
        // Once it has spoken and nothing is left, the connection costs the loop nothing more.
        EXPECT_TRUE(guard.Idle());
        reader.reset();
        close(m_Peer);
        return Returns(m_Read);
    }
    static int OnPeerReadable(sd_event_source*, int fd, uint32_t, void* userdata) {
        auto* self = static_cast<FirstMessageGuardTest*>(userdata);
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) self->m_Read.append(buf, n);
        if (Returns(self->m_Read) >= self->m_Expected || n == 0) self->Done();
        return 0;
    }
    int m_Peer = -1;
    int m_Expected = 0;
    std::string m_Read;
};

TEST_F(FirstMessageGuardTest, CallsWrittenWithTheEndOfAuthenticationAreAnswered) {
    for (int pings : {1, 3}) {
        SCOPED_TRACE(pings);
        m_Read.clear();
        EXPECT_EQ(Serve(pings), pings);
    }
}

}  // namespace
