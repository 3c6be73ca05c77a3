#pragma once

#include <sys/socket.h>

#include <atomic>
#include <string>
#include <vector>

namespace kestrin::platform {

// A new socket (socket(2) arguments), closed on exec; -1 with errno set when
// none can be had.
int OpenSocket(int family, int type, int protocol);

// Whether this machine can make IPv6 stream sockets at all.
bool HasIpv6();

// One address a host name resolves to, with what a socket for it needs.
struct StreamAddress {
  int family = 0;
  int type = 0;
  int protocol = 0;
  sockaddr_storage address{};
  socklen_t length = 0;
};

// The TCP addresses of `host` and `port` (a name or decimal text), in the
// resolver's order; empty when the name cannot be resolved.
std::vector<StreamAddress> ResolveStream(const std::string& host, const std::string& port);

// Connects the blocking socket `fd` to `to` without blocking in connect(2)
// itself, so that `cancel` (may be null) is looked at every `step_ms`; the
// system's connect time-out still ends an attempt nobody answers. The socket
// is blocking again afterwards. Returns 0, an errno value, or ECANCELED once
// `cancel` is set.
int ConnectCancellable(int fd, const StreamAddress& to, const std::atomic<bool>* cancel,
                       int step_ms);

// Waits up to `ms` (negative: without limit) until `fd` can be read, or with
// `for_write` written, restarting after signals. Returns 1 when it can (an
// error or hang-up counts), 0 after the time-out, -1 with errno set.
int WaitSocket(int fd, bool for_write, int ms);

// A send that blocks for longer than `seconds` fails instead.
void SetSendTimeout(int fd, int seconds);

// Small writes leave at once rather than being joined (TCP_NODELAY).
void SetNoDelay(int fd);

// Options of a listening socket before it is bound: reuse of a port in
// TIME_WAIT (but no port sharing with another listener), and IPv4 clients on
// an IPv6 socket.
void SetListeningOptions(int listen_fd);

// Sets the length of the listening socket's queue of unaccepted connections.
bool SetListenQueue(int listen_fd, int length);

// Ends both directions of the stream; a thread blocked on it returns.
void ShutdownSocket(int fd);

// Ends our direction of the stream, drops what the peer had already sent (at
// most `max_reads` pieces, without waiting for more), then closes `fd`: a
// close with unread data would reset the connection and could lose the last
// bytes sent.
void CloseSocketGently(int fd, int max_reads);

}  // namespace kestrin::platform
