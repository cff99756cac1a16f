// The first-message guard: calls a peer writes together with the end of its authentication (as
// gdbus does) are read by sd-bus with it, and nothing wakes the loop for them; the guard answers
// them anyway.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "LoopTest.h"
#include "bus/FirstMessageGuard.h"

namespace {

void Pad(std::string* s, size_t to) {
    while (s->size() % to != 0) s->push_back('\0');
}

void AppendU32(std::string* s, uint32_t v) {
    s->append(reinterpret_cast<const char*>(&v), sizeof v);
}

// org.freedesktop.DBus.Peer.Ping at "/", marshalled little-endian with no body.
std::string Ping(uint32_t serial) {
    std::string fields;  // starts at offset 16, which is 8-aligned
    auto field = [&](char code, char type, const std::string& value) {
        Pad(&fields, 8);
        fields += code;
        fields += std::string("\1", 1) + type + std::string("\0", 1);
        Pad(&fields, 4);
        AppendU32(&fields, static_cast<uint32_t>(value.size()));
        fields += value + std::string("\0", 1);
    };
    field(1, 'o', "/");
    field(2, 's', "org.freedesktop.DBus.Peer");
    field(3, 's', "Ping");
    std::string m("l\1\0\1", 4);
    AppendU32(&m, 0);  // body length
    AppendU32(&m, serial);
    AppendU32(&m, static_cast<uint32_t>(fields.size()));
    m += fields;
    Pad(&m, 8);
    return m;
}

// How many method returns `data` holds after the server's "OK <guid>\r\n".
int Returns(const std::string& data) {
    size_t pos = data.find("\r\n");
    if (pos == std::string::npos) return 0;
    pos += 2;
    int returns = 0;
    while (data.size() >= pos + 16) {
        uint32_t body = 0, fields = 0;
        std::memcpy(&body, data.data() + pos + 4, 4);
        std::memcpy(&fields, data.data() + pos + 12, 4);
        size_t length = (16 + fields + 7) / 8 * 8 + body;
        if (data.size() < pos + length) break;
        if (data[pos + 1] == 2) ++returns;
        pos += length;
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
