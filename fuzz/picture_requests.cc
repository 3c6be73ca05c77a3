// Sends arbitrary request bytes to a running picture server on loopback and
// checks its reply against the reply decision for the same line, over a small
// archive folder made once at start. Every path a request may look up or open
// must lie directly in the archive; a file beside the archive must never be
// served.
//
// Input: the first byte chooses the case (its low two bits the name format
// 0, 1, 2 or 5; bit 2 an empty archive setting; bits 3 and 4: over the
// server when they are 2, as in the digits "0" to "7", else answered without
// the connection, which is much faster); the rest is what the client sends,
// up to and including its first LF.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/photo_naming.h"
#include "fuzz_support.h"
#include "picserver/pic_request.h"
#include "picserver/pic_server.h"
#include "service/service_state.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrin;

constexpr std::string_view kSecret = "outside the archive";

struct Fixture {
  fs::path root;
  std::string archive;
  std::unique_ptr<service::ServiceState> state;
  std::unique_ptr<picserver::PicServer> server;
};

void Put(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A temporary home with the archive "images" and a few photos of each kind,
// plus things a careless reader could reach: a file beside the archive, a
// folder, a pipe and symbolic links named like photos. Made once; the server runs for the
// whole process.
Fixture& TheFixture() {
  static Fixture* fixture = [] {
    auto* f = new Fixture;
    std::string pattern = (fs::temp_directory_path() / "kestrin-fuzz-pic-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    f->root = pattern;
    fs::path images = f->root / "images";
    fs::create_directory(images);
    f->archive = images.string();

    std::string jpeg = "\xFF\xD8\xFF\xE0 picture \xFF\xD9";
    std::string big(70000, '\0');  // more than one piece of the reply
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    Put(images / "0012A3B4C5D6_0C08150E05091.jpg", jpeg);
    Put(images / "0012A3B4C5D6_0C08150E05092.jpg", big);
    Put(images / "0012A3B4C5D6_1208211405091.jpg", jpeg);         // name format 1
    Put(images / "0012A3B4C5D6_2108121405092.jpg", jpeg + jpeg);  // name format 2
    Put(images /
            "A1B2C3D4E5F6_010100000000"
            "1.jpg",
        "");                                                          // empty photo
    fs::create_directory(images / "0012A3B4C5D6_1F0C63173B3B2.jpg");  // a folder
    FUZZ_CHECK(::mkfifo((images / "A1B2C3D4E5F6_1F0C63173B3B1.jpg").c_str(), 0600) == 0);
    Put(f->root / "images1.jpg", std::string(kSecret));
    Put(f->root / "secret.jpg", std::string(kSecret));
    // Links named like photos, to a file outside the archive and to nothing.
    fs::create_symlink(f->root / "secret.jpg", images / "0012A3B4C5D6_0C08150E05081.jpg");
    fs::create_symlink(f->root / "gone.jpg", images / "0012A3B4C5D6_0C08150E05071.jpg");

    service::ServiceConfig config;
    config.home = f->root;
    f->state = std::make_unique<service::ServiceState>(config);
    f->server = std::make_unique<picserver::PicServer>(
        picserver::PicServer::Services{f->state->archive(), f->state->log(), f->state->metrics()},
        picserver::PicServerLimits{.receive = std::chrono::seconds(5),
                                   .send = std::chrono::seconds(5)});
    FUZZ_CHECK(f->server->Start(0));
    std::atexit([] { fs::remove_all(TheFixture().root); });
    return f;
  }();
  return *fixture;
}

// True when `path` names an entry directly inside the archive folder.
bool InsideArchive(std::string_view path, std::string_view archive) {
  if (path.size() <= archive.size() + 1 || path.substr(0, archive.size()) != archive ||
      path[archive.size()] != '/') {
    return false;
  }
  std::string_view name = path.substr(archive.size() + 1);
  return name.find('/') == std::string_view::npos && name != "." && name != "..";
}

// Everything the server sends until it closes. Nothing within 20 s is a hang.
std::string Exchange(int port, std::string_view request) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0);
  timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (connected != 0) std::perror("connect");
  FUZZ_CHECK(connected == 0);
  // The server may close early on a long line; a failed send is no finding.
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buffer[65536];
  while (true) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      reply.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    FUZZ_CHECK(n == 0 || errno == ECONNRESET);  // EAGAIN: the server hangs
    break;
  }
  ::close(fd);
  return reply;
}

// Waits until the server has ended and freed every connection, so that each
// input leaves nothing of its own behind (a connection still tearing down
// would look like a leak) and a connection that never ends is a finding.
void AwaitConnectionsEnded(picserver::PicServer& server) {
  for (int i = 0; i < 20000 && server.connection_count() > 0; ++i) ::usleep(500);
  FUZZ_CHECK(server.connection_count() == 0);
}

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The reply for `answer`, worked out from the archive by other means than the
// server's: a lookup names a file that exists there, a fetch sends a regular
// file of the archive whole, or "-1" for anything else.
std::string ExpectedReply(const picserver::PicAnswer& answer, const std::string& archive) {
  switch (answer.kind) {
    case picserver::PicAnswer::Kind::kClose:
      return "";
    case picserver::PicAnswer::Kind::kLine:
      if (answer.line != "none" && answer.line != "error") {
        std::string path = capture::ArchiveFilePath(archive, answer.line);
        FUZZ_CHECK(InsideArchive(path, archive));
        struct stat st;
        FUZZ_CHECK(::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode));
      }
      return answer.line + "\r\n";
    case picserver::PicAnswer::Kind::kFile: {
      FUZZ_CHECK(InsideArchive(answer.path, archive));
      struct stat st;
      FUZZ_CHECK(::lstat(answer.path.c_str(), &st) == 0);
      if (!S_ISREG(st.st_mode)) return "-1\r\n";
      std::optional<std::string> contents = ReadWhole(answer.path);
      FUZZ_CHECK(contents.has_value());
      return std::to_string(contents->size()) + "\r\n" + *contents;
    }
  }
  return "";
}

// The reply as the server builds it, without the connection.
std::string LocalReply(const picserver::PicAnswer& answer) {
  switch (answer.kind) {
    case picserver::PicAnswer::Kind::kClose:
      return "";
    case picserver::PicAnswer::Kind::kLine:
      return answer.line + "\r\n";
    case picserver::PicAnswer::Kind::kFile: {
      platform::ArchiveFile file = picserver::OpenFetchFile(answer);
      std::string reply = std::to_string(file.size()) + "\r\n";
      if (file.size() < 0) return reply;
      char buffer[16384];
      int64_t n;
      while ((n = file.Read(buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
      FUZZ_CHECK(n == 0);
      return reply;
    }
  }
  return "";
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The naming rules a request argument goes through.
void CheckNaming(std::string_view argument, int name_format, const std::string& archive) {
  if (!capture::IsSafeNamePart(argument)) return;
  FUZZ_CHECK(argument.find('/') == std::string_view::npos);
  FUZZ_CHECK(argument.find('\\') == std::string_view::npos);
  FUZZ_CHECK(argument.find("..") == std::string_view::npos);
  for (char c : argument) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  if (!archive.empty()) {
    FUZZ_CHECK(InsideArchive(capture::ArchiveFilePath(archive, argument), archive));
  }

  if (argument.size() != capture::kAddressedNameLength) return;
  std::string_view time_part = argument.substr(capture::kControllerIdLength + 1);
  std::optional<platform::LocalFields> time = capture::DecodeHexTime(time_part);
  if (time) {
    // A valid time part is written back the same way, up to letter case.
    FUZZ_CHECK(capture::MakeTimePart(*time, 0) == Upper(time_part));
    FUZZ_CHECK(capture::DecodeHexTime(capture::MakeTimePart(*time, 0)).has_value());
  }
  std::optional<std::string> stored = capture::StoredPhotoName(argument, name_format);
  if (name_format == 1 || name_format == 2) {
    FUZZ_CHECK(stored.has_value() == time.has_value());
    if (stored) {
      FUZZ_CHECK(stored->size() == capture::kAddressedNameLength);
      FUZZ_CHECK(stored->substr(0, capture::kControllerIdLength + 1) ==
                 std::string(argument.substr(0, capture::kControllerIdLength)) + "_");
      for (char c : stored->substr(capture::kControllerIdLength + 1))
        FUZZ_CHECK(c >= '0' && c <= '9');
    }
  } else {
    FUZZ_CHECK(stored == std::string(argument));
  }
  if (stored && !archive.empty()) {
    for (char kind : {capture::kSingleFrameKind, capture::kMultiFrameKind})
      FUZZ_CHECK(InsideArchive(capture::MakePhotoPath(archive, *stored, kind), archive));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Fixture& fixture = TheFixture();
  static constexpr int kFormats[] = {0, 1, 2, 5};
  const int name_format = kFormats[data[0] & 3];
  const std::string archive = (data[0] & 4) ? "" : fixture.archive;
  fixture.state->archive().SetNameFormat(name_format);
  fixture.state->archive().SetPath(archive);

  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t lf = bytes.find('\n');
  std::string_view request = lf == std::string_view::npos ? bytes : bytes.substr(0, lf + 1);
  // Most inputs are answered here by the same decision and file reader the
  // server uses; a quarter go to the server over loopback.
  const bool over_server = (data[0] & 0x18) == 0x10;
  std::string reply;
  if (over_server) {
    reply = Exchange(fixture.server->port(), request);
    FUZZ_CHECK(reply.find(kSecret) == std::string::npos);
    AwaitConnectionsEnded(*fixture.server);
  }

  // The reply the decision gives for the same line: one line ended by LF of
  // at most the limit, a CR before the LF removed.
  picserver::PicAnswer answer;
  if (lf != std::string_view::npos && lf <= picserver::kMaxRequestLine) {
    std::string_view line = bytes.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    answer = picserver::AnswerRequest(line, archive, name_format);
    if (!line.empty()) CheckNaming(line.substr(1), name_format, archive);
    if (answer.kind != picserver::PicAnswer::Kind::kClose) {
      FUZZ_CHECK(line.front() == 'R' || line.front() == 'F');
      FUZZ_CHECK(capture::IsSafeNamePart(line.substr(1)));
    }
  }

  std::string expected = ExpectedReply(answer, archive);
  if (over_server) {
    FUZZ_CHECK(reply == expected);
  } else {
    FUZZ_CHECK(LocalReply(answer) == expected);
    FUZZ_CHECK(expected.find(kSecret) == std::string::npos);
  }
  return 0;
}
