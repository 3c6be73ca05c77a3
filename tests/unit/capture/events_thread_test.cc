#include "capture/events_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>

#include <fmt/format.h>

namespace kestrin::capture {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// The event thread's surroundings: a rules table, nine cameras, a clock, and
// a record of everything the thread did, in order.
class World {
 public:
  World() {
    for (auto& camera : cameras_) camera.frames = std::make_shared<FrameStore>();
  }

  EventsThreadHooks Hooks() {
    EventsThreadHooks hooks;
    hooks.load_rules = [this] { return Load(); };
    hooks.camera_status = [this](int index) -> std::optional<CameraStatus> {
      std::lock_guard lock(mutex_);
      if (index < 0 || index > 8 || missing_[index]) return std::nullopt;
      return cameras_[index];
    };
    hooks.record_save = [this](int index, const std::string& lastfilename) {
      std::lock_guard lock(mutex_);
      records_.push_back(fmt::format("{} {}", index, lastfilename));
      changed_.notify_all();
    };
    hooks.start_saver = [this](SaveJob job) {
      std::lock_guard lock(mutex_);
      log_.push_back(fmt::format("save {}", job.filename));
      job_waits_.push_back(queue_ ? queue_->wait_count() : 0);
      jobs_.push_back(std::move(job));
    };
    hooks.now = [this] {
      std::lock_guard lock(mutex_);
      return now_;
    };
    return hooks;
  }

  // The answers of the next reloads; nullopt: the database is down. Once
  // they are used up, the last one repeats.
  void AnswerReloads(std::vector<std::optional<std::vector<Rule>>> answers) {
    std::lock_guard lock(mutex_);
    answers_.assign(answers.begin(), answers.end());
  }
  // While closed, a reload waits (so that the test can queue items together).
  void CloseGate() {
    std::lock_guard lock(mutex_);
    gate_open_ = false;
  }
  void OpenGate() {
    std::lock_guard lock(mutex_);
    gate_open_ = true;
    changed_.notify_all();
  }
  // Blocks until a reload waits at the closed gate.
  bool WaitAtGate() {
    return WaitFor([this] { return at_gate_; });
  }

  void Stream(int index, uint32_t width = 640, uint32_t height = 480) {
    std::lock_guard lock(mutex_);
    cameras_[index].active = true;
    cameras_[index].v_width = width;
    cameras_[index].v_height = height;
  }
  void RemoveWorker(int index) {
    std::lock_guard lock(mutex_);
    missing_[index] = true;
  }
  void Advance(std::chrono::seconds seconds) {
    std::lock_guard lock(mutex_);
    now_ += seconds;
  }
  void WatchQueue(const EventQueue* queue) { queue_ = queue; }

  // Waits until `count` photos have been started and recorded.
  bool WaitForPhotos(size_t count) {
    return WaitFor([&] { return records_.size() >= count; });
  }
  bool WaitForLoads(int count) {
    return WaitFor([&] { return loads_ >= count; });
  }

  std::vector<SaveJob> jobs() {
    std::lock_guard lock(mutex_);
    return jobs_;
  }
  std::vector<size_t> job_waits() {
    std::lock_guard lock(mutex_);
    return job_waits_;
  }
  std::vector<std::string> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  int loads() {
    std::lock_guard lock(mutex_);
    return loads_;
  }
  const std::shared_ptr<FrameStore>& frames(int index) { return cameras_[index].frames; }

 private:
  std::optional<std::vector<Rule>> Load() {
    std::unique_lock lock(mutex_);
    at_gate_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return gate_open_; });
    at_gate_ = false;
    ++loads_;
    log_.push_back("reload");
    changed_.notify_all();
    if (answers_.empty()) return std::vector<Rule>{};
    auto answer = answers_.front();
    if (answers_.size() > 1) answers_.pop_front();
    return answer;
  }

  template <typename Predicate>
  bool WaitFor(Predicate done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, done);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::array<CameraStatus, 9> cameras_;
  std::array<bool, 9> missing_{};
  std::deque<std::optional<std::vector<Rule>>> answers_;
  bool gate_open_ = true;
  bool at_gate_ = false;
  int loads_ = 0;
  platform::DateTime now_ = platform::MakeLocalDateTime(2024, 5, 1, 12, 0, 0);
  std::vector<SaveJob> jobs_;
  std::vector<size_t> job_waits_;
  std::vector<std::string> records_;
  std::vector<std::string> log_;
  const EventQueue* queue_ = nullptr;
};

std::string EventText(const std::string& dvs, int ev1, int ev2,
                      const std::string& time = "2021-08-12T14:05:09") {
  return fmt::format(R"({{"type":"event","time":"{}","dvs":"{}","ev1":"{}","ev2":"{}"}})", time,
                     dvs, ev1, ev2);
}

Rule MakeTestRule(const std::string& dvs, const std::string& code, uint8_t camera,
                  uint8_t multi_frame = 0) {
  return Rule{dvs, code, camera, 80, 250, multi_frame};
}

class EventsThreadTest : public ::testing::Test {
 protected:
  EventsThreadTest() {
    archive_settings_.SetPath(archive_);
    session_.SetDatabase("/srv/base");
  }
  ~EventsThreadTest() override {
    world_.OpenGate();
    thread_.Stop();
  }

  void Start() {
    world_.WatchQueue(&queue_);
    thread_.Start();
  }

  // Waits until the thread pauses again (after a reload, for instance).
  void WaitIdle() {
    size_t waits = queue_.wait_count();
    while (queue_.wait_count() <= waits) std::this_thread::sleep_for(1ms);
  }

  // Waits until the thread has taken every queued item and handled it.
  void Drain() {
    while (queue_.size() > 0) std::this_thread::sleep_for(1ms);
    WaitIdle();
  }

  // Starts the thread with `rules` loaded and lets it become idle.
  void StartWithRules(std::vector<Rule> rules) {
    world_.AnswerReloads({std::move(rules)});
    Start();
    ASSERT_TRUE(world_.WaitForLoads(1));
    WaitIdle();
  }

  std::string archive_ = "/srv/archive";
  service::ArchiveSettings archive_settings_;
  service::Session session_;
  service::Metrics metrics_;
  World world_;
  EventQueue queue_;
  TEventsThread thread_{queue_, archive_settings_, session_, metrics_, world_.Hooks()};
};

TEST_F(EventsThreadTest, StartsOneSaverForTheFirstMatchingRule) {
  world_.Stream(1, 1920, 1080);
  world_.Stream(2);
  StartWithRules({MakeTestRule("0012A3B4C5D6", "0204", 2), MakeTestRule("0012A3B4C5D6", "0204", 3),
                  MakeTestRule("0012A3B4C5D6", "0205", 3, 5)});

  queue_.Put(EventText("0012A3B4C5D6", 2, 4));
  queue_.Put(EventText("0012A3B4C5D6", 2, 5, "2021-08-12T14:05:10"));
  ASSERT_TRUE(world_.WaitForPhotos(2));

  std::vector<SaveJob> jobs = world_.jobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].filename, "/srv/archive/0012A3B4C5D6_0C08150E05091.jpg");
  EXPECT_EQ(jobs[0].buff_idx, 1);
  EXPECT_EQ(jobs[0].framecnt, 1);
  EXPECT_EQ(jobs[0].sdelay, 250);
  EXPECT_EQ(jobs[0].quality, 80);
  EXPECT_EQ(jobs[0].width, 1920);
  EXPECT_EQ(jobs[0].height, 1080);
  EXPECT_EQ(jobs[0].frames, world_.frames(1));
  // A multi-frame rule: kind digit 2 and five pictures per step.
  EXPECT_EQ(jobs[1].filename, "/srv/archive/0012A3B4C5D6_0C08150E050A2.jpg");
  EXPECT_EQ(jobs[1].buff_idx, 2);
  EXPECT_EQ(jobs[1].framecnt, 25);
  EXPECT_THAT(world_.records(),
              ElementsAre("1 0012A3B4C5D620210812140509", "2 0012A3B4C5D620210812140510"));
}

TEST_F(EventsThreadTest, FirstRuleDecidesEvenWhenItsCameraIsNotStreaming) {
  // Camera 2 (worker 1) does not stream; camera 3 does, and a later rule
  // names it for the same controller and code.
  world_.Stream(2);
  world_.Stream(3);
  StartWithRules({MakeTestRule("A", "0204", 2), MakeTestRule("A", "0204", 3),
                  MakeTestRule("MARK", "0101", 4)});

  queue_.Put(EventText("A", 2, 4));
  queue_.Put(EventText("MARK", 1, 1));  // processed after the first: a marker
  ASSERT_TRUE(world_.WaitForPhotos(1));
  ASSERT_EQ(world_.jobs().size(), 1u);
  EXPECT_EQ(world_.jobs()[0].buff_idx, 3);
}

TEST_F(EventsThreadTest, EventsThatTakeNoPhotoAreDroppedAndTheThreadGoesOn) {
  world_.Stream(2);
  world_.RemoveWorker(4);
  // Camera numbers out of range, kept in their field's low bits like the
  // database's 12 and 256; a worker that does not exist.
  StartWithRules({MakeTestRule("A", "0100", 0), MakeTestRule("A", "0101", 12),
                  MakeTestRule("A", "0102", 5), MakeTestRule("a", "0103", 3),
                  MakeTestRule("MARK", "0101", 3)});

  for (const std::string& item :
       {EventText("A", 1, 0), EventText("A", 1, 1), EventText("A", 1, 2),
        EventText("A", 1, 3),  // the rule is for "a": case matters
        EventText("A", 256, 0), std::string("not json"), std::string(R"(["A"])"),
        std::string(R"({"dvs":"MARK","ev1":1,"ev2":"1"})"),
        EventText("MARK", 1, 1, "2021-02-30T00:00:00"), EventText("MARK", 1, 1)}) {
    queue_.Put(item);
  }
  ASSERT_TRUE(world_.WaitForPhotos(1));
  ASSERT_EQ(world_.jobs().size(), 1u);
  EXPECT_EQ(world_.jobs()[0].buff_idx, 2);
  EXPECT_EQ(world_.records().size(), 1u);
}

TEST_F(EventsThreadTest, MultiFrameCountWrapsInEightBits) {
  world_.Stream(0);
  StartWithRules({MakeTestRule("A", "0101", 1, 52), MakeTestRule("A", "0102", 1, 51)});
  queue_.Put(EventText("A", 1, 1));
  queue_.Put(EventText("A", 1, 2));
  ASSERT_TRUE(world_.WaitForPhotos(2));
  EXPECT_EQ(world_.jobs()[0].framecnt, 4);  // 260 mod 256
  EXPECT_EQ(world_.jobs()[1].framecnt, 255);
}

TEST_F(EventsThreadTest, NoArchiveFolderMeansNoPhoto) {
  world_.Stream(0);
  archive_settings_.SetPath("");
  StartWithRules({MakeTestRule("A", "0101", 1)});
  queue_.Put(EventText("A", 1, 1));
  Drain();
  EXPECT_TRUE(world_.jobs().empty());
  EXPECT_TRUE(world_.records().empty());
}

TEST_F(EventsThreadTest, ControllerThatWouldLeaveTheArchiveTakesNoPhoto) {
  world_.Stream(0);
  StartWithRules({MakeTestRule("../../etc", "0101", 1), MakeTestRule("A", "0101", 1)});
  queue_.Put(EventText("../../etc", 1, 1));
  queue_.Put(EventText("A", 1, 1));
  ASSERT_TRUE(world_.WaitForPhotos(1));
  Drain();
  ASSERT_EQ(world_.jobs().size(), 1u);
  EXPECT_EQ(world_.jobs()[0].filename.rfind("/srv/archive/A", 0), 0u);
}

TEST_F(EventsThreadTest, UpdateReloadsOnlyOnceTheQueueHasRunEmpty) {
  world_.Stream(0);
  world_.Stream(1);
  world_.AnswerReloads({std::vector<Rule>{MakeTestRule("A", "0101", 1)},
                        std::vector<Rule>{MakeTestRule("A", "0101", 2)}});
  world_.CloseGate();
  Start();
  ASSERT_TRUE(world_.WaitAtGate());
  // Queued together while the first reload runs.
  queue_.Put(kUpdateCommand);
  queue_.Put(EventText("A", 1, 1));
  queue_.Put(EventText("A", 1, 1, "2021-08-12T14:05:10"));
  world_.OpenGate();
  ASSERT_TRUE(world_.WaitForLoads(2));
  queue_.Put(EventText("A", 1, 1, "2021-08-12T14:05:11"));
  ASSERT_TRUE(world_.WaitForPhotos(3));

  EXPECT_THAT(world_.log(), ElementsAre("reload", "save /srv/archive/A_0C08150E05091.jpg",
                                        "save /srv/archive/A_0C08150E050A1.jpg", "reload",
                                        "save /srv/archive/A_0C08150E050B1.jpg"));
  std::vector<SaveJob> jobs = world_.jobs();
  EXPECT_EQ(jobs[0].buff_idx, 0);  // old rules
  EXPECT_EQ(jobs[1].buff_idx, 0);
  EXPECT_EQ(jobs[2].buff_idx, 1);  // new rules
}

TEST_F(EventsThreadTest, QueuedEventsAreWorkedOffWithoutPauses) {
  world_.Stream(0);
  world_.AnswerReloads({std::vector<Rule>{MakeTestRule("A", "0101", 1)}});
  world_.CloseGate();
  Start();
  ASSERT_TRUE(world_.WaitAtGate());
  for (int second = 0; second < 3; ++second) {
    queue_.Put(EventText("A", 1, 1, fmt::format("2021-08-12T14:05:0{}", second)));
  }
  size_t waits_before = queue_.wait_count();
  world_.OpenGate();
  ASSERT_TRUE(world_.WaitForPhotos(3));
  // No pause before or between the three; the thread pauses after the last.
  EXPECT_THAT(world_.job_waits(), ElementsAre(waits_before, waits_before, waits_before));
}

TEST_F(EventsThreadTest, EventsBeforeTheFirstReloadAreDiscarded) {
  session_.SetDatabase("");
  world_.Stream(0);
  world_.AnswerReloads({std::vector<Rule>{MakeTestRule("A", "0101", 1)}});
  Start();
  queue_.Put(EventText("A", 1, 1));  // no database known: no rules, dropped
  Drain();
  EXPECT_EQ(world_.loads(), 0);  // no reload while db_path is empty

  session_.SetDatabase("/srv/base");
  queue_.Put(kUpdateCommand);
  ASSERT_TRUE(world_.WaitForLoads(1));
  queue_.Put(EventText("A", 1, 1, "2021-08-12T14:05:10"));
  ASSERT_TRUE(world_.WaitForPhotos(1));
  ASSERT_EQ(world_.jobs().size(), 1u);
  EXPECT_EQ(world_.jobs()[0].filename, "/srv/archive/A_0C08150E050A1.jpg");
}

TEST_F(EventsThreadTest, FailedReloadKeepsTheRulesAndWaitsTheUsualInterval) {
  world_.Stream(0);
  world_.Stream(1);
  world_.AnswerReloads({std::vector<Rule>{MakeTestRule("A", "0101", 1)}, std::nullopt,
                        std::vector<Rule>{MakeTestRule("A", "0101", 2)}});
  Start();
  ASSERT_TRUE(world_.WaitForLoads(1));
  WaitIdle();
  world_.Advance(61s);
  ASSERT_TRUE(world_.WaitForLoads(2));  // the database is down

  queue_.Put(EventText("A", 1, 1));
  ASSERT_TRUE(world_.WaitForPhotos(1));
  EXPECT_EQ(world_.jobs()[0].buff_idx, 0);  // the old rules still hold

  // Idle for a while, 60 s after the failed attempt: no new attempt yet.
  world_.Advance(60s);
  WaitIdle();
  WaitIdle();
  EXPECT_EQ(world_.loads(), 2);

  world_.Advance(1s);
  ASSERT_TRUE(world_.WaitForLoads(3));
  queue_.Put(EventText("A", 1, 1, "2021-08-12T14:05:10"));
  ASSERT_TRUE(world_.WaitForPhotos(2));
  EXPECT_EQ(world_.jobs()[1].buff_idx, 1);
}

TEST_F(EventsThreadTest, DeletingAllRulesDiscardsLaterEvents) {
  world_.Stream(0);
  world_.AnswerReloads({std::vector<Rule>{MakeTestRule("A", "0101", 1)}, std::vector<Rule>{}});
  Start();
  ASSERT_TRUE(world_.WaitForLoads(1));
  queue_.Put(kUpdateCommand);
  ASSERT_TRUE(world_.WaitForLoads(2));
  queue_.Put(EventText("A", 1, 1));
  Drain();
  EXPECT_TRUE(world_.jobs().empty());
}

TEST(EventRulesTest, RowsBecomeRulesInTheirFieldWidths) {
  struct Case {
    Rule rule;
    Rule expected;
  };
  const Case cases[] = {
      {MakeRule("0012A3B4C5D6", 1, "0204", 80, 0, 0, 0), {"0012A3B4C5D6", "0204", 1, 80, 0, 0}},
      {MakeRule("0012A3B4C5D6", 9, "0204", 100, 5000, 2, 5),
       {"0012A3B4C5D6", "0204", 9, 100, 5000, 5}},
      // MTL counts only when RGT is 2.
      {MakeRule("A", 1, "0204", 80, 0, 1, 5), {"A", "0204", 1, 80, 0, 0}},
      // Low eight bits; texts cut to 12 and 4 eight-bit characters.
      {MakeRule("0012A3B4C5D6XY", 265, "D001FF", 500, -1, 2, 257),
       {"0012A3B4C5D6", "D001", 9, 244, -1, 1}},
      {MakeRule("\xc2\xf5\xee\xe4", 0, "", 0, 0, 0, 0), {"Вход", "", 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.controller);
    EXPECT_EQ(c.rule, c.expected);
  }
}

}  // namespace
}  // namespace kestrin::capture
