// Load on the picture server: N clients on loopback, each sending lookups and
// fetches one connection after the other for a fixed time. Every reply is
// checked byte for byte; prints the requests per second and exits non-zero
// when any reply failed or came short.
//
//   bench_picserver_load [--clients 200] [--seconds 10] [--size 60000]
//                        [--port PORT]
//
// Without --port the server runs in this process on a temporary archive;
// with --port the bench talks to a running service whose archive already
// holds the files this bench writes to the folder given by --archive.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback_exchange.h"
#include "picserver/pic_server.h"
#include "service/service_state.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "0012A3B4C5D6_0C08150E0509";

// Sends `request` on a new connection and returns what arrives until close;
// "<failed>" on a connection or receive error.
std::string Exchange(int port, const std::string& request) {
  return kestrin::bench::LoopbackExchange(port, request).value_or("<failed>");
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 200;
  double seconds = 10;
  size_t size = 60000;
  int port = 0;
  std::string archive_arg;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--clients") clients = std::atoi(argv[i + 1]);
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--size") size = static_cast<size_t>(std::atol(argv[i + 1]));
    if (option == "--port") port = std::atoi(argv[i + 1]);
    if (option == "--archive") archive_arg = argv[i + 1];
  }

  fs::path home;
  fs::path archive = archive_arg;
  if (archive.empty()) {
    std::string pattern = (fs::temp_directory_path() / "picload-XXXXXX").string();
    home = ::mkdtemp(pattern.data());
    archive = home / "images";
    fs::create_directory(archive);
  }
  std::string single = RandomBytes(size, 1);
  std::string multi = RandomBytes(size * 4, 2);
  std::ofstream(archive / (std::string(kName) + "1.jpg"), std::ios::binary) << single;
  std::ofstream(archive / (std::string(kName) + "2.jpg"), std::ios::binary) << multi;

  std::unique_ptr<kestrin::service::ServiceState> state;
  std::unique_ptr<kestrin::picserver::PicServer> server;
  if (port == 0) {
    kestrin::service::ServiceConfig config;
    config.home = home;
    state = std::make_unique<kestrin::service::ServiceState>(config);
    state->archive().SetPath(archive.string());
    server = std::make_unique<kestrin::picserver::PicServer>(
        kestrin::picserver::PicServer::Services{state->archive(), state->log(), state->metrics()});
    if (!server->Start(0)) {
      std::fprintf(stderr, "cannot start the picture server\n");
      return 2;
    }
    port = server->port();
  }

  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {std::string("R") + kName + "\r\n", std::string(kName) + "2\r\n"},
      {std::string("F") + kName + "1\r\n", std::to_string(single.size()) + "\r\n" + single},
      {std::string("F") + kName + "2\r\n", std::to_string(multi.size()) + "\r\n" + multi},
  };
  std::atomic<long> good{0}, bad{0};
  std::atomic<bool> go{false};
  auto deadline_of = [&] {
    return std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      while (!go) std::this_thread::yield();
      auto deadline = deadline_of();
      long ok = 0, failed = 0;
      for (size_t k = c; std::chrono::steady_clock::now() < deadline; ++k) {
        const auto& [request, expected] = exchanges[k % exchanges.size()];
        if (Exchange(port, request) == expected) {
          ++ok;
        } else {
          ++failed;
        }
      }
      good += ok;
      bad += failed;
    });
  }
  auto begin = std::chrono::steady_clock::now();
  go = true;
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (server) server->Stop();
  if (!home.empty()) fs::remove_all(home);

  std::printf("clients %d, %.1f s: %ld whole replies, %ld failed or short, %.0f requests/s\n",
              clients, elapsed, good.load(), bad.load(), good.load() / elapsed);
  return bad == 0 && good > 0 ? 0 : 1;
}
