#include "service/session.h"

namespace kestrin::service {

Session::Session() {
  values_.session_started = platform::NeverMark();
  values_.last_message = platform::NeverMark();
}

SessionSnapshot Session::Snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

void Session::Reset() {
  std::lock_guard lock(mutex_);
  values_.server_connect = false;
  values_.db_path.clear();
  values_.session_started = platform::NeverMark();
  values_.last_message = platform::NeverMark();
}

void Session::SetCredentials(std::string ip, std::string login, std::string digest) {
  std::lock_guard lock(mutex_);
  values_.server_ip = std::move(ip);
  values_.server_login = std::move(login);
  values_.server_pass = std::move(digest);
}

void Session::MarkMessage(platform::DateTime arrival, bool counts_as_ping) {
  std::lock_guard lock(mutex_);
  values_.last_message = arrival;
  if (counts_as_ping) values_.server_lastping = arrival;
}

SessionSnapshot Session::MarkPing(platform::DateTime at) {
  std::lock_guard lock(mutex_);
  values_.server_lastping = at;
  return values_;
}

SessionSnapshot Session::MarkWelcomed(platform::DateTime arrival, platform::DateTime now) {
  std::lock_guard lock(mutex_);
  values_.server_connect = true;
  values_.server_lastping = arrival;
  values_.session_started = now;
  return values_;
}

void Session::MarkEnded(std::optional<platform::DateTime> last_ping) {
  std::lock_guard lock(mutex_);
  values_.server_connect = false;
  if (last_ping) values_.server_lastping = *last_ping;
  values_.session_started = platform::NeverMark();
  values_.last_message = platform::NeverMark();
}

void Session::SetDatabase(std::string folder) {
  std::lock_guard lock(mutex_);
  values_.db_path = std::move(folder);
}

bool Session::DatabaseKnown() const {
  std::lock_guard lock(mutex_);
  return !values_.db_path.empty();
}

}  // namespace kestrin::service
