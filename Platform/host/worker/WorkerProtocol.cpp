// The broker-worker protocol. See WorkerProtocol.h.
#include "worker/WorkerProtocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gxhost {

namespace {
// A message of `size` bytes at `data` with room for one descriptor.
struct OneFdMessage {
    OneFdMessage(void* data, size_t size) : iov{data, size} {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof control.buf;
    }
    OneFdMessage(const OneFdMessage&) = delete;
    OneFdMessage& operator=(const OneFdMessage&) = delete;

    struct iovec iov;
    struct {
        alignas(struct cmsghdr) char buf[CMSG_SPACE(sizeof(int))];
    } control{};
    struct msghdr msg {};
};
}  // namespace

std::string ClientName(uint64_t n) {
    return ":1." + std::to_string(n);
}

bool ParseWorkerFds(const std::string& text, std::vector<int>* out) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
        char* end = nullptr;
        long fd = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || fd < -1 || fd > 1000) return false;
        out->push_back(static_cast<int>(fd));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

std::string FormatWorkerFds(const std::vector<int>& fds) {
    std::string text;
    for (int fd : fds) text += (text.empty() ? "" : ",") + std::to_string(fd);
    return text;
}

int SendClient(int socket, int clientFd, const std::string& name) {
    OneFdMessage message(const_cast<char*>(name.data()), name.size());
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&message.msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &clientFd, sizeof(int));
    return sendmsg(socket, &message.msg, MSG_NOSIGNAL) < 0 ? -errno : 0;
}

int ReceiveClient(int socket, int* clientFd, std::string* name) {
    char buf[kMaxClientName];
    OneFdMessage message(buf, sizeof buf);
    struct msghdr& msg = message.msg;
    ssize_t n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return -EAGAIN;
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    if (n <= 0 || fd < 0 || (msg.msg_flags & MSG_TRUNC) != 0) {
        if (fd >= 0) close(fd);
        return 0;
    }
    *clientFd = fd;
    name->assign(buf, static_cast<size_t>(n));
    return 1;
}

int SendForkRequest(int socket, const std::vector<std::string>& argv, const std::vector<int>& fds) {
    std::string data;
    for (const std::string& a : argv) data.append(a.c_str(), a.size() + 1);
    if (argv.empty() || data.size() > kMaxForkRequest || fds.size() > kMaxForkFds) return -E2BIG;
    struct iovec iov {
        data.data(), data.size()
    };
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxForkFds)] = {};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    return sendmsg(socket, &msg, MSG_NOSIGNAL) < 0 ? -errno : 0;
}

int ReceiveForkRequest(int socket, std::vector<std::string>* argv, std::vector<int>* fds) {
    std::string data(kMaxForkRequest, '\0');
    struct iovec iov {
        data.data(), data.size()
    };
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxForkFds)];
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0) return -errno;
    fds->clear();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds->push_back(fd);
        }
    }
    if (n == 0 && fds->empty()) return 0;
    argv->clear();
    // Whole arguments only: a request cut short or not ended by a NUL is refused.
    bool whole = n > 0 && data[static_cast<size_t>(n) - 1] == '\0' &&
                 (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    for (size_t pos = 0; whole && pos < static_cast<size_t>(n);) {
        size_t end = data.find('\0', pos);
        argv->push_back(data.substr(pos, end - pos));
        pos = end + 1;
    }
    if (!whole) {
        for (int fd : *fds) close(fd);
        fds->clear();
        argv->clear();
        return -EBADMSG;
    }
    return 1;
}

}  // namespace gxhost
