#include "transport/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kestrin::transport {
namespace {

// A TcpSocket on one end of a socket pair; the test writes to the other end.
class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    socket_.Adopt(fds[0]);
    other_ = fds[1];
  }
  void TearDown() override {
    if (other_ >= 0) ::close(other_);
  }
  void Write(std::string_view bytes) {
    ASSERT_EQ(::send(other_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  TcpSocket socket_;
  int other_ = -1;
};

TEST_F(SocketPairTest, LinesEndAtCrLfAndRespectTheLimit) {
  socket_.SetLineLimit(5);
  // A CR LF split across two arrivals still ends the line.
  Write("12345\r");
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Write("\nab\ncd\r\n\r\n123456\r\n");
  });
  std::string line;
  EXPECT_EQ(socket_.ReceiveLine(1000, line), 0);
  later.join();
  EXPECT_EQ(line, "12345");  // exactly the limit
  EXPECT_EQ(socket_.ReceiveLine(1000, line), 0);
  EXPECT_EQ(line, "ab\ncd");  // a lone LF is part of the line
  EXPECT_EQ(socket_.ReceiveLine(1000, line), 0);
  EXPECT_EQ(line, "");
  EXPECT_EQ(socket_.ReceiveLine(1000, line), kSocketNoBufferSpace);  // one above
}

TEST_F(SocketPairTest, OverlongLineFailsWithoutWaitingForItsEnd) {
  socket_.SetLineLimit(4);
  Write("abcdefgh");  // no CR LF will ever come
  std::string line;
  EXPECT_EQ(socket_.ReceiveLine(5000, line), kSocketNoBufferSpace);
  EXPECT_EQ(socket_.LastError(), kSocketNoBufferSpace);
}

TEST_F(SocketPairTest, TimeOutAndResetAreToldApart) {
  uint8_t byte = 0;
  EXPECT_FALSE(socket_.WaitReadable(20));
  EXPECT_EQ(socket_.LastError(), 0) << "a quiet wait is no error";
  EXPECT_EQ(socket_.ReceiveByte(20, byte), kSocketTimedOut);

  Write("x");
  EXPECT_TRUE(socket_.WaitReadable(20));
  EXPECT_EQ(socket_.ReceiveByte(20, byte), 0);
  EXPECT_EQ(byte, 'x');

  ::shutdown(other_, SHUT_WR);
  EXPECT_TRUE(socket_.WaitReadable(1000)) << "an orderly close counts as readable";
  EXPECT_EQ(socket_.ReceiveByte(20, byte), kSocketConnectionReset);
}

TEST_F(SocketPairTest, ReceiveExactCollectsPiecesAndKeepsTheRest) {
  const std::string big(200000, 'b');
  std::thread writer([&] { Write(big + "tail"); });
  std::string out = "pre";
  EXPECT_EQ(socket_.ReceiveExact(big.size(), 1000, out), 0);
  writer.join();
  EXPECT_EQ(out, "pre" + big);
  std::string rest;
  EXPECT_EQ(socket_.ReceiveExact(4, 1000, rest), 0);
  EXPECT_EQ(rest, "tail");
  // Short data then the end: a reset, and only what came is kept.
  Write("ab");
  ::shutdown(other_, SHUT_WR);
  std::string cut;
  EXPECT_EQ(socket_.ReceiveExact(10, 1000, cut), kSocketConnectionReset);
  EXPECT_EQ(cut, "ab");
}

TEST_F(SocketPairTest, ClosedSocketRefusesEverything) {
  socket_.Close();
  EXPECT_FALSE(socket_.IsOpen());
  EXPECT_NE(socket_.SendAll("x"), 0);
  EXPECT_FALSE(socket_.WaitReadable(10));
  EXPECT_NE(socket_.LastError(), 0);
  socket_.Close();  // a second close does nothing
}

TEST_F(SocketPairTest, SenderAndReaderKeepErrorsOfTheirOwn) {
  // The peer reads nothing: a send that does not fit gives up at its deadline.
  const std::string big(32 << 20, 's');
  EXPECT_EQ(socket_.SendAll(big, std::chrono::steady_clock::now() + std::chrono::milliseconds(200)),
            kSocketTimedOut);
  EXPECT_EQ(socket_.SendError(), kSocketTimedOut);
  EXPECT_EQ(socket_.LastError(), 0) << "the reader must not see the sender's failure";

  uint8_t byte = 0;
  EXPECT_EQ(socket_.ReceiveByte(20, byte), kSocketTimedOut);
  EXPECT_EQ(socket_.LastError(), kSocketTimedOut);
  Write("x");
  EXPECT_EQ(socket_.ReceiveByte(1000, byte), 0);
  EXPECT_EQ(socket_.LastError(), 0);
  EXPECT_EQ(socket_.SendError(), kSocketTimedOut) << "a read must not clear the sender's error";
}

TEST_F(SocketPairTest, ShutdownLetsThePeerSeeTheEndBeforeTheClose) {
  socket_.Shutdown();
  char c;
  EXPECT_EQ(::recv(other_, &c, 1, 0), 0) << "the peer sees an orderly end";
  EXPECT_TRUE(socket_.IsOpen()) << "the descriptor stays until Close";
  uint8_t byte = 0;
  EXPECT_EQ(socket_.ReceiveByte(1000, byte), kSocketConnectionReset);
}

// A connect that nobody takes (the listener's queue is full, so the SYN goes
// unanswered) ends as soon as the cancel flag is set.
// A TCP socket bound to a free loopback port, not yet listening; its port
// as decimal text in `port`.
int BoundLoopbackSocket(std::string& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = std::to_string(ntohs(address.sin_port));
  return fd;
}

TEST(TcpSocketConnectTest, CancelFlagEndsAConnectNobodyAnswers) {
  std::string port;
  int listener = BoundLoopbackSocket(port);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  TcpSocket filler;  // takes the only place in the queue
  ASSERT_EQ(filler.Connect("127.0.0.1", port), 0);

  std::atomic<bool> cancel{false};
  TcpSocket socket;
  socket.SetCancelFlag(&cancel);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  EXPECT_EQ(socket.Connect("127.0.0.1", port), kSocketTimedOut);
  canceller.join();
  EXPECT_FALSE(socket.IsOpen());
  ::close(listener);
}

TEST(TcpSocketConnectTest, ResultsOfConnectingTellTheCausesApart) {
  std::string port;
  int listener = BoundLoopbackSocket(port);
  ASSERT_GE(listener, 0);

  TcpSocket refused;  // bound, not listening yet
  EXPECT_EQ(refused.Connect("127.0.0.1", port), ECONNREFUSED);
  EXPECT_FALSE(refused.IsOpen());

  TcpSocket unknown;
  EXPECT_EQ(unknown.Connect("no-such-host.invalid", port), kSocketHostNotFound);
  EXPECT_EQ(unknown.LastError(), kSocketHostNotFound);

  ASSERT_EQ(::listen(listener, 4), 0);
  TcpSocket connected;
  ASSERT_EQ(connected.Connect("localhost", port), 0);
  EXPECT_TRUE(connected.IsOpen());
  EXPECT_EQ(connected.SendAll("ping"), 0);
  ::close(listener);
}

}  // namespace
}  // namespace kestrin::transport
