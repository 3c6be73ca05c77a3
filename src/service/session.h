#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/local_time.h"

namespace kestrin::service {

// One consistent copy of the session's values.
struct SessionSnapshot {
  bool server_connect = false;  // logged in at the access-control server
  platform::DateTime server_lastping{};
  std::string server_ip;
  std::string server_login;
  std::string server_pass;  // the password digest, 32 uppercase hex digits
  std::string db_path;      // empty: no usable database
  platform::DateTime session_started{};
  platform::DateTime last_message{};
};

// The session with the access-control server: the credentials, whether the
// service is logged in, the times the status page and the Watchdog look at,
// and where the database is. Every operation changes or reads the values
// together under one lock, so no reader ever sees half an update. Any thread.
class Session {
 public:
  Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  SessionSnapshot Snapshot() const;

  // Not logged in, no database known, no session times; the credentials stay.
  void Reset();

  // Replaces the server address, login and password digest.
  void SetCredentials(std::string ip, std::string login, std::string digest);

  // The server has sent something at `arrival`: the last message, and when
  // `counts_as_ping` also the last sign of life.
  void MarkMessage(platform::DateTime arrival, bool counts_as_ping);

  // A sign of life without a message (the connection has just opened).
  // Returns the values as they are then (the credentials to log in with).
  SessionSnapshot MarkPing(platform::DateTime at);

  // Logged in: connected, last sign of life `arrival`, session started `now`.
  // Returns the values as they are then (the credentials to save).
  SessionSnapshot MarkWelcomed(platform::DateTime arrival, platform::DateTime now);

  // The session is over: not connected, no session times. When `last_ping`
  // is given it becomes the last sign of life, so the next attempt waits
  // as long as after any other quiet spell.
  void MarkEnded(std::optional<platform::DateTime> last_ping = std::nullopt);

  // The database set up for this session; empty: none.
  void SetDatabase(std::string folder);
  bool DatabaseKnown() const;

 private:
  mutable std::mutex mutex_;
  SessionSnapshot values_;
};

}  // namespace kestrin::service
