// Feeds arbitrary bytes to the frame reader of a WebSocket connection through
// a socket pair, as a server would send them after the opening handshake, then
// ends the stream. The connection must neither crash nor allocate beyond its
// payload cap nor hang; whatever it sends back is read and dropped.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/main_loop.h"
#include "transport/websocket_client.h"
#include "transport/websocket_connection.h"

namespace {

using kestrin::platform::MainLoop;
using namespace kestrin::transport;

// A client-side connection over a socket that is already connected and past
// its opening handshake.
class FrameReader : public TWebSocketCustomConnection {
 public:
  static std::shared_ptr<FrameReader> Create(MainLoop& loop, int fd) {
    auto socket = std::make_unique<TTCPCustomConnectionSocket>();
    socket->Adopt(fd);
    return std::shared_ptr<FrameReader>(new FrameReader(loop, std::move(socket)));
  }

 private:
  FrameReader(MainLoop& loop, std::unique_ptr<TTCPCustomConnectionSocket> socket)
      : TWebSocketCustomConnection(loop, std::move(socket)) {
    fMasking = true;
  }
  bool PrepareConnection() override {
    fHandshake.store(true);
    return true;
  }
};

// The main loop that runs the events, on a thread of its own for the whole run.
MainLoop& Loop() {
  static MainLoop* loop = [] {
    auto* l = new MainLoop;
    std::thread([l] { l->Run(); }).detach();
    return l;
  }();
  return *loop;
}

volatile uint32_t sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;

  auto reader = FrameReader::Create(Loop(), fds[0]);
  reader->SetOnOpen([](TWebSocketCustomConnection&) {});
  reader->SetOnRead([](TWebSocketCustomConnection& c, bool, bool, bool, bool, int32_t code,
                       const std::string& payload) {
    uint32_t sum = static_cast<uint32_t>(code);
    for (char b : payload) sum += static_cast<uint8_t>(b);
    sink = sum;
    if (payload == "reply") c.SendText("reply");
  });
  reader->SetOnClose([](TWebSocketCustomConnection&, int32_t code, const std::string& reason,
                        bool) { sink = static_cast<uint32_t>(code) + reason.size(); });
  ConnectionHandle handle(reader);
  reader->Start();
  reader.reset();

  std::thread writer([&] {
    size_t sent = 0;
    while (sent < size) {
      ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
  });
  char drain[4096];
  while (::read(fds[1], drain, sizeof(drain)) > 0) {
  }
  writer.join();
  if (!handle.WaitEnded(std::chrono::seconds(20))) std::abort();  // a hang is a finding
  ::close(fds[1]);
  return 0;
}
