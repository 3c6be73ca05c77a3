// The client against a raw TCP peer written in the test: exact bytes on the
// wire, the events the owner sees, and every way a connection ends.

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <thread>

#include "transport/websocket_client.h"
#include "transport_test_support.h"

namespace kestrin::transport::testing {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

class ClientTest : public ::testing::Test {
 protected:
  LoopThread loop_;
  RawServer server_;
};

// ---------------------------------------------------------------------------
// Opening handshake

TEST_F(ClientTest, RequestCarriesOnlyThePresentLines) {
  struct Case {
    std::string origin;
    int32_t version;
    std::string optional_lines;
  } cases[] = {
      {"-", 13, ""},  // the service's arguments: six lines and the empty line
      {"http://a", 8, "Sec-WebSocket-Origin: http://a\r\n"},
      {"http://a", 13, "Origin: http://a\r\n"},
  };
  for (const Case& c : cases) {
    ClientUnderTest client(loop_, server_, "127.0.0.1", c.origin, "-", "-", "-", c.version);
    ASSERT_TRUE(client.CompleteHandshake());
    std::regex expected(
        "GET / HTTP/1\\.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Host: 127\\.0\\.0\\.1:" +
        server_.Port() +
        "\r\nSec-WebSocket-Key: [A-Za-z0-9+/]{22}==\r\n"
        "Sec-WebSocket-Version: " +
        std::to_string(c.version) + "\r\n" + c.optional_lines + "\r\n");
    EXPECT_TRUE(std::regex_match(client.request, expected)) << client.request;
    auto connection = client.handle.Get();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->Protocol(), "-");
    EXPECT_EQ(connection->Extension(), "-");
    EXPECT_TRUE(connection->Handshake());
  }
}

TEST_F(ClientTest, FailedHandshakeEndsWithoutEventsAndSendsNothing) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string& request)> answer;
    bool close_after = false;
  } cases[] = {
      {"wrong accept",
       [](const std::string&) {
         return "HTTP/1.1 101 x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                AcceptFor("another key") + "\r\n\r\n";
       }},
      {"status 200",
       [](const std::string& request) {
         std::string good = GoodResponse(request);
         return good.replace(0, 12, "HTTP/1.1 200");
       }},
      {"header line above 1 MiB",
       [](const std::string&) {
         return "HTTP/1.1 101 x\r\nX-Long: " + std::string(1048577, 'a') + "\r\n\r\n";
       }},
      {"a good answer padded to 101 header lines",
       [](const std::string& request) {
         std::string good = GoodResponse(request);
         std::string padding;
         for (int i = 0; i < 98; ++i) padding += "X-Pad: " + std::to_string(i) + "\r\n";
         return good.insert(good.size() - 2, padding);
       }},
      {"a good answer padded beyond 16 KiB",
       [](const std::string& request) {
         std::string good = GoodResponse(request);
         return good.insert(good.size() - 2, "X-Pad: " + std::string(16384, 'a') + "\r\n");
       }},
      {"endless header lines",
       [](const std::string&) {
         std::string head = "HTTP/1.1 101 x\r\n";
         for (int i = 0; i < 5000; ++i) head += "X-Pad: " + std::to_string(i) + "\r\n";
         return head;
       }},
      {"peer closes before the empty line",
       [](const std::string&) { return std::string("HTTP/1.1 101 x\r\nUpgrade: websocket\r\n"); },
       true},
  };
  for (const Case& c : cases) {
    ClientUnderTest client(loop_, server_);
    ASSERT_TRUE(client.peer);
    std::string request = client.peer->ReadHead().value_or("");
    client.peer->Send(c.answer(request));
    if (c.close_after) client.peer->ShutdownWrite();
    EXPECT_TRUE(client.peer->WaitEof()) << c.what << ": sent something or stayed open";
    EXPECT_TRUE(client.handle.WaitEnded(5s)) << c.what;
    std::lock_guard lock(client.recorder.mutex);
    EXPECT_EQ(client.recorder.opens, 0) << c.what;
    EXPECT_TRUE(client.recorder.closes.empty()) << c.what;
  }
}

TEST_F(ClientTest, VersionBelowEightNeverConnects) {
  auto c = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", server_.Port(), "/", "-",
                                              "-", "-", "-", 7);
  ConnectionHandle handle(c);
  c->Start();
  c.reset();
  EXPECT_TRUE(handle.WaitEnded(5s));
  EXPECT_FALSE(server_.Accept(100ms)) << "connected with version 7";
}

TEST_F(ClientTest, ConnectFailureEndsWithoutEvents) {
  std::string closed_port;
  {
    RawServer gone;
    closed_port = gone.Port();
  }
  Recorder recorder(loop_.loop());
  auto c = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", closed_port, "/", "-", "-",
                                              "-", "-", 13);
  recorder.Attach(*c);
  ConnectionHandle handle(c);
  c->Start();
  c.reset();
  EXPECT_TRUE(handle.WaitEnded(5s));
  EXPECT_FALSE(handle.Alive());
  EXPECT_EQ(recorder.opens, 0);
  EXPECT_TRUE(recorder.closes.empty());
  handle.SendText("after the end");  // safe, does nothing
  handle.Close(1000, "bye");
}

// ---------------------------------------------------------------------------
// Life cycle

TEST_F(ClientTest, IndicesCountUpAndCloseBeforeStartDoesNothing) {
  auto first = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", server_.Port(), "/",
                                                  "-", "-", "-", "-", 13);
  auto second = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", server_.Port(), "/",
                                                   "-", "-", "-", "-", 13);
  EXPECT_EQ(second->Index(), first->Index() + 1);

  Recorder recorder(loop_.loop());
  recorder.Attach(*first);
  first->Close(1000, "bye");
  first->SendText("not yet");
  EXPECT_TRUE(recorder.closes.empty());

  ConnectionHandle handle(first);
  first->Start();
  first.reset();
  second.reset();  // never started: simply freed
  auto peer = server_.Accept();
  ASSERT_TRUE(peer);
  std::string request = peer->ReadHead().value_or("");
  peer->Send(GoodResponse(request));
  EXPECT_TRUE(recorder.WaitOpen()) << "the early Close must not have spoiled the connection";
  peer->Close();
  EXPECT_TRUE(handle.WaitEnded(5s));
}

TEST_F(ClientTest, ObjectFreesItselfWhenTheThreadEnds) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  EXPECT_TRUE(client.handle.Alive());
  client.peer->ShutdownWrite();
  EXPECT_TRUE(client.handle.WaitEnded(5s));
  EXPECT_FALSE(client.handle.Alive()) << "the owner did nothing, the object must be gone";
  EXPECT_TRUE(client.peer->WaitEof()) << "the socket must be closed with the object";
}

// ---------------------------------------------------------------------------
// Sending

TEST_F(ClientTest, TextFramesAreMaskedWithAFreshKeyEach) {
  ClientUnderTest client(loop_, server_);
  // Before the handshake nothing is sent.
  client.handle.SendText("too early");
  ASSERT_TRUE(client.CompleteHandshake());

  const std::string getdb = "{\"command\":\"getdb\"}";
  loop_.Run([&] {
    client.handle.SendText(getdb);
    client.handle.SendText(getdb);
    client.handle.SendText("Привет");  // goes out as Windows-1251
  });
  auto raw = client.peer->Read(25);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->substr(0, 2), "\x81\x93");
  MaskingKey key;
  for (int i = 0; i < 4; ++i) key[i] = static_cast<uint8_t>((*raw)[2 + i]);
  std::string payload = raw->substr(6);
  ApplyMask(payload, key);
  EXPECT_EQ(payload, getdb);

  auto second = client.peer->ReadFrame();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->payload, getdb);
  EXPECT_NE(second->key, key) << "the masking key must be new for every frame";

  auto cyrillic = client.peer->ReadFrame();
  ASSERT_TRUE(cyrillic);
  EXPECT_EQ(cyrillic->payload, "\xCF\xF0\xE8\xE2\xE5\xF2");
}

TEST_F(ClientTest, SentLengthsUseTheShortestForm) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  struct Case {
    size_t size;
    std::string length_bytes;  // the second header byte and the extended length
  } cases[] = {
      {125, Bytes({0xFD})},
      {126, Bytes({0xFE, 0x00, 0x7E})},
      {65535, Bytes({0xFE, 0xFF, 0xFF})},
      {65536, Bytes({0xFF, 0, 0, 0, 0, 0, 1, 0, 0})},
  };
  for (const Case& c : cases) {
    std::string payload(c.size, 'z');
    std::thread sender([&] { loop_.Run([&] { client.handle.Get()->SendBinary(payload); }); });
    auto frame = client.peer->ReadFrame();
    sender.join();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.substr(0, 1), "\x82");
    EXPECT_EQ(frame->header.substr(1, frame->header.size() - 5), c.length_bytes);
    EXPECT_EQ(frame->payload, payload);
  }
}

TEST_F(ClientTest, OwnersCloseSendsTheFrameAndReportsBeforeReturning) {
  struct Case {
    std::string reason;
    std::string sent_reason;
  } cases[] = {
      {"bye", "bye"},
      {std::string(200, 'r'), std::string(123, 'r')},
  };
  for (const Case& c : cases) {
    ClientUnderTest client(loop_, server_);
    ASSERT_TRUE(client.CompleteHandshake());
    size_t closes_at_return = 0;
    loop_.Run([&] {
      client.handle.Close(1000, c.reason);
      closes_at_return = client.recorder.closes.size();
      client.handle.Close(1001, "again");  // does nothing
      client.handle.SendText("after the close");
    });
    EXPECT_EQ(closes_at_return, 1u) << "OnClose must run inside Close";
    auto frame = client.peer->ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->byte0, 0x88);
    EXPECT_TRUE(frame->masked);
    EXPECT_EQ(frame->payload, "\x03\xE8" + c.sent_reason);
    EXPECT_TRUE(client.peer->WaitEof()) << "nothing may follow the Close frame";
    std::lock_guard lock(client.recorder.mutex);
    ASSERT_EQ(client.recorder.closes.size(), 1u);
    EXPECT_EQ(client.recorder.closes[0].code, 1000);
    EXPECT_EQ(client.recorder.closes[0].reason, c.reason);
    EXPECT_FALSE(client.recorder.closes[0].by_peer);
  }
}

TEST_F(ClientTest, CloseEndsTheThreadAlsoInsideAStalledPayload) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  client.peer->Send(
      "\x81\x0A"
      "ab");  // 10 bytes announced, 2 sent
  std::this_thread::sleep_for(100ms);
  loop_.Run([&] { client.handle.Close(1000, "bye"); });
  auto frame = client.peer->ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode(), kOpClose);
  EXPECT_TRUE(client.peer->WaitEof(3s)) << "the thread still waits for the payload";
  EXPECT_TRUE(client.handle.WaitEnded(3s));
}

TEST_F(ClientTest, CloseDuringTheHandshakeGoesOutOnTheBareConnection) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.peer);
  std::string request = client.peer->ReadHead().value_or("");
  ASSERT_FALSE(request.empty());
  loop_.Run([&] { client.handle.Close(1000, "bye"); });
  auto frame = client.peer->ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload,
            "\x03\xE8"
            "bye");
  client.peer->Send(GoodResponse(request));
  EXPECT_TRUE(client.handle.WaitEnded(5s));
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_EQ(client.recorder.opens, 0);
  ASSERT_EQ(client.recorder.closes.size(), 1u);
  EXPECT_EQ(client.recorder.closes[0].code, 1000);
}

TEST_F(ClientTest, PingDuringALongSendIsAnsweredAfterIt) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  const std::string big(8 << 20, 'b');
  std::thread sender([&] { loop_.Run([&] { client.handle.Get()->SendBinary(big); }); });
  std::this_thread::sleep_for(300ms);  // the big frame now fills the socket buffers
  client.peer->Send(ServerFrame(0x89, "p"));
  auto first = client.peer->ReadFrame();
  auto second = client.peer->ReadFrame();
  sender.join();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->opcode(), kOpBinary);
  EXPECT_EQ(first->payload, big);
  EXPECT_EQ(second->opcode(), kOpPong);
  EXPECT_EQ(second->payload, "p");
}

TEST_F(ClientTest, SendThePeerDoesNotTakeEndsTheConnectionAfterItsBudget) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  // Far more than the socket buffers hold; the peer reads nothing.
  const std::string big(64 << 20, 'b');
  loop_.Run([&] { client.handle.Get()->SendBinary(big); });
  ASSERT_TRUE(client.recorder.WaitClose());
  {
    std::lock_guard lock(client.recorder.mutex);
    ASSERT_EQ(client.recorder.closes.size(), 1u);
    EXPECT_EQ(client.recorder.closes[0].code, 1006);
    EXPECT_FALSE(client.recorder.closes[0].by_peer);
  }
  EXPECT_TRUE(client.handle.WaitEnded(5s)) << "the dropped connection's thread did not end";
}

// Abandoning gives a connection up in whatever state it is, without a single
// event: the owner has already moved on to a new one.
TEST_F(ClientTest, AbandonEndsTheConnectionWithoutEvents) {
  struct Case {
    const char* name;
    bool open;  // handshake completed first
  } cases[] = {{"in the handshake", false}, {"open", true}};
  for (const Case& c : cases) {
    ClientUnderTest client(loop_, server_);
    ASSERT_TRUE(client.peer) << c.name;
    if (c.open) {
      ASSERT_TRUE(client.CompleteHandshake()) << c.name;
    } else {
      ASSERT_TRUE(client.peer->ReadHead()) << c.name;
    }
    loop_.Run([&] { client.handle.Abandon(); });
    if (c.open) {
      auto frame = client.peer->ReadFrame();
      ASSERT_TRUE(frame) << c.name;
      EXPECT_EQ(frame->opcode(), kOpClose) << c.name;
      EXPECT_EQ(frame->payload,
                "\x03\xE8"
                "bye")
          << c.name;
    }
    EXPECT_TRUE(client.peer->WaitEof(1s)) << c.name << ": the socket stays open";
    EXPECT_TRUE(client.handle.WaitEnded(5s)) << c.name;
    std::lock_guard lock(client.recorder.mutex);
    EXPECT_EQ(client.recorder.opens, c.open ? 1 : 0) << c.name;
    EXPECT_TRUE(client.recorder.closes.empty()) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Receiving

TEST_F(ClientTest, ReceivedFramesAreReportedOnePerFrame) {
  const MaskingKey key{0x11, 0x22, 0x33, 0x44};
  struct Case {
    const char* what;
    std::string wire;
    ReadEvent expected;
  } cases[] = {
      {"text of three bytes", ServerFrame(0x81, "abc"), {true, false, false, false, 1, "abc"}},
      {"small length in the 2-byte form", ServerFrame(0x82, "xy", 2), {true, 0, 0, 0, 2, "xy"}},
      {"small length in the 8-byte form", ServerFrame(0x82, "xyz", 8), {true, 0, 0, 0, 2, "xyz"}},
      {"masked by the server", ServerFrame(0x81, "hidden", 0, &key), {true, 0, 0, 0, 1, "hidden"}},
      {"rsv bits passed on", ServerFrame(0xF1, "r"), {true, true, true, true, 1, "r"}},
      {"fragment 1", ServerFrame(0x01, "a"), {false, 0, 0, 0, 1, "a"}},
      {"fragment 2", ServerFrame(0x00, "b"), {false, 0, 0, 0, 0, "b"}},
      {"pong between fragments", ServerFrame(0x8A, "pg"), {true, 0, 0, 0, 10, "pg"}},
      {"fragment 3", ServerFrame(0x80, "c"), {true, 0, 0, 0, 0, "c"}},
      {"empty binary", ServerFrame(0x82, ""), {true, 0, 0, 0, 2, ""}},
      {"Windows-1251 bytes as they came",
       ServerFrame(0x81, "\xCF\xF0"),
       {true, 0, 0, 0, 1, "\xCF\xF0"}},
      {"length 126",
       ServerFrame(0x82, std::string(126, 'l')),
       {true, 0, 0, 0, 2, std::string(126, 'l')}},
      {"length 65536",
       ServerFrame(0x82, std::string(65536, 'm')),
       {true, 0, 0, 0, 2, std::string(65536, 'm')}},
  };
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  for (const Case& c : cases) client.peer->Send(c.wire);
  ASSERT_TRUE(client.recorder.WaitReads(std::size(cases)));
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_TRUE(client.recorder.all_on_main_thread);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const ReadEvent& got = client.recorder.reads[i];
    const ReadEvent& want = cases[i].expected;
    EXPECT_EQ(got.final, want.final) << cases[i].what;
    EXPECT_EQ(std::tie(got.res1, got.res2, got.res3), std::tie(want.res1, want.res2, want.res3))
        << cases[i].what;
    EXPECT_EQ(got.code, want.code) << cases[i].what;
    EXPECT_EQ(got.data, want.data) << cases[i].what;
  }
  EXPECT_TRUE(client.recorder.closes.empty());
}

TEST_F(ClientTest, PingIsAnsweredBeforeOnReadAndTheLoopWaitsForTheMainThread) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());

  // Keep the main thread busy, as a long Watchdog tick would.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  loop_.loop().Post([released] { released.wait(); });

  client.peer->Send(ServerFrame(0x89, "\x98"));  // a byte Windows-1251 has no letter for
  client.peer->Send(ServerFrame(0x89, "second"));
  auto pong = client.peer->ReadFrame();
  ASSERT_TRUE(pong) << "the ping must be answered on the connection thread";
  EXPECT_EQ(pong->byte0, 0x8A);
  EXPECT_TRUE(pong->masked);
  EXPECT_EQ(pong->payload, "\x98");
  EXPECT_TRUE(client.peer->Silent(300ms)) << "the next frame must wait for the first OnRead";
  {
    std::lock_guard lock(client.recorder.mutex);
    EXPECT_TRUE(client.recorder.reads.empty());
  }

  release.set_value();
  auto second = client.peer->ReadFrame();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->payload, "second");
  ASSERT_TRUE(client.recorder.WaitReads(2));
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_EQ(client.recorder.reads[0].code, kOpPing);
  EXPECT_EQ(client.recorder.reads[0].data, "\x98");
}

TEST_F(ClientTest, UnassignedEventsCostNoHandOff) {
  auto c = TWebSocketClientConnection::Create(loop_.loop(), "127.0.0.1", server_.Port(), "/", "-",
                                              "-", "-", "-", 13);
  ConnectionHandle handle(c);
  c->Start();
  c.reset();
  auto peer = server_.Accept();
  ASSERT_TRUE(peer);
  peer->Send(GoodResponse(peer->ReadHead().value_or("")));

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  loop_.loop().Post([released] { released.wait(); });
  for (int i = 0; i < 3; ++i) {
    peer->Send(ServerFrame(0x89, std::to_string(i)));
    auto pong = peer->ReadFrame(2s);
    ASSERT_TRUE(pong) << "blocked on the busy main thread at ping " << i;
    EXPECT_EQ(pong->payload, std::to_string(i));
  }
  release.set_value();
  peer->Close();
  EXPECT_TRUE(handle.WaitEnded(5s));
}

// Every end of an open connection caused by the peer: what the client sends
// back and what OnClose reports.
TEST_F(ClientTest, EndsOfAnOpenConnection) {
  struct Case {
    const char* what;
    std::string wire;
    bool shutdown_after;
    CloseEvent expected;
    std::optional<std::string> close_payload_sent;  // the client's Close frame, if any
  } cases[] = {
      {"Close 1000 bye",
       ServerFrame(0x88,
                   "\x03\xE8"
                   "bye"),
       false,
       {1000, "bye", true},
       std::nullopt},
      {"Close without payload", ServerFrame(0x88, ""), false, {1005, "", true}, std::nullopt},
      {"Close with one byte", ServerFrame(0x88, "\x03"), false, {1005, "", true}, std::nullopt},
      {"Close with a Windows-1251 reason",
       ServerFrame(0x88, "\x0F\xA1\xCF\xF0\xE8"),
       false,
       {4001, "При", true},
       std::nullopt},
      {"TCP closed between frames", "", true, {1006, "", true}, std::nullopt},
      {"TCP closed inside a header", "\x81", true, {1006, "", true}, std::nullopt},
      {"TCP closed inside a payload",
       "\x81\x05"
       "ab",
       true,
       {0, "", false},
       std::nullopt},
      {"continuation first",
       ServerFrame(0x80, "x"),
       false,
       {1002, "Unknown continuaton", false},
       "\x03\xEA"
       "Unknown continuaton"},
      {"opcode 3",
       ServerFrame(0x83, "x"),
       false,
       {1003, "Unknown data type: 3", false},
       "\x03\xEB"
       "Unknown data type: 3"},
      {"opcode 11",
       ServerFrame(0x8B, ""),
       false,
       {1003, "Unknown data type: 11", false},
       "\x03\xEB"
       "Unknown data type: 11"},
      {"payload of 16 MiB + 1 announced",
       Bytes({0x82, 0x7F, 0, 0, 0, 0, 1, 0, 0, 1}),
       false,
       {1009, "", false},
       "\x03\xF1"},
      {"payload of 2^63 announced",
       Bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}),
       false,
       {1009, "", false},
       "\x03\xF1"},
  };
  for (const Case& c : cases) {
    ClientUnderTest client(loop_, server_);
    ASSERT_TRUE(client.CompleteHandshake()) << c.what;
    client.peer->Send(c.wire);
    if (c.shutdown_after) client.peer->ShutdownWrite();
    ASSERT_TRUE(client.recorder.WaitClose()) << c.what;
    // Closing after the end sends nothing and reports nothing.
    loop_.Run([&] { client.handle.Close(1000, "late"); });
    if (c.close_payload_sent) {
      auto frame = client.peer->ReadFrame();
      ASSERT_TRUE(frame) << c.what;
      EXPECT_EQ(frame->byte0, 0x88) << c.what;
      EXPECT_EQ(frame->payload, *c.close_payload_sent) << c.what;
    }
    EXPECT_TRUE(client.peer->WaitEof()) << c.what << ": sent more than expected";
    EXPECT_TRUE(client.handle.WaitEnded(5s)) << c.what;
    std::lock_guard lock(client.recorder.mutex);
    ASSERT_EQ(client.recorder.closes.size(), 1u) << c.what;
    EXPECT_EQ(client.recorder.closes[0].code, c.expected.code) << c.what;
    EXPECT_EQ(client.recorder.closes[0].reason, c.expected.reason) << c.what;
    EXPECT_EQ(client.recorder.closes[0].by_peer, c.expected.by_peer) << c.what;
    EXPECT_TRUE(client.recorder.all_on_main_thread) << c.what;
  }
}

TEST_F(ClientTest, PayloadOfExactlySixteenMiBIsAccepted) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  client.peer->Send(ServerFrame(0x82, std::string(16 << 20, 'q')));
  ASSERT_TRUE(client.recorder.WaitReads(1));
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_EQ(client.recorder.reads[0].data.size(), 16u << 20);
  EXPECT_TRUE(client.recorder.closes.empty());
}

TEST_F(ClientTest, HeaderStalledForTenSecondsEndsWithClose1002) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  client.peer->Send("\x81");
  auto started = std::chrono::steady_clock::now();
  auto frame = client.peer->ReadFrame(15s);
  auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->byte0, 0x88);
  EXPECT_EQ(frame->payload, "\x03\xEA");
  EXPECT_GE(waited, 9s);
  ASSERT_TRUE(client.recorder.WaitClose());
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_EQ(client.recorder.closes[0].code, 1002);
  EXPECT_EQ(client.recorder.closes[0].reason, "");
  EXPECT_FALSE(client.recorder.closes[0].by_peer);
}

TEST_F(ClientTest, SilenceBetweenFramesKeepsTheConnection) {
  ClientUnderTest client(loop_, server_);
  ASSERT_TRUE(client.CompleteHandshake());
  EXPECT_TRUE(client.peer->Silent(2500ms));
  client.peer->Send(ServerFrame(0x81, "still here"));
  ASSERT_TRUE(client.recorder.WaitReads(1));
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_TRUE(client.recorder.closes.empty());
}

// ---------------------------------------------------------------------------
// Handlers that call back, and handlers that throw

TEST_F(ClientTest, HandlersMaySendAndCloseOnTheirOwnConnection) {
  ClientUnderTest client(loop_, server_);
  auto connection = client.handle.Get();
  ASSERT_NE(connection, nullptr);
  connection->SetOnOpen([&](TWebSocketCustomConnection& sender) { sender.SendText("login"); });
  connection->SetOnRead([&](TWebSocketCustomConnection& sender, bool, bool, bool, bool, int32_t,
                            const std::string& data) {
    if (data == "welcome") sender.Close(1000, "done");
  });
  connection.reset();
  ASSERT_TRUE(client.peer);
  client.peer->Send(GoodResponse(client.peer->ReadHead().value_or("")));
  auto login = client.peer->ReadFrame();
  ASSERT_TRUE(login);
  EXPECT_EQ(login->payload, "login");
  client.peer->Send(ServerFrame(0x81, "welcome"));
  auto close = client.peer->ReadFrame();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->payload,
            "\x03\xE8"
            "done");
  ASSERT_TRUE(client.recorder.WaitClose());
}

TEST_F(ClientTest, HandlerExceptionEndsTheThreadWithoutOnClose) {
  ClientUnderTest client(loop_, server_);
  client.recorder.on_read = [] { throw std::runtime_error("settings not writable"); };
  ASSERT_TRUE(client.CompleteHandshake());
  client.peer->Send(ServerFrame(0x81, "welcome"));
  EXPECT_TRUE(client.peer->WaitEof()) << "no Close frame, just the end of the connection";
  EXPECT_TRUE(client.handle.WaitEnded(5s));
  EXPECT_FALSE(client.handle.Alive());
  std::lock_guard lock(client.recorder.mutex);
  EXPECT_EQ(client.recorder.reads.size(), 1u);
  EXPECT_TRUE(client.recorder.closes.empty());
}

}  // namespace
}  // namespace kestrin::transport::testing
