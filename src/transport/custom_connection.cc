#include "transport/custom_connection.h"

#include <atomic>

namespace kestrin::transport {
namespace {

// Connections are created on the main thread; the counter is atomic anyway so
// that tests and tools may create them elsewhere.
std::atomic<int32_t> connection_counter{0};

}  // namespace

TCustomConnection::TCustomConnection(platform::MainLoop& loop,
                                     std::unique_ptr<TTCPCustomConnectionSocket> aSocket)
    : TBThread(loop), fIndex(connection_counter.fetch_add(1)), fSocket(std::move(aSocket)) {
  // Once the thread is asked to end, no read keeps it waiting for long.
  fSocket->SetCancelFlag(&TerminatedFlag());
}

void TCustomConnection::TerminateThread() {
  if (Terminated()) return;
  SetTerminated();
}

void TCustomConnection::Execute() {
  if (PrepareConnection()) {
    ServeConnection();
    FinishConnection();
  }
}

void TCustomConnection::ThreadEnded() {
  fSocket->Close();
}

}  // namespace kestrin::transport
