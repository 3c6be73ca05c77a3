#include "capture/events_thread.h"

#include <chrono>
#include <cstdlib>

#include "capture/photo_naming.h"

namespace kestrin::capture {

platform::DateTime ReloadNeededMark() {
  return platform::MakeLocalDateTime(2021, 1, 1);
}

TEventsThread::TEventsThread(EventQueue& queue, const service::ArchiveSettings& archive,
                             const service::Session& session, service::Metrics& metrics,
                             EventsThreadHooks hooks)
    : queue_(queue),
      archive_(archive),
      session_(session),
      metrics_(metrics),
      hooks_(std::move(hooks)),
      last_reload_(ReloadNeededMark()) {
  if (!hooks_.start_saver)
    hooks_.start_saver = [](SaveJob job) { TSaveThread::Start(std::move(job)); };
  if (!hooks_.now) hooks_.now = [] { return platform::Now(); };
}

TEventsThread::~TEventsThread() {
  Stop();
}

void TEventsThread::Start() {
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void TEventsThread::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void TEventsThread::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    if (hooks_.turn) hooks_.turn(stop);
    size_t count = 0;
    std::optional<std::string> item = queue_.Take(&count);
    if (item && *item == kUpdateCommand) {
      last_reload_ = ReloadNeededMark();
      continue;
    }
    if (item && !rules_.empty()) {
      try {
        Process(*item);
      } catch (const std::exception&) {
        // A failure ends the processing of this item only.
      }
      if (count == 1) queue_.WaitFor(stop, kPause);
      continue;
    }
    if (ReloadDue()) {
      Reload();
      last_reload_ = hooks_.now();
    } else {
      queue_.WaitFor(stop, kPause);
    }
  }
}

bool TEventsThread::ReloadDue() const {
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(hooks_.now() - last_reload_);
  return std::abs(elapsed.count()) > kReloadSeconds;
}

void TEventsThread::Reload() {
  if (!session_.DatabaseKnown()) return;
  std::optional<std::vector<Rule>> rules;
  try {
    rules = hooks_.load_rules();
  } catch (const std::exception&) {
    // Treated like a database that cannot be read: the rules stay in force.
  }
  if (rules) rules_ = std::move(*rules);
}

void TEventsThread::Process(const std::string& item) {
  std::optional<Event> event = ParseEvent(item);
  // The controller becomes part of the file name: never one that leaves the archive.
  if (!event || !IsSafeNamePart(event->controller)) return;
  const Rule* rule = FindRule(rules_, event->controller, event->event_code);
  if (!rule) return;
  metrics_.EventMatched();
  if (rule->camera == 0 || rule->camera > 9) return;
  const int index = rule->camera - 1;

  std::optional<CameraStatus> camera = hooks_.camera_status(index);
  if (!camera || !camera->active) return;

  std::string archive_path = archive_.Path();
  if (archive_path.empty()) return;  // no archive: nothing is saved

  const bool single = rule->multi_frame == 0;
  SaveJob job;
  job.filename = MakePhotoPath(archive_path,
                               MakePhotoName(event->controller, event->time, archive_.NameFormat()),
                               single ? kSingleFrameKind : kMultiFrameKind);
  job.sdelay = rule->delay;
  job.quality = rule->quality;
  job.framecnt = single ? 1 : static_cast<uint8_t>(5 * rule->multi_frame);
  job.width = static_cast<int32_t>(camera->v_width);
  job.height = static_cast<int32_t>(camera->v_height);
  job.frames = camera->frames;
  job.buff_idx = index;
  hooks_.start_saver(std::move(job));

  hooks_.record_save(index, MakeLastFileName(event->controller, event->time));
}

}  // namespace kestrin::capture
