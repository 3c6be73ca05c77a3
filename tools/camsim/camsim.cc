// camsim: an MJPEG camera for the demo and the tests.
//
// Serves a moving test picture as multipart/x-mixed-replace over HTTP to any
// number of clients, each on its own thread, and can be told to misbehave on
// every connection after a number of seconds:
//   --freeze-after S  keep sending the same picture (a frozen camera)
//   --stall-after S   stop sending but keep the connection open
//   --close-after S   close the connection
// and can change its picture size once, for the whole camera:
//   --resize-after S WxH  from S seconds after camsim started, send WxH
//                         pictures (open streams switch mid-stream, later
//                         connections start with the new size)
// Prints "camsim listening on ADDR:PORT" once it accepts connections.
//
// Every picture carries the CLOCK_MONOTONIC millisecond at which it was drawn
// as a block stamp along its bottom edge (picture_stamp.h).
//
// --raw writes the pictures to standard output instead, as raw BGR24 at the
// rate (for an encoder such as ffmpeg: -f rawvideo -pix_fmt bgr24 -s WxH).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/jpeg_encoder.h"
#include "picture_stamp.h"
#include "test_picture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBoundary = "camsimframe";

struct Options {
  std::string bind = "127.0.0.1";
  int port = 8090;
  uint32_t width = 640;
  uint32_t height = 480;
  double fps = 10;
  int quality = 80;
  kestrin::camsim::Rgb patch{0x20, 0x60, 0xC0};
  bool raw = false;
  std::optional<double> freeze_after;
  std::optional<double> stall_after;
  std::optional<double> close_after;
  std::optional<double> resize_after;
  uint32_t resized_width = 0;
  uint32_t resized_height = 0;
};

[[noreturn]] void Usage(const char* message, int exit_code = 2) {
  std::fprintf(exit_code == 0 ? stdout : stderr,
               "camsim: %s\n"
               "usage: camsim [--bind ADDR] [--port N (0: any)] [--size WxH] [--fps N]\n"
               "              [--quality N] [--patch RRGGBB] [--freeze-after S]\n"
               "              [--stall-after S] [--close-after S] [--resize-after S WxH]\n"
               "       camsim --raw [--size WxH] [--fps N] [--patch RRGGBB]\n",
               message);
  std::exit(exit_code);
}

double ParseNumber(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || value < 0) Usage("bad number");
  return value;
}

void ParseSize(const char* text, uint32_t& width, uint32_t& height) {
  unsigned w = 0, h = 0;
  if (std::sscanf(text, "%ux%u", &w, &h) != 2 || w < 16 || h < 16 || w > 8192 || h > 8192) {
    Usage("bad size");
  }
  width = w;
  height = h;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") Usage("an MJPEG camera over HTTP (multipart/x-mixed-replace)", 0);
    if (name == "--raw") {
      options.raw = true;
      continue;
    }
    if (i + 1 >= argc) Usage("missing value");
    const char* value = argv[++i];
    if (name == "--bind") {
      options.bind = value;
    } else if (name == "--port") {
      options.port = static_cast<int>(ParseNumber(value));
    } else if (name == "--size") {
      ParseSize(value, options.width, options.height);
    } else if (name == "--fps") {
      options.fps = ParseNumber(value);
      if (options.fps <= 0) Usage("bad rate");
    } else if (name == "--quality") {
      options.quality = static_cast<int>(ParseNumber(value));
    } else if (name == "--patch") {
      unsigned rgb = 0;
      if (std::strlen(value) != 6 || std::sscanf(value, "%6x", &rgb) != 1) Usage("bad colour");
      options.patch = {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
                       static_cast<uint8_t>(rgb)};
    } else if (name == "--freeze-after") {
      options.freeze_after = ParseNumber(value);
    } else if (name == "--stall-after") {
      options.stall_after = ParseNumber(value);
    } else if (name == "--close-after") {
      options.close_after = ParseNumber(value);
    } else if (name == "--resize-after") {
      if (i + 1 >= argc) Usage("missing value");
      options.resize_after = ParseNumber(value);
      ParseSize(argv[++i], options.resized_width, options.resized_height);
    } else {
      Usage("unknown option");
    }
  }
  return options;
}

bool SendAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads the request head (up to the blank line); its content does not matter.
bool ReadRequest(int fd) {
  std::string head;
  char chunk[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (head.size() > 65536) return false;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    head.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// Holds a stalled connection open until the client goes away.
void WaitForHangUp(int fd) {
  char chunk[1024];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
    if (p.revents & (POLLHUP | POLLERR)) return;
    if (p.revents & POLLIN) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n == 0 || (n < 0 && errno != EINTR)) return;
    }
  }
}

bool Elapsed(const std::optional<double>& limit, Clock::time_point start) {
  return limit && Clock::now() - start >= std::chrono::duration<double>(*limit);
}

// The picture size at this moment: camera-wide, counted from camsim's start.
std::pair<uint32_t, uint32_t> PictureSize(const Options& options, Clock::time_point started) {
  if (Elapsed(options.resize_after, started)) {
    return {options.resized_width, options.resized_height};
  }
  return {options.width, options.height};
}

void Serve(int fd, const Options& options, Clock::time_point started) {
  if (!ReadRequest(fd)) return;
  const std::string head = std::string("HTTP/1.0 200 OK\r\n") +
                           "Content-Type: multipart/x-mixed-replace; boundary=" + kBoundary +
                           "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
  if (!SendAll(fd, head.data(), head.size())) return;

  const auto start = Clock::now();
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
  std::vector<uint8_t> picture;
  std::vector<uint8_t> jpeg;
  auto next = start;
  for (uint64_t frame = 0;; ++frame) {
    if (Elapsed(options.close_after, start)) return;
    if (Elapsed(options.stall_after, start)) {
      WaitForHangUp(fd);
      return;
    }
    if (jpeg.empty() || !Elapsed(options.freeze_after, start)) {
      const auto [width, height] = PictureSize(options, started);
      kestrin::camsim::DrawTestPicture(width, height, frame, options.patch, picture);
      kestrin::camsim::DrawStamp(picture.data(), width, height,
                                 kestrin::camsim::MonotonicStampNow());
      if (!kestrin::capture::EncodeJpeg(picture.data(), kestrin::capture::PixelLayout::kBgr, width,
                                        height, options.quality, jpeg)) {
        return;
      }
    }
    const std::string part =
        std::string("--") + kBoundary +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
        "\r\n\r\n";
    if (!SendAll(fd, part.data(), part.size()) || !SendAll(fd, jpeg.data(), jpeg.size()) ||
        !SendAll(fd, "\r\n", 2)) {
      return;
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
}

// Writes stamped pictures to standard output at the rate until it closes.
int WriteRaw(const Options& options) {
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
  std::vector<uint8_t> picture;
  auto next = Clock::now();
  for (uint64_t frame = 0;; ++frame) {
    kestrin::camsim::DrawTestPicture(options.width, options.height, frame, options.patch, picture);
    kestrin::camsim::DrawStamp(picture.data(), options.width, options.height,
                               kestrin::camsim::MonotonicStampNow());
    for (size_t done = 0; done < picture.size();) {
      const ssize_t n = ::write(STDOUT_FILENO, picture.data() + done, picture.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      done += static_cast<size_t>(n);
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::signal(SIGPIPE, SIG_IGN);
  if (options.raw) return WriteRaw(options);
  const auto started = Clock::now();

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options.port));
  if (::inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1) Usage("bad address");
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0) {
    std::perror("camsim: cannot listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("camsim listening on %s:%d\n", options.bind.c_str(), ntohs(address.sin_port));
  std::fflush(stdout);

  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
      std::perror("camsim: accept");
      return 1;
    }
    std::thread([client, &options, started] {
      Serve(client, options, started);
      ::close(client);
    }).detach();
  }
}
