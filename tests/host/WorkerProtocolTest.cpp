// The broker-worker protocol: the hand-off of a client and the template's fork requests. The shared
// descriptors' option is read and written back by the options' table (OptionsTest).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "worker/WorkerProtocol.h"

namespace {

class HandOff : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_Pair), 0);
        ASSERT_EQ(pipe2(m_Pipe, O_CLOEXEC), 0);
    }
    void TearDown() override {
        for (int fd : {m_Pair[0], m_Pair[1], m_Pipe[0], m_Pipe[1]})
            if (fd >= 0) close(fd);
    }
    int m_Pair[2] = {-1, -1};  // broker's end, spare's end
    int m_Pipe[2] = {-1, -1};  // what is handed over: the write end
};

TEST_F(HandOff, TheClientArrivesWithItsName) {
    ASSERT_EQ(gxhost::SendClient(m_Pair[0], m_Pipe[1], gxhost::ClientName(42)), 0);
    int fd = -1;
    std::string name;
    ASSERT_EQ(gxhost::ReceiveClient(m_Pair[1], &fd, &name), 1);
    EXPECT_EQ(name, ":1.42");
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // no later child inherits it
    ASSERT_EQ(write(fd, "x", 1), 1);                // the same pipe as the broker's
    char c = 0;
    EXPECT_EQ(read(m_Pipe[0], &c, 1), 1);
    close(fd);
}

TEST_F(HandOff, NothingYetIsNotTheEnd) {
    int fd = -1;
    std::string name;
    EXPECT_EQ(gxhost::ReceiveClient(m_Pair[1], &fd, &name), -EAGAIN);
}

TEST_F(HandOff, NoUsableClientMeansNoneComes) {
    struct Case {
        const char* what;
        std::function<void(int)> send;
    };
    const std::string tooLong(gxhost::kMaxClientName + 1, 'n');
    const Case kCases[] = {
        {"closed", [](int s) { close(s); }},
        {"no descriptor", [](int s) { ASSERT_EQ(send(s, ":1.1", 4, 0), 4); }},
        {"name too long", [&](int s) { ASSERT_EQ(gxhost::SendClient(s, m_Pipe[1], tooLong), 0); }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        c.send(pair[0]);
        int fd = -1;
        std::string name;
        EXPECT_EQ(gxhost::ReceiveClient(pair[1], &fd, &name), 0);
        EXPECT_EQ(fd, -1);
        if (std::string(c.what) != "closed") close(pair[0]);
        close(pair[1]);
    }
}

// What the template reads is what the broker sent: every argument (an empty one too) in order,
// the descriptors in order and close-on-exec; a request it cannot read whole is refused with its
// descriptors closed, and the broker's end of the socket is the template's.
TEST_F(HandOff, ForkRequests) {
    const std::vector<std::string> kArgv = {"gxemp", "--log=/x", "", "--worker=:1.3"};
    ASSERT_EQ(gxhost::SendForkRequest(m_Pair[0], kArgv, {m_Pipe[1], m_Pipe[0]}), 0);
    std::vector<std::string> argv;
    std::vector<int> fds;
    ASSERT_EQ(gxhost::ReceiveForkRequest(m_Pair[1], &argv, &fds), 1);
    EXPECT_EQ(argv, kArgv);
    ASSERT_EQ(fds.size(), 2u);
    EXPECT_NE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(write(fds[0], "x", 1), 1);  // the first is the pipe's write end, as sent
    char c = 0;
    EXPECT_EQ(read(m_Pipe[0], &c, 1), 1);
    for (int fd : fds) close(fd);

    struct Refused {
        const char* what;
        std::function<void(int)> send;
        int expected;
    };
    const Refused kRefused[] = {
        {"not ended by a NUL", [](int s) { ASSERT_EQ(send(s, "gxemp", 5, 0), 5); }, -EBADMSG},
        {"too long",
         [&](int s) {
             std::string big(gxhost::kMaxForkRequest + 8, 'a');
             ASSERT_EQ(send(s, big.c_str(), big.size() + 1, 0),
                       static_cast<ssize_t>(big.size() + 1));
         },
         -EBADMSG},
        {"closed", [](int s) { shutdown(s, SHUT_WR); }, 0},
    };
    for (const Refused& r : kRefused) {
        SCOPED_TRACE(r.what);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        r.send(pair[0]);
        EXPECT_EQ(gxhost::ReceiveForkRequest(pair[1], &argv, &fds), r.expected);
        EXPECT_TRUE(fds.empty());
        close(pair[0]);
        close(pair[1]);
    }
    EXPECT_EQ(gxhost::SendForkRequest(m_Pair[0], {}, {}), -E2BIG);
}

}  // namespace
