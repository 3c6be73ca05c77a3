#include "picserver/pic_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace kestrin::picserver {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A client socket to the server on loopback with a 10 s receive limit.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }

  bool connected() const { return connected_; }
  void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

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
    state_->archive_path.Set((home_ / "images").string());
  }
  ~PicServerTest() override { fs::remove_all(home_); }

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
  PicServer server(*state_);
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
  state_->archive_path.Set("");
  EXPECT_EQ(Ask(port, "R0012A3B4C5D6_0C08150E0509\r\n"), "none\r\n");
  EXPECT_EQ(Ask(port, "F0012A3B4C5D6_0C08150E05092\r\n"), "error\r\n");
}

TEST_F(PicServerTest, RequestLineIsBoundedInLengthAndTime) {
  PicServer server(*state_, PicServerLimits{.receive = 300ms});
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

TEST_F(PicServerTest, StopCutsOpenConnectionsAndEndsListening) {
  auto server = std::make_unique<PicServer>(*state_);
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
  PicServer first(*state_);
  ASSERT_TRUE(first.Start(0));
  PicServer second(*state_);
  EXPECT_FALSE(second.Start(first.port()));
  EXPECT_EQ(Ask(first.port(), "R0012A3B4C5D6_0C08150E0509\r\n"), "none\r\n");
}

TEST_F(PicServerTest, ServesManyClientsAtOnce) {
  std::string photo(20000, 'p');
  Put("0012A3B4C5D6_0C08150E05091.jpg", photo);
  PicServer server(*state_);
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

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(PicServerTest, ConnectionsBeyondTheCapAreClosedAtOnceAndLoggedOnce) {
  PicServer server(*state_, PicServerLimits{.max_connections = 3});
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
  PicServer server(*state_);
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

}  // namespace
}  // namespace kestrin::picserver
