#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin::platform {

// What a call on a non-blocking stream socket came to.
enum class SocketResult {
  kDone,        // the call moved data (or accepted a connection)
  kWouldBlock,  // nothing to do now; wait for the socket
  kClosed,      // the peer has ended the stream (receive only)
  kFailed,      // an error; errno says which
};

// Accepts one connection from the listening socket `listen_fd`, non-blocking
// and closed on exec. kDone with `*accepted` set; kWouldBlock when none is
// waiting; kFailed otherwise (EMFILE and the like; errno set).
SocketResult AcceptStream(int listen_fd, int* accepted);

// Receives up to `capacity` bytes; `*received` is their number on kDone.
SocketResult ReceiveSome(int fd, char* buffer, size_t capacity, size_t* received);

// Sends up to `size` bytes without waiting, also on a blocking socket, and
// without raising SIGPIPE; `*sent` is their number on kDone. With `more`, the kernel may hold them
// back to join what follows.
SocketResult SendSome(int fd, const char* data, size_t size, bool more, size_t* sent);

// A second descriptor of the socket `fd`, closed on exec; -1 on failure.
int DuplicateSocket(int fd);

// Closes the socket descriptor `fd`.
void CloseSocket(int fd);

}  // namespace kestrin::platform
