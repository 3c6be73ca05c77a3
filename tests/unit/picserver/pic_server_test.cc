#include "picserver/pic_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "service/service_state.h"

namespace kestrin::picserver {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A client socket to the server on loopback with a 10 s receive limit.
class Client {
 public:
  // `receive_buffer` (bytes, 0: the system's) is set before connecting.
  explicit Client(int port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }

  bool connected() const { return connected_; }
  void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Exactly `n` bytes, fewer when the server closes first.
  std::string Read(size_t n) {
    std::string text(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t k = ::recv(fd_, text.data() + got, n - got, 0);
      if (k <= 0) break;
      got += static_cast<size_t>(k);
    }
    text.resize(got);
    return text;
  }

  // Everything until the server closes; "<timeout>" appended when it does not
  // close within the receive limit.
  std::string ReadToEnd() {
    std::string text;
    char buffer[65536];
    while (true) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        text.append(buffer, n);
      } else if (n == 0 || errno == ECONNRESET) {
        return text;
      } else {
        return text + "<timeout>";
      }
    }
  }

 private:
  int fd_;
  bool connected_;
};

class PicServerTest : public testing::Test {
 protected:
  PicServerTest() {
    std::string pattern = (fs::temp_directory_path() / "picserver-XXXXXX").string();
    home_ = ::mkdtemp(pattern.data());
    fs::create_directory(home_ / "images");
    service::ServiceConfig config;
    config.home = home_;
    state_ = std::make_unique<service::ServiceState>(config);
    state_->archive().SetPath((home_ / "images").string());
  }
  ~PicServerTest() override { fs::remove_all(home_); }
  PicServer::Services Services() { return {state_->archive(), state_->log(), state_->metrics()}; }

  void Put(const std::string& name, const std::string& bytes) {
    std::ofstream(home_ / "images" / name, std::ios::binary) << bytes;
  }

  std::string Ask(int port, const std::string& request) {
    Client client(port);
    EXPECT_TRUE(client.connected());
    client.Send(request);
    return client.ReadToEnd();
  }

  fs::path home_;
  std::unique_ptr<service::ServiceState> state_;
};

TEST_F(PicServerTest, LookupThenFetchOverTcp) {
  std::string photo(300000, '\0');  // several pieces of the reply
  for (size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 13 + 1);
  Put("0012A3B4C5D6_0C08150E05092.jpg", photo);
  Put("0012A3B4C5D6_0C08150E05081.jpg", "");
  PicServer server(Services());
  ASSERT_TRUE(server.Start(0));
  int port = server.port();

  EXPECT_EQ(Ask(port, "R0012A3B4C5D6_0C08150E0509\r\n"), "0012A3B4C5D6_0C08150E05092\r\n");
  EXPECT_EQ(Ask(port, "R0012A3B4C5D6_0C08150E0509\n"), "0012A3B4C5D6_0C08150E05092\r\n");
  EXPECT_EQ(Ask(port, "F0012A3B4C5D6_0C08150E05092\r\n"), "300000\r\n" + photo);
  EXPECT_EQ(Ask(port, "F0012A3B4C5D6_0C08150E05081\r\n"), "0\r\n");
  EXPECT_EQ(Ask(port, "F0012A3B4C5D6_0C08150E05091\r\n"), "error\r\n");
  EXPECT_EQ(Ask(port, "f0012A3B4C5D6_0C08150E05092\r\n"), "");
  // The line may arrive in pieces; what follows the line is ignored.
  {
    Client client(port);
    client.Send("R0012A3B4C5D6_");
    std::this_thread::sleep_for(50ms);
    client.Send("0C08150E0509\r\nRjunk");
    EXPECT_EQ(client.ReadToEnd(), "0012A3B4C5D6_0C08150E05092\r\n");
  }
  // The archive folder is read for every request.
  state_->archive().SetPath("");
  EXPECT_EQ(Ask(port, "R0012A3B4C5D6_0C08150E0509\r\n"), "none\r\n");
  EXPECT_EQ(Ask(port, "F0012A3B4C5D6_0C08150E05092\r\n"), "error\r\n");
}

TEST_F(PicServerTest, RequestLineIsBoundedInLengthAndTime) {
  PicServer server(Services(), PicServerLimits{.receive = 300ms});
  ASSERT_TRUE(server.Start(0));
  int port = server.port();
  // 256 bytes before the LF are read and answered; one more is refused,
  // whether or not an LF follows.
  EXPECT_EQ(Ask(port, "F" + std::string(254, 'a') + "\r\n"), "error\r\n");
  EXPECT_EQ(Ask(port, "F" + std::string(255, 'a') + "\n"), "error\r\n");
  EXPECT_EQ(Ask(port, "F" + std::string(255, 'a') + "\r\n"), "");
  EXPECT_EQ(Ask(port, std::string(100000, 'F')), "");
  // A line that never ends, or nothing at all, is cut after the limit.
  EXPECT_EQ(Ask(port, "R0012A3B4C5D6_0C08150E0509"), "");
  EXPECT_EQ(Ask(port, ""), "");
}

// A line in pieces is answered once it is whole; the receive limit counts
// from the connection's start, not from each piece.
TEST_F(PicServerTest, RequestLineInPiecesIsAnsweredWithinTheLimitOnly) {
  Put("0012A3B4C5D6_0C08150E05091.jpg", "photo");
  PicServer server(Services(), PicServerLimits{.receive = 1000ms});
  ASSERT_TRUE(server.Start(0));
  struct Case {
    std::vector<std::string> pieces;
    std::chrono::milliseconds gap;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {{"R0012A3B4C5D6_", "0C08150E0509", "\r\n"}, 100ms, "0012A3B4C5D6_0C08150E05091\r\n"},
      {{"F0012A3B4C5D6_0C08150E05091\r", "\n"}, 100ms, "5\r\nphoto"},
      // Each piece well within the limit, the line as a whole beyond it.
      {{"R", "0", "0", "1", "2", "A", "3", "B4C5D6_0C08150E0509\r\n"}, 300ms, ""},
  };
  for (const Case& c : cases) {
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    for (const std::string& piece : c.pieces) {
      client.Send(piece);
      std::this_thread::sleep_for(c.gap);
    }
    EXPECT_EQ(client.ReadToEnd(), c.reply) << c.pieces.front();
  }
}

TEST_F(PicServerTest, StopCutsOpenConnectionsAndEndsListening) {
  auto server = std::make_unique<PicServer>(Services());
  ASSERT_TRUE(server->Start(0));
  int port = server->port();
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 5; ++i) {
    idle.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(idle.back()->connected());
  }
  idle[0]->Send("R0012A3B4C5D6");  // half a line
  std::this_thread::sleep_for(100ms);
  auto begin = std::chrono::steady_clock::now();
  server->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);  // not the 30 s receive limit
  for (auto& client : idle) EXPECT_EQ(client->ReadToEnd(), "");
  EXPECT_FALSE(Client(port).connected());
  server.reset();
}

TEST_F(PicServerTest, TakenPortFailsToStart) {
  PicServer first(Services());
  ASSERT_TRUE(first.Start(0));
  PicServer second(Services());
  EXPECT_FALSE(second.Start(first.port()));
  EXPECT_EQ(Ask(first.port(), "R0012A3B4C5D6_0C08150E0509\r\n"), "none\r\n");
}

TEST_F(PicServerTest, ServesManyClientsAtOnce) {
  std::string photo(20000, 'p');
  Put("0012A3B4C5D6_0C08150E05091.jpg", photo);
  PicServer server(Services());
  ASSERT_TRUE(server.Start(0));
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < 40; ++i) {
    clients.emplace_back([&] {
      for (int k = 0; k < 10; ++k) {
        Client client(server.port());
        client.Send("F0012A3B4C5D6_0C08150E05091\r\n");
        if (client.ReadToEnd() == "20000\r\n" + photo) ++good;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 400);
}

TEST(PicConnectionCapTest, NeverMoreThanHalfTheDescriptors) {
  struct Case {
    size_t requested;
    uint64_t open_files;
    size_t cap;
  } cases[] = {
      {1024, 8192, 1024}, {1024, 1024, 128}, {1024, 256, 32},
      {10, 1024, 10},     {1024, 4, 1},      {1024, UINT64_MAX, 1024},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PicConnectionCap(c.requested, c.open_files), c.cap)
        << c.requested << " within " << c.open_files;
  }
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(PicServerTest, ConnectionsBeyondTheCapAreClosedAtOnceAndLoggedOnce) {
  PicServer server(Services(), PicServerLimits{.max_connections = 3});
  ASSERT_TRUE(server.Start(0));
  ASSERT_EQ(server.connection_cap(), 3u);
  const int port = server.port();
  // Accepted in the order they connect: three held, the rest refused. An
  // idle connection that was taken would outlast the client's 10 s wait.
  auto idle = std::vector<std::unique_ptr<Client>>();
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<Client>(port));
  for (int i = 0; i < 2; ++i) {
    Client refused(port);
    ASSERT_TRUE(refused.connected());
    EXPECT_EQ(refused.ReadToEnd(), "") << i;
  }
  std::ifstream log(state_->log().path());
  std::string text((std::istreambuf_iterator<char>(log)), {});
  const std::string line = "Сервер фотографий: 3 соединений одновременно";
  ASSERT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.find(line), text.rfind(line)) << text;

  // Once the idle clients go, a client is served again.
  idle.clear();
  std::string answer;
  for (int attempt = 0; attempt < 200 && answer != "none\r\n"; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(20ms);
    answer = Ask(port, "R0012A3B4C5D6_0C08150E0509\r\n");
  }
  EXPECT_EQ(answer, "none\r\n");
}

TEST_F(PicServerTest, FinishedConnectionReleasesItsDescriptorsAtOnce) {
  PicServer server(Services());
  ASSERT_TRUE(server.Start(0));
  const size_t before = OpenDescriptors();
  EXPECT_EQ(Ask(server.port(), "R0012A3B4C5D6_0C08150E0509\r\n"), "none\r\n");
  // The connection's thread releases them right after its reply, without
  // waiting for the next connection.
  size_t after = OpenDescriptors();
  for (int i = 0; i < 250 && after != before; ++i) {
    std::this_thread::sleep_for(20ms);
    after = OpenDescriptors();
  }
  EXPECT_EQ(after, before);
}

size_t Threads() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

TEST_F(PicServerTest, ThousandIdleConnectionsNeitherBlockClientsNorAddThreads) {
  constexpr size_t kIdle = 1000;
  // Each idle connection holds two descriptors of this process, and the cap
  // must be above kIdle: PicConnectionCap needs 8 per connection.
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlim_t needed = 8 * (kIdle + 24);
  if (files.rlim_cur < needed) {
    if (files.rlim_max < needed) GTEST_SKIP() << "needs " << needed << " descriptors";
    files.rlim_cur = needed;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  Put("0012A3B4C5D6_0C08150E05091.jpg", "photo");
  PicServer server(Services());
  ASSERT_TRUE(server.Start(0));
  ASSERT_GT(server.connection_cap(), kIdle);
  const size_t threads = Threads();

  std::vector<std::unique_ptr<Client>> idle;
  for (size_t i = 0; i < kIdle; ++i) {
    idle.push_back(std::make_unique<Client>(server.port()));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  idle[0]->Send("F0012A3B4C5D6_");  // half a line
  for (int i = 0; i < 500 && server.connection_count() < kIdle; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(server.connection_count(), kIdle);

  EXPECT_EQ(Ask(server.port(), "R0012A3B4C5D6_0C08150E0509\r\n"), "0012A3B4C5D6_0C08150E05091\r\n");
  EXPECT_EQ(Ask(server.port(), "F0012A3B4C5D6_0C08150E05091\r\n"), "5\r\nphoto");
  EXPECT_EQ(Threads(), threads);

  // Stop cuts them all.
  server.Stop();
  EXPECT_EQ(server.connection_count(), 0u);
  for (auto& client : idle) ASSERT_EQ(client->ReadToEnd(), "");
}

TEST_F(PicServerTest, FileChangedWhileSentNeverGivesAMix) {
  // Far more than the socket buffers hold, so the file is sent in many
  // pieces while the client reads slowly.
  constexpr size_t kSize = 16 << 20;
  std::string old_photo(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i) old_photo[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string new_photo(kSize / 2, 'n');
  const std::string head = std::to_string(kSize) + "\r\n";
  const fs::path path = home_ / "images" / "0012A3B4C5D6_0C08150E05092.jpg";

  enum class Change { kReplacedByRename, kRewriteByLockingWriter, kTruncated };
  for (Change change :
       {Change::kReplacedByRename, Change::kRewriteByLockingWriter, Change::kTruncated}) {
    SCOPED_TRACE(static_cast<int>(change));
    Put(path.filename().string(), old_photo);
    PicServer server(Services());
    ASSERT_TRUE(server.Start(0));
    Client client(server.port(), 4096);
    client.Send("F0012A3B4C5D6_0C08150E05092\r\n");
    // Once the size line is here the server has opened the file.
    std::string reply = client.Read(head.size() + 1000);
    ASSERT_EQ(reply.substr(0, head.size()), head);

    switch (change) {
      case Change::kReplacedByRename: {
        Put("new.tmp", new_photo);
        fs::rename(home_ / "images" / "new.tmp", path);
        break;
      }
      case Change::kRewriteByLockingWriter: {
        // A saver locks before it truncates: the file being sent keeps it off.
        int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        break;
      }
      case Change::kTruncated:
        fs::resize_file(path, 0);
        break;
    }
    reply += client.ReadToEnd();
    const std::string body = reply.substr(head.size());
    if (change == Change::kTruncated) {
      // The reply ends early, with what had left before.
      EXPECT_LT(body.size(), kSize);
      EXPECT_EQ(body, old_photo.substr(0, body.size()));
    } else {
      EXPECT_TRUE(body == old_photo) << body.size();
    }
    // The next fetch sends the file as it is now, whole.
    const std::string now = ReadWhole(path);
    EXPECT_TRUE(Ask(server.port(), "F0012A3B4C5D6_0C08150E05092\r\n") ==
                std::to_string(now.size()) + "\r\n" + now);
  }
}

}  // namespace
}  // namespace kestrin::picserver
