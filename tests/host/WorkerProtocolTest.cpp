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

// Nothing sent yet is not the end; then the client arrives with its name.
TEST_F(HandOff, TheClientArrivesWithItsName) {
    int fd = -1;
    std::string name;
    EXPECT_EQ(gxhost::ReceiveClient(m_Pair[1], &fd, &name), -EAGAIN);
    ASSERT_EQ(gxhost::SendClient(m_Pair[0], m_Pipe[1], gxhost::ClientName(42)), 0);
    ASSERT_EQ(gxhost::ReceiveClient(m_Pair[1], &fd, &name), 1);
    EXPECT_EQ(name, ":1.42");
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // no later child inherits it
    ASSERT_EQ(write(fd, "x", 1), 1);                // the same pipe as the broker's
    char c = 0;
    EXPECT_EQ(read(m_Pipe[0], &c, 1), 1);
    close(fd);
}

// What the template reads is what the broker sent: every argument (an empty one too) in order,
// the descriptors in order and close-on-exec; a request without arguments is not sent.
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
    EXPECT_EQ(gxhost::SendForkRequest(m_Pair[0], {}, {}), -E2BIG);
}

// What cannot be read whole, a client or a fork request, is refused (0: the peer is gone) and
// leaves no descriptor behind; a client without one is no client.
TEST_F(HandOff, WhatCannotBeReadWholeIsRefused) {
    const std::string tooLong(gxhost::kMaxClientName + 1, 'n'),
        big(gxhost::kMaxForkRequest + 8, 'a');
    struct Case {
        const char* what;
        bool fork;  // else a client
        std::function<void(int)> send;
        int expected;
    };
    const Case kCases[] = {
        {"client: closed", false, [](int s) { shutdown(s, SHUT_WR); }, 0},
        {"client: no descriptor", false, [](int s) { ASSERT_EQ(send(s, ":1.1", 4, 0), 4); }, 0},
        {"client: name too long", false,
         [&](int s) { ASSERT_EQ(gxhost::SendClient(s, m_Pipe[1], tooLong), 0); }, 0},
        {"fork: closed", true, [](int s) { shutdown(s, SHUT_WR); }, 0},
        {"fork: not ended by a NUL", true, [](int s) { ASSERT_EQ(send(s, "gxemp", 5, 0), 5); },
         -EBADMSG},
        {"fork: too long", true,
         [&](int s) {
             ASSERT_EQ(send(s, big.c_str(), big.size() + 1, 0), ssize_t(big.size() + 1));
         },
         -EBADMSG},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        int pair[2], fd = -1;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        c.send(pair[0]);
        std::string name;
        std::vector<std::string> argv;
        std::vector<int> fds = {-1};  // what an earlier request left
        EXPECT_EQ(c.fork ? gxhost::ReceiveForkRequest(pair[1], &argv, &fds)
                         : gxhost::ReceiveClient(pair[1], &fd, &name),
                  c.expected);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(fds.empty(), c.fork);
        close(pair[0]);
        close(pair[1]);
    }
}

}  // namespace
