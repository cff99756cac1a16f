// The listening socket: binding it (stale and live sockets), accepting, resting when serving a
// client fails for want of descriptors, and telling a client beyond the limit why it is refused.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "LogSink.h"
#include "LoopTest.h"
#include "Socket.h"
#include "gxhost/Endpoint.h"
#include "service/Listen.h"
#include "service/Listener.h"

namespace {

int Connect(const std::string& path) {
    int fd = gxtest::ConnectUnix(path);
    EXPECT_GE(fd, 0) << path;
    return fd;
}

using ListenOnTest = LoopTest;

TEST_F(ListenOnTest, ReplacesOnlyAStaleSocket) {
    enum What { Nothing, Stale, Live, File, TooLong };
    struct Row {
        What what;
        const char* error;  // "" when it listens
    } const kRows[] = {
        {Nothing, ""},
        {Stale, ""},
        {Live, "address in use (another service is running there)"},
        {File, "the path exists and is not a socket"},
        {TooLong, "socket path too long"},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        std::string path = m_Dir + "/s" + std::to_string(row.what);
        if (row.what == TooLong) path = m_Dir + "/" + std::string(120, 'x');
        // A service that runs there, or one that was killed and left its socket behind.
        std::string error;
        int live = row.what == Live || row.what == Stale ? gxhost::ListenOn(path, &error) : -1;
        if (row.what == Stale) close(live), live = -1;
        if (row.what == File) close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        int fd = gxhost::ListenOn(path, &error);
        EXPECT_EQ(fd >= 0, row.error[0] == '\0') << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        struct stat st {};
        if (fd >= 0) {
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);  // the user's alone
            close(Connect(path));                 // and it listens
            close(fd);
        }
        if (live >= 0) close(live);
    }
    EXPECT_TRUE(LogHas("removing the stale socket"));
}

class ListenerTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        m_Path = m_Dir + "/host.sock";
        std::string error;
        int fd = gxhost::ListenOn(m_Path, &error);
        ASSERT_GE(fd, 0) << error;
        m_Listener = std::make_unique<gxhost::Listener>(event(), fd);
    }
    void TearDown() override {
        m_Listener.reset();
        LoopTest::TearDown();
    }
    std::string m_Path;
    std::unique_ptr<gxhost::Listener> m_Listener;
};

// Serving the first client runs out of descriptors: the listener rests, then takes the next,
// named by its credentials.
TEST_F(ListenerTest, RestsWhenServingFailsForWantOfDescriptorsThenNamesThePeer) {
    std::vector<ucred> peers;
    ASSERT_GE(m_Listener->Start(
                  [&](int fd, const ucred& peer) {
                      close(fd);
                      peers.push_back(peer);
                      if (peers.size() == 2) Done();
                      return peers.size() == 1 ? -EMFILE : 0;
                  },
                  [] { return false; }, 0, 8),
              0);
    int first = Connect(m_Path), second = Connect(m_Path);
    ASSERT_TRUE(RunUntilDone());
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[1].pid, getpid());
    EXPECT_EQ(peers[1].uid, getuid());
    EXPECT_TRUE(LogHas("cannot take clients: Too many open files; not accepting for 100 ms"));
    close(first);
    close(second);
}

// A client beyond the limit: its bus start-up is answered, its first real call gets the error.
// The client makes its calls in turn from a thread of its own while the loop serves it, and ends
// the loop through a pipe once the last is answered.
TEST_F(ListenerTest, ABusClientsStartUpIsAnsweredAndItsFirstCallRefused) {
    ASSERT_GE(m_Listener->Start([](int fd, const ucred&) { return close(fd), 0; },
                                [] { return true; }, 0, 3),
              0);
    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    gxhost::EventSourceRef finished;
    ASSERT_GE(sd_event_add_io(
                  event(), finished.out(), done[0], EPOLLIN,
                  [](sd_event_source* s, int, uint32_t, void*) {
                      return sd_event_exit(sd_event_source_get_event(s), 0);
                  },
                  nullptr),
              0);
    std::vector<std::string> answers;
    std::thread client([&] {
        gxhost::UnflushedBusRef bus;
        EXPECT_GE(sd_bus_new(bus.out()), 0);
        EXPECT_GE(sd_bus_set_address(bus.get(), ("unix:path=" + m_Path).c_str()), 0);
        EXPECT_GE(sd_bus_set_bus_client(bus.get(), 1), 0);
        EXPECT_GE(sd_bus_start(bus.get()), 0);
        for (const char* member : {"AddMatch", "RemoveMatch", "Open"}) {
            const bool host = std::strcmp(member, "Open") == 0;
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_call_method(bus.get(), gxhost::kBusName,
                               host ? gxhost::kHostPath : "/org/freedesktop/DBus",
                               host ? gxhost::kHostInterface : "org.freedesktop.DBus", member,
                               &error, nullptr, "s", "x");
            answers.push_back(error.name != nullptr ? error.name : "");
            sd_bus_error_free(&error);
        }
        EXPECT_EQ(write(done[1], "x", 1), 1);
    });
    EXPECT_TRUE(RunUntilDone());
    client.join();
    close(done[0]);
    close(done[1]);
    EXPECT_EQ(answers, (std::vector<std::string>{"", "", gxhost::kErrorTooManyClients}));
}

}  // namespace
