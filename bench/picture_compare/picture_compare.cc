// Client load on a photo server: N clients on loopback, each doing lookup +
// fetch pairs one after the other for a fixed time, every reply checked byte
// for byte against the file in the archive folder. Speaks either the picture
// server's protocol (lookup "R" + name, fetch "F" + name, one connection
// each) or HTTP/1.1 towards a plain web server serving the same folder
// (HEAD as the lookup, GET as the fetch, "Connection: close", one connection
// each), so that both servers do the same number of connections and bytes.
//
//   bench_picture_compare --mode pic|pic-lookup|http --port N --archive DIR
//                         [--clients 50] [--seconds 15] [--idle 0] [--latencies FILE]
//
// Mode pic-lookup does the lookups of the pairs alone.
// --latencies FILE writes the milliseconds of every pair that succeeded, one a
// line, so that runs can be merged.
// --idle N opens N connections that send nothing before the clients start and
// holds them until they end, then counts how many the server still held open.
// The archive's single-frame photos (NAME1.jpg with a 25-character NAME) are
// the files asked for, in turn. Prints one line:
//   mode M clients C seconds S pairs P failed F pairs_per_s R p50_ms A p99_ms B max_ms X
//   idle N idle_open K
// and exits non-zero when a pair failed or none succeeded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback_exchange.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Photo {
  std::string stem;  // file name without ".jpg"
  std::string bytes;
};

// Sends `request` on a new connection and returns what arrives until close;
// "" on any error.
std::string Exchange(int port, const std::string& request) {
  return kestrin::bench::LoopbackExchange(port, request).value_or("");
}

bool PicturePair(int port, const Photo& photo, bool lookup_only) {
  const std::string name = photo.stem.substr(0, 25);
  if (Exchange(port, "R" + name + "\r\n") != photo.stem + "\r\n") return false;
  if (lookup_only) return true;
  const std::string reply = Exchange(port, "F" + photo.stem + "\r\n");
  const std::string head = std::to_string(photo.bytes.size()) + "\r\n";
  return reply.size() == head.size() + photo.bytes.size() &&
         reply.compare(0, head.size(), head) == 0 &&
         reply.compare(head.size(), std::string::npos, photo.bytes) == 0;
}

// Status 200 and a Content-Length of the photo's size; the body after the
// head when `body` is set.
bool HttpReplyMatches(const std::string& reply, const Photo& photo, bool body) {
  const size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos || reply.compare(0, 12, "HTTP/1.1 200") != 0) return false;
  std::string head = reply.substr(0, end);
  std::transform(head.begin(), head.end(), head.begin(), ::tolower);
  const std::string length = "\r\ncontent-length: " + std::to_string(photo.bytes.size()) + "\r\n";
  if ((head + "\r\n").find(length) == std::string::npos) return false;
  if (!body) return reply.size() == end + 4;
  return reply.size() == end + 4 + photo.bytes.size() &&
         reply.compare(end + 4, std::string::npos, photo.bytes) == 0;
}

bool HttpPair(int port, const Photo& photo) {
  const std::string tail =
      " /" + photo.stem + ".jpg HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  return HttpReplyMatches(Exchange(port, "HEAD" + tail), photo, false) &&
         HttpReplyMatches(Exchange(port, "GET" + tail), photo, true);
}

// A loopback connection that sends nothing; -1 when it cannot be made.
int IdleConnection(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has neither closed nor reset the connection.
bool StillOpen(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * values.size()));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: bench_picture_compare --mode pic|pic-lookup|http --port N --archive DIR "
               "[--clients 50] [--seconds 15] [--idle 0] [--latencies FILE]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode;
  std::string archive;
  int port = 0;
  int clients = 50;
  double seconds = 15;
  int idle = 0;
  std::string latencies_path;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) Usage();
    const std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--mode") {
      mode = value;
    } else if (option == "--port") {
      port = std::atoi(value);
    } else if (option == "--archive") {
      archive = value;
    } else if (option == "--clients") {
      clients = std::atoi(value);
    } else if (option == "--seconds") {
      seconds = std::atof(value);
    } else if (option == "--idle") {
      idle = std::atoi(value);
    } else if (option == "--latencies") {
      latencies_path = value;
    } else {
      Usage();
    }
  }
  if ((mode != "pic" && mode != "pic-lookup" && mode != "http") || port <= 0 || archive.empty() ||
      clients <= 0 || seconds <= 0 || idle < 0) {
    Usage();
  }

  std::vector<Photo> photos;
  for (const auto& entry : fs::directory_iterator(archive)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 30 || name.compare(25, 5, "1.jpg") != 0) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    photos.push_back({name.substr(0, 26), std::string(std::istreambuf_iterator<char>(file), {})});
  }
  if (photos.empty()) {
    std::fprintf(stderr, "no NAME1.jpg photos in %s\n", archive.c_str());
    return 2;
  }
  std::sort(photos.begin(), photos.end(),
            [](const Photo& a, const Photo& b) { return a.stem < b.stem; });

  std::vector<int> idle_fds;
  for (int i = 0; i < idle; ++i) {
    const int fd = IdleConnection(port);
    if (fd < 0) {
      std::fprintf(stderr, "idle connection %d failed\n", i);
      return 2;
    }
    idle_fds.push_back(fd);
  }

  const bool pic = mode != "http";
  const bool lookup_only = mode == "pic-lookup";
  std::atomic<long> failed{0};
  std::atomic<bool> go{false};
  std::mutex lock;
  std::vector<double> latencies_ms;
  Clock::time_point deadline;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      while (!go.load()) std::this_thread::yield();
      std::vector<double> mine;
      long bad = 0;
      for (size_t k = static_cast<size_t>(c); Clock::now() < deadline; ++k) {
        const Photo& photo = photos[k % photos.size()];
        const auto t0 = Clock::now();
        const bool ok = pic ? PicturePair(port, photo, lookup_only) : HttpPair(port, photo);
        const auto t1 = Clock::now();
        if (ok) {
          mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        } else {
          ++bad;
        }
      }
      failed += bad;
      std::lock_guard guard(lock);
      latencies_ms.insert(latencies_ms.end(), mine.begin(), mine.end());
    });
  }
  const auto begin = Clock::now();
  deadline =
      begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go = true;
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  const size_t pairs = latencies_ms.size();
  if (!latencies_path.empty()) {
    std::ofstream out(latencies_path);
    for (double ms : latencies_ms) out << ms << '\n';
  }
  std::printf(
      "mode %s clients %d seconds %.1f pairs %zu failed %ld pairs_per_s %.1f p50_ms %.2f "
      "p99_ms %.2f max_ms %.2f\n",
      mode.c_str(), clients, elapsed, pairs, failed.load(), pairs / elapsed,
      Percentile(latencies_ms, 50), Percentile(latencies_ms, 99), Percentile(latencies_ms, 100));
  if (idle > 0) {
    const auto open = std::count_if(idle_fds.begin(), idle_fds.end(), StillOpen);
    std::printf("idle %d idle_open %ld\n", idle, static_cast<long>(open));
  }
  for (int fd : idle_fds) ::close(fd);
  return failed == 0 && pairs > 0 ? 0 : 1;
}
