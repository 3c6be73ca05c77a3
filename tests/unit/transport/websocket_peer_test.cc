// The client against a WebSocket server we did not write: the `websockets`
// package of Python, run as a child process on 127.0.0.1.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "transport_test_support.h"

extern char** environ;

namespace kestrin::transport::testing {
namespace {

// tests/peers/ws_echo_peer.py of the repository.
std::string PeerScript() {
  return (std::filesystem::path(KESTRIN_SOURCE_DIR) / "tests/peers/ws_echo_peer.py").string();
}

// The Python server as a child process; its stdout is read line by line.
class PythonPeer {
 public:
  PythonPeer() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string script = PeerScript();
    const char* argv[] = {"/usr/bin/python3", script.c_str(), "120", nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (auto line = ReadLine(15s); line && line->starts_with("port ")) port_ = line->substr(5);
  }
  ~PythonPeer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  const std::string& port() const { return port_; }

  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[512];
      ssize_t n = ::read(out_, chunk, sizeof(chunk));
      if (n <= 0) return std::nullopt;
      pending_.append(chunk, n);
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
  std::string pending_;
};

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(peer_.port().empty()) << "the Python peer did not start"; }

  // Connects with the service's arguments and waits for OnOpen.
  void Open() {
    auto c = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", peer_.port(), "/", "-",
                                                "-", "-", "-", 13);
    recorder_.Attach(*c);
    handle_ = ConnectionHandle(c);
    c->Start();
    ASSERT_TRUE(recorder_.WaitOpen());
    EXPECT_EQ(peer_.ReadLine().value_or(""), "open /");
  }

  void TearDown() override {
    handle_.Close(1000, "test over");
    EXPECT_TRUE(handle_.WaitEnded(10s));
  }

  LoopThread loop_;
  PythonPeer peer_;
  Recorder recorder_{loop_.loop()};
  ConnectionHandle handle_;
};

TEST_F(PeerTest, TextBothWaysPingAndOwnersClose) {
  Open();
  loop_.Run([&] { handle_.SendText("echo:hello"); });
  ASSERT_TRUE(recorder_.WaitReads(1));

  // The server's ping is answered with a pong of the same payload: only then
  // does the server send its confirmation.
  loop_.Run([&] { handle_.SendText("ping:abc"); });
  ASSERT_TRUE(recorder_.WaitReads(3));
  {
    std::lock_guard lock(recorder_.mutex);
    EXPECT_EQ(recorder_.reads[0].code, kOpText);
    EXPECT_EQ(recorder_.reads[0].data, "hello");
    EXPECT_EQ(recorder_.reads[1].code, kOpPing);
    EXPECT_EQ(recorder_.reads[1].data, "abc");
    EXPECT_EQ(recorder_.reads[2].data, "pong-ok:abc");
  }

  loop_.Run([&] { handle_.Close(1000, "bye"); });
  EXPECT_EQ(peer_.ReadLine().value_or(""), "closed 1000 bye");
  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.closes.size(), 1u);
  EXPECT_EQ(recorder_.closes[0].code, 1000);
  EXPECT_FALSE(recorder_.closes[0].by_peer);
  EXPECT_TRUE(recorder_.all_on_main_thread);
}

TEST_F(PeerTest, ServersCloseIsReported) {
  Open();
  loop_.Run([&] { handle_.SendText("close"); });
  ASSERT_TRUE(recorder_.WaitClose());
  EXPECT_TRUE(handle_.WaitEnded(5s));
  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.closes.size(), 1u);
  EXPECT_EQ(recorder_.closes[0].code, 1000);
  EXPECT_EQ(recorder_.closes[0].reason, "bye");
  EXPECT_TRUE(recorder_.closes[0].by_peer);
}

}  // namespace
}  // namespace kestrin::transport::testing
