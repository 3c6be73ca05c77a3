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
#include <sys/socket.h>

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

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace kestrin::link::testing
