#include "transport/tcp_socket.h"

#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace
}  // namespace kestrin::transport
