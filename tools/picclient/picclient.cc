// picclient: looks up and fetches archived photos from the picture server.
//
//   picclient [--host HOST] [--port PORT] [--timeout SECONDS] lookup NAME
//   picclient [...] fetch FILENAME [--output FILE]
//   picclient [...] get NAME [--output FILE] [--split DIR]
//   picclient split FILE DIR
//
// NAME is the addressed name of an event: 12-character controller
// identifier, "_", 12-digit hexadecimal time (day, month, year - 2000, hour,
// minute, second). "lookup" prints the stored file name the server reports
// (or "none"); "fetch" downloads a stored file name as the lookup printed it;
// "get" does both. "split" writes the pictures of a multi-frame file as
// separate JPEG files. Exit status: 0 done, 1 not found or not readable,
// 2 usage or connection failure, 3 a reply cut short or malformed.

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "capture/multi_frame.h"

namespace {

constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;
constexpr int kBadReply = 3;

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "7727";
  int timeout_seconds = 30;
  std::string output;
  std::string split_dir;
  std::vector<std::string> words;
};

void PrintUsage() {
  std::cerr << "usage: picclient [--host HOST] [--port PORT] [--timeout SECONDS] COMMAND\n"
               "  lookup NAME                            stored file name of an event, or none\n"
               "  fetch FILENAME [--output FILE]         download a stored file (no .jpg)\n"
               "  get NAME [--output FILE] [--split DIR] lookup, then fetch\n"
               "  split FILE DIR                         pictures of a multi-frame file\n";
}

std::optional<Options> ParseArgs(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= argc) return false;
      target = argv[++i];
      return true;
    };
    if (arg == "--host") {
      if (!value(options.host)) return std::nullopt;
    } else if (arg == "--port") {
      if (!value(options.port)) return std::nullopt;
    } else if (arg == "--timeout") {
      std::string text;
      if (!value(text)) return std::nullopt;
      options.timeout_seconds = std::atoi(text.c_str());
      if (options.timeout_seconds <= 0) return std::nullopt;
    } else if (arg == "--output" || arg == "-o") {
      if (!value(options.output)) return std::nullopt;
    } else if (arg == "--split") {
      if (!value(options.split_dir)) return std::nullopt;
    } else if (arg == "--help" || arg == "-h") {
      return std::nullopt;
    } else {
      options.words.push_back(arg);
    }
  }
  return options;
}

// Sends one request line and returns everything the server sends until it
// closes. Nothing when the server cannot be reached or stops answering.
std::optional<std::string> Exchange(const Options& options, const std::string& request) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found);
  if (rc != 0) {
    std::cerr << "picclient: " << options.host << ": " << ::gai_strerror(rc) << "\n";
    return std::nullopt;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    timeval limit{options.timeout_seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    std::cerr << "picclient: cannot connect to " << options.host << " port " << options.port << ": "
              << std::strerror(errno) << "\n";
    return std::nullopt;
  }
  std::string line = request + "\r\n";
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    std::cerr << "picclient: sending failed: " << std::strerror(errno) << "\n";
    ::close(fd);
    return std::nullopt;
  }
  std::string reply;
  char buffer[65536];
  while (true) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      reply.append(buffer, n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      std::cerr << "picclient: receiving failed: " << std::strerror(errno) << "\n";
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return reply;
}

// The first line of a reply without its CR LF; nothing when there is none.
std::optional<std::string> FirstLine(const std::string& reply, size_t* rest = nullptr) {
  size_t end = reply.find("\r\n");
  if (end == std::string::npos) return std::nullopt;
  if (rest) *rest = end + 2;
  return reply.substr(0, end);
}

int Lookup(const Options& options, const std::string& name, std::string* stored) {
  std::optional<std::string> reply = Exchange(options, "R" + name);
  if (!reply) return kUsage;
  if (reply->empty()) {
    std::cerr << "picclient: the server closed without a reply (malformed name?)\n";
    return kNotFound;
  }
  std::optional<std::string> line = FirstLine(*reply);
  if (!line || line->size() + 2 != reply->size()) {
    std::cerr << "picclient: malformed reply\n";
    return kBadReply;
  }
  if (*line == "none") {
    std::cout << "none\n";
    return kNotFound;
  }
  *stored = *line;
  std::cout << *line << "\n";
  return kDone;
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::cerr << "picclient: cannot write " << path << "\n";
  return static_cast<bool>(out);
}

int Split(const std::string& file_path, std::string_view bytes, const std::string& dir) {
  std::optional<std::vector<std::string_view>> pictures = kestrin::capture::ParseMultiFrame(bytes);
  if (!pictures) {
    std::cerr << "picclient: " << file_path << " is no complete multi-frame file\n";
    return kBadReply;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string stem = std::filesystem::path(file_path).stem().string();
  for (size_t i = 0; i < pictures->size(); ++i) {
    std::string out =
        (std::filesystem::path(dir) / (stem + "_" + std::to_string(i + 1) + ".jpg")).string();
    if (!WriteFile(out, (*pictures)[i])) return kUsage;
    std::cout << out << ": " << (*pictures)[i].size() << " bytes\n";
  }
  return kDone;
}

int Fetch(const Options& options, const std::string& file_name) {
  std::optional<std::string> reply = Exchange(options, "F" + file_name);
  if (!reply) return kUsage;
  size_t body = 0;
  std::optional<std::string> line = FirstLine(*reply, &body);
  if (!line) {
    std::cerr << "picclient: "
              << (reply->empty() ? "the server closed without a reply" : "malformed reply") << "\n";
    return reply->empty() ? kNotFound : kBadReply;
  }
  if (*line == "error") {
    std::cerr << "picclient: " << file_name << ": no such file\n";
    return kNotFound;
  }
  if (*line == "-1") {
    std::cerr << "picclient: " << file_name << ": cannot be read now (still being written?)\n";
    return kNotFound;
  }
  long long size = -1;
  std::istringstream parse(*line);
  if (!(parse >> size) || !parse.eof() || size < 0) {
    std::cerr << "picclient: malformed size line \"" << *line << "\"\n";
    return kBadReply;
  }
  std::string_view bytes = std::string_view(*reply).substr(body);
  if (bytes.size() != static_cast<size_t>(size)) {
    std::cerr << "picclient: announced " << size << " bytes, received " << bytes.size() << "\n";
    return kBadReply;
  }
  std::string output = options.output.empty() ? file_name + ".jpg" : options.output;
  if (output == "-") {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
  } else {
    if (!WriteFile(output, bytes)) return kUsage;
    std::cout << output << ": " << size << " bytes\n";
  }
  if (!options.split_dir.empty()) return Split(output, bytes, options.split_dir);
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = ParseArgs(argc, argv);
  if (!options || options->words.empty()) {
    PrintUsage();
    return kUsage;
  }
  const std::vector<std::string>& words = options->words;
  const std::string& command = words[0];
  if (command == "lookup" && words.size() == 2) {
    std::string stored;
    return Lookup(*options, words[1], &stored);
  }
  if (command == "fetch" && words.size() == 2) return Fetch(*options, words[1]);
  if (command == "get" && words.size() == 2) {
    std::string stored;
    int rc = Lookup(*options, words[1], &stored);
    if (rc != kDone) return rc;
    return Fetch(*options, stored);
  }
  if (command == "split" && words.size() == 3) {
    std::ifstream in(words[1], std::ios::binary);
    if (!in) {
      std::cerr << "picclient: cannot read " << words[1] << "\n";
      return kUsage;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Split(words[1], bytes, words[2]);
  }
  PrintUsage();
  return kUsage;
}
