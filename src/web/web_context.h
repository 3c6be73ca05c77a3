#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "capture/camera_status.h"
#include "link/sql_connection.h"
#include "service/service_state.h"

namespace kestrin::web {

// The published fields of one camera worker, copied under its camera lock.
using CameraStatus = capture::CameraStatus;

// A private database connection of one request (link/sql_connection.h).
using DatabaseConnection = link::SqlConnection;
using SqlParam = link::SqlParam;
using SqlRow = link::SqlRow;

// What the web pages need of the rest of the service. The service module
// fills it in; a function left empty stands for a component that is not
// there, and the pages then show what the state says.
struct WebContext {
  service::ServiceState* state = nullptr;

  // Sets the interval of the Watchdog timer.
  std::function<void(std::chrono::milliseconds)> set_watchdog_interval;

  // The published fields of camera worker `index` (0..8), or nothing when
  // that worker does not exist.
  std::function<std::optional<CameraStatus>(int index)> read_camera;

  // Gives camera worker `index` a new stream address: under its camera lock,
  // when `url` differs from the worker's, clears its active flag and sets the
  // address. Does nothing when the worker does not exist.
  std::function<void(int index, const std::string& url)> set_camera_url;

  // Opens a private database connection under the database lock. On failure
  // returns nothing and sets `error` to the database's message.
  std::function<std::unique_ptr<DatabaseConnection>(std::string& error)> open_database;

  // Appends an item ("update" or an event message) to the event queue under
  // the queue lock.
  std::function<void(std::string item)> queue_event;

  // Asks camera worker `index` to reopen its stream when it is active (under
  // its camera lock). Does nothing when the worker does not exist.
  std::function<void(int index)> restart_camera;
};

}  // namespace kestrin::web
