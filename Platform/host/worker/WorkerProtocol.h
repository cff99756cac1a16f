// How the broker starts a worker and hands it a client: what both sides must agree on.
//
// A worker is this program again, forked by the worker template (worker/Template.h) or, when
// there is none, started with posix_spawn. Its descriptors:
//   3 (kClientFd)      the client's connection (--worker=NAME), or, for a spare worker
//                      (--worker-spare), the hand-off socket on which its client comes later;
//   4 (kControlFd)     its control link to the broker, a private D-Bus connection;
//   5... (kFirstSharedFd) each extension's shared descriptor, in registration order, as
//                      --worker-fds lists them ("-1" for an extension that shares none).
// A client is named like a bus's unique name, ":1.N" (ClientName), and is told that name in Hello.
// The hand-off is one SOCK_SEQPACKET message: the client's name as data, its connection as
// SCM_RIGHTS; the end of the socket with nothing read tells a spare that no client comes.
//
// The template (--worker-template) has its request socket on 3 (kTemplateFd). A request is one
// SOCK_SEQPACKET message: the worker's command line (argv[0] first), each argument ended by a
// NUL, as data, and the worker's descriptors (kClientFd, kControlFd, the shared ones, in order)
// as SCM_RIGHTS. The answer is one message of an int32_t: the worker's pid, or a negative errno.
// Before any request, the template sends one int32_t 0 when it is ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gxhost {

constexpr int kClientFd = 3;
constexpr int kControlFd = 4;
constexpr int kFirstSharedFd = 5;
constexpr int kTemplateFd = 3;

// The worker's options (long options, without the dashes).
constexpr char kWorkerOption[] = "worker";                   // =NAME: serve the client on kClientFd
constexpr char kWorkerSpareOption[] = "worker-spare";        // wait for a client on kClientFd
constexpr char kWorkerFdsOption[] = "worker-fds";            // =FD,FD...: the shared descriptors
constexpr char kWorkerTemplateOption[] = "worker-template";  // fork workers on request

// The longest client name a hand-off carries.
constexpr size_t kMaxClientName = 128;
// The largest request the template reads, and the most descriptors one carries.
constexpr size_t kMaxForkRequest = 16 * 1024;
constexpr size_t kMaxForkFds = 16;

// The unique name of the service's n-th client.
std::string ClientName(uint64_t n);

// Reads a --worker-fds value: descriptors (or -1) separated by commas. False when malformed.
bool ParseWorkerFds(const std::string& text, std::vector<int>* out);
// The value of --worker-fds for these descriptors.
std::string FormatWorkerFds(const std::vector<int>& fds);

// The broker's side: sends the client's connection and name. 0, or a negative errno.
int SendClient(int socket, int clientFd, const std::string& name);
// The spare's side: 1 with *clientFd (close-on-exec) and *name set; 0 when the broker closed the
// socket or sent no usable client; -EAGAIN when nothing has come yet.
int ReceiveClient(int socket, int* clientFd, std::string* name);

// The broker's side: asks the template for a worker with this command line and descriptors (the
// template gets copies). 0, or a negative errno.
int SendForkRequest(int socket, const std::vector<std::string>& argv, const std::vector<int>& fds);
// The template's side: 1 with *argv and *fds (close-on-exec) set; 0 when the broker closed the
// socket; -EBADMSG for a request that is not one (its descriptors closed); another negative errno
// when the socket fails.
int ReceiveForkRequest(int socket, std::vector<std::string>* argv, std::vector<int>* fds);

}  // namespace gxhost
