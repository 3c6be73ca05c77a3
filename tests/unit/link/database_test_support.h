#pragma once

// Real access-control databases for the database tests, made by
// scripts/make-test-db with the embedded engine.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace kestrin::link::testing {

inline std::filesystem::path RepositoryRoot() {
  return KESTRIN_SOURCE_DIR;
}

// A fresh folder under /tmp that every user may enter (the Firebird server
// runs as its own user); removed at the end.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = "/tmp/kestrin-db-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    chmod(path_.c_str(), 0755);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs scripts/make-test-db with `arguments` for folder `dir`. True on success.
inline bool MakeTestDatabase(const std::filesystem::path& dir, const std::string& arguments = "") {
  std::string command = (RepositoryRoot() / "scripts" / "make-test-db").string() + " '" +
                        dir.string() + "' " + arguments + " >/dev/null";
  return std::system(command.c_str()) == 0;
}

// Whether the Firebird server listens on 127.0.0.1:3050.
inline bool FirebirdServerListening() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3050);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// The server's SYSDBA password, as the package recorded it; empty when unknown.
inline std::string ServerSysdbaPassword() {
  std::ifstream file("/etc/firebird/3.0/SYSDBA.password");
  std::string line;
  while (std::getline(file, line)) {
    const std::string key = "ISC_PASSWORD=";
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

// Relays loopback TCP connections to the Firebird server on 127.0.0.1:3050
// until Cut(), which breaks every relayed connection at once, as a pulled
// cable or a crashed server would, and refuses new ones.
class FirebirdRelay {
 public:
  FirebirdRelay() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FirebirdRelay() {
    Cut();
    thread_.join();
  }

  int port() const { return port_; }

  void Cut() { cut_ = true; }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  void Run() {
    std::vector<std::pair<int, int>> pairs;  // client, server
    while (!cut_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (auto [client, server] : pairs) {
        fds.push_back({client, POLLIN, 0});
        fds.push_back({server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) Accept(pairs);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        auto& pair = pairs[(i - 1) / 2];
        int from = fds[i].fd, to = from == pair.first ? pair.second : pair.first;
        char buffer[16384];
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got <= 0 || write(to, buffer, got) != got) shutdown(to, SHUT_RDWR);
      }
    }
    for (auto [client, server] : pairs) {
      close(client);
      close(server);
    }
    close(listener_);
  }

  void Accept(std::vector<std::pair<int, int>>& pairs) {
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(3050);
    if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(client);
      if (server >= 0) close(server);
      return;
    }
    pairs.emplace_back(client, server);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace kestrin::link::testing
