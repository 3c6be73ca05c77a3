#pragma once

#include <cstdint>
#include <memory>

#include "transport/b_thread.h"
#include "transport/tcp_socket.h"

namespace kestrin::transport {

// The TCP socket of a connection, owned by the connection.
class TTCPCustomConnectionSocket : public TcpSocket {
 public:
  TTCPCustomConnectionSocket() = default;
};

// One connection on a thread of its own that owns exactly one socket.
//
// The thread runs Execute(): PrepareConnection(), then, if that succeeded,
// ServeConnection() and FinishConnection(). When the thread ends, the socket
// is closed (see ThreadEnded) and the object frees itself as described for
// TBThread. A connection object serves one connection attempt only.
class TCustomConnection : public TBThread {
 public:
  // Number of the connection, from a process-wide counter that starts at 0.
  int32_t Index() const { return fIndex; }

  // True when the termination request is set or the socket is gone.
  bool IsTerminated() const { return Terminated() || fSocket == nullptr; }

  TTCPCustomConnectionSocket& Socket() const { return *fSocket; }

  // Asks the thread to end: sets the termination request unless it is set
  // already. Does not close the socket and does not wait; the thread's loops
  // and the socket's reads notice the request within a second. Any thread.
  virtual void TerminateThread();

 protected:
  TCustomConnection(platform::MainLoop& loop, std::unique_ptr<TTCPCustomConnectionSocket> aSocket);

  void Execute() override;

  // The steps of Execute(). PrepareConnection returns whether to serve.
  virtual bool PrepareConnection() { return true; }
  virtual void ServeConnection() {}
  virtual void FinishConnection() {}

  // Closes the socket: the end of the connection, whatever ended the thread.
  void ThreadEnded() override;

 private:
  int32_t fIndex;
  std::unique_ptr<TTCPCustomConnectionSocket> fSocket;
};

}  // namespace kestrin::transport
