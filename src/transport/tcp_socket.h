#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kestrin::transport {

// Last-error values of TcpSocket. 0 means success; the three conditions the
// WebSocket layer tells apart have fixed values, every other failure carries
// the system's errno value (always below 10000) or kSocketHostNotFound.
inline constexpr int kSocketTimedOut = 10060;
inline constexpr int kSocketConnectionReset = 10054;
inline constexpr int kSocketNoBufferSpace = 10055;
inline constexpr int kSocketHostNotFound = 11001;

// A blocking TCP socket with a read-ahead buffer.
//
// Every operation sets an error slot (0 for success) and most return the error
// too. Threads: the receiving operations (WaitReadable, ReceiveByte,
// ReceiveExact, ReceiveLine), Connect and Close belong to one thread, the
// reader, and set LastError. The sending operations (SendAll, CanWrite) may run
// on another thread, one at a time (the caller serialises them), and set
// SendError only, so that neither thread ever sees the other's error. Sends
// never overlap with Close because the caller holds the same lock for both.
// IsOpen, Shutdown, LastError and SendError may be used from any thread.
class TcpSocket {
 public:
  TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  virtual ~TcpSocket();

  // Resolves `host` and connects to `port` (decimal text), trying each address
  // the name resolves to. Blocking, bounded by the system's connect time-out;
  // the cancel flag (SetCancelFlag) ends the wait within a quarter of a second
  // with kSocketTimedOut. The socket counts as open from the first attempt on,
  // so that a sender may write to a connection that is still being set up.
  int Connect(const std::string& host, const std::string& port);

  // Takes over a descriptor that is already connected (for example one end of
  // a socket pair). The socket owns it from now on.
  void Adopt(int fd);

  // Sends all of `bytes` before `deadline`; a peer that does not take them in
  // time makes the send fail with kSocketTimedOut rather than block for ever.
  // Sets and returns SendError.
  int SendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline);
  // The same with a deadline 10 seconds from now.
  int SendAll(std::string_view bytes);

  // True at once when read-ahead bytes remain; otherwise waits up to `ms` for
  // the socket to become readable (which includes a peer that closed). A
  // time-out returns false with the last error 0.
  bool WaitReadable(int ms);

  // Reads one byte into `byte`, waiting up to `ms`. A time-out gives
  // kSocketTimedOut; a peer that reset or closed the connection gives
  // kSocketConnectionReset.
  int ReceiveByte(int ms, uint8_t& byte);

  // Appends exactly `n` bytes to `out`, read in pieces of at most 64 KiB; each
  // wait for more data is limited to `ms`. `out` grows only with bytes that
  // actually arrived, never ahead of them.
  int ReceiveExact(size_t n, int ms, std::string& out);

  // Reads the bytes up to CR LF into `line`, without the CR LF; each wait for
  // more data is limited to `ms`. With a line limit set (SetLineLimit), a line
  // longer than the limit fails with kSocketNoBufferSpace. On failure `line`
  // is empty.
  int ReceiveLine(int ms, std::string& line);

  // Maximum line length for ReceiveLine; 0 means no limit.
  void SetLineLimit(size_t max_bytes) { line_limit_ = max_bytes; }

  // A flag that ends the receiving waits early: once it is set, a wait for
  // more data gives up within a quarter of a second with kSocketTimedOut.
  // The flag must outlive the socket.
  void SetCancelFlag(const std::atomic<bool>* flag) { cancel_ = flag; }

  // Waits up to `ms` until the socket is writable. Sets SendError.
  bool CanWrite(int ms);

  // Shuts the connection down in both directions without releasing the
  // descriptor: the peer sees the end at once, and the reader's waits return.
  // Any thread; the descriptor is closed later by Close.
  void Shutdown();

  bool IsOpen() const { return fd_.load() >= 0; }

  // Closes the socket. When no error is pending, the sending direction is shut
  // down and unread input is drained first, so that the peer sees an orderly
  // end rather than a reset. Calling it again does nothing.
  void Close();

  // The reader's error: of the last receiving operation, Connect or Close.
  int LastError() const { return last_error_.load(); }
  // The sender's error: of the last SendAll or CanWrite.
  int SendError() const { return send_error_.load(); }

 private:
  // Waits up to `ms` for readability and reads what is there into the
  // read-ahead buffer. Returns the error (0 when bytes were added).
  int Fill(int ms);
  int SetError(int error) {
    last_error_.store(error);
    return error;
  }
  int SetSendError(int error) {
    send_error_.store(error);
    return error;
  }
  void CloseDescriptorLocked();

  std::atomic<int> fd_{-1};
  // Guards replacing and closing the descriptor against a concurrent sender.
  std::mutex fd_mutex_;
  std::atomic<int> last_error_{0};
  std::atomic<int> send_error_{0};
  std::string buffer_;  // read-ahead bytes, served from buffer_pos_ on
  size_t buffer_pos_ = 0;
  size_t line_scan_ = 0;  // bytes from buffer_pos_ already searched for CR LF
  size_t line_limit_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
};

}  // namespace kestrin::transport
