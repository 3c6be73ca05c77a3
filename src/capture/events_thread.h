#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_status.h"
#include "capture/event_parsing.h"
#include "capture/event_queue.h"
#include "capture/rule.h"
#include "capture/save_thread.h"
#include "platform/local_time.h"
#include "service/archive_settings.h"
#include "service/metrics.h"
#include "service/session.h"

namespace kestrin::capture {

// What the event thread uses outside itself. The service wires these to the
// database layer, the camera workers and the frame saver; tests give fakes.
struct EventsThreadHooks {
  // Runs the reload query on a connection of its own: the rules in the order
  // the database returns them, or nullopt when the database could not be
  // reached or read.
  std::function<std::optional<std::vector<Rule>>()> load_rules;
  // A copy of camera worker `index`'s published fields (0..8), taken under its
  // camera lock; nullopt when there is no such worker.
  std::function<std::optional<CameraStatus>(int index)> camera_status;
  // Records a save started for camera worker `index` (saveframe + 1 and
  // lastfilename), under its camera lock.
  std::function<void(int index, const std::string& lastfilename)> record_save;
  // Starts a frame saver and returns at once. Default: TSaveThread::Start.
  std::function<void(SaveJob job)> start_saver;
  // The local time. Default: platform::Now.
  std::function<platform::DateTime()> now;
  // Called at the start of every turn of the loop (at least every 50 ms while
  // the thread is idle): the service's sign that the thread is alive.
  // Optional.
  std::function<void(std::stop_token)> turn;
};

// The event thread: takes the items of the event queue one at a time, keeps
// the photo rules in memory and starts a frame saver for every event whose
// first matching rule names a streaming camera.
//
// Loop, until stopped:
//   - "update": the rules are reloaded as soon as the queue has run empty;
//     events queued behind it are still matched against the old rules.
//   - an event while rules are known: processed; a pause follows only when
//     it was alone in the queue, so a backlog is worked off without pauses.
//   - otherwise (queue empty, or an event while no rules are known, which is
//     dropped): the rules are reloaded when more than 60 whole seconds have
//     passed since the last attempt, else the thread pauses.
// A pause is 50 ms, or less: it ends as soon as an item is queued.
//
// A reload does nothing while db_path is empty. A reload that cannot reach or
// read the database keeps the rules in force, and the next attempt follows
// after the usual 60 seconds rather than at the next idle moment.
//
// Events are dropped silently when they are not valid, match no rule, name a
// camera outside 1..9 or a camera that is not streaming, or when there is no
// archive folder. The thread logs nothing.
class TEventsThread {
 public:
  // Everything passed by reference must outlive the thread: the archive for
  // the photo paths, the session for whether a database is known, the metrics
  // for the matched events.
  TEventsThread(EventQueue& queue, const service::ArchiveSettings& archive,
                const service::Session& session, service::Metrics& metrics,
                EventsThreadHooks hooks);
  TEventsThread(const TEventsThread&) = delete;
  TEventsThread& operator=(const TEventsThread&) = delete;
  // Stops and joins the thread if it still runs.
  ~TEventsThread();

  // Starts the thread. At most once.
  void Start();
  // Asks the thread to end and waits for it; a pause ends at once. Safe to
  // call more than once.
  void Stop();

  // The pause after a lone event and when idle.
  static constexpr std::chrono::milliseconds kPause{50};
  // Whole seconds after the last reload attempt before the next idle reload.
  static constexpr int kReloadSeconds = 60;

 private:
  void Run(std::stop_token stop);
  void Process(const std::string& item);
  void Reload();
  bool ReloadDue() const;

  EventQueue& queue_;
  const service::ArchiveSettings& archive_;
  const service::Session& session_;
  service::Metrics& metrics_;
  EventsThreadHooks hooks_;

  // Owned by the thread.
  std::vector<Rule> rules_;
  platform::DateTime last_reload_;

  std::jthread thread_;
};

// The time of the last reload attempt at start and after "update": a time
// long past, so that the next idle moment reloads.
platform::DateTime ReloadNeededMark();

}  // namespace kestrin::capture
