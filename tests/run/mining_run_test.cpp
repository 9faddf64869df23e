// The mining run with fake devices, a fake clock and a fake work source: new work, the CPU
// check, candidates, lost and hung devices, the stop, and the devices' handles on every path.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "run/mining_run.h"

namespace {

using namespace std::chrono_literals;

// The run's clock: each launch of a fake device moves it on by one second, so a 30 s rule is
// met after thirty launches without waiting thirty seconds.
struct FakeClock {
  std::atomic<std::int64_t> now_ns{1'000'000'000};
};

// What a fake device did, readable from the test's thread.
struct FakeDeviceLog {
  std::atomic<int> releases{0};
  std::atomic<int> launches{0};
  std::atomic<int> collections_started{0};
  std::mutex mutex;
  std::vector<std::uint64_t> job_tails;  // tail0 of every job set, in order; under mutex
  // The board's generation, which the fake source also puts in tail0: a launch queued with a
  // lower tail0 searches work that was already replaced.
  const std::atomic<std::uint64_t>* newest_generation = nullptr;
  std::atomic<int> launches_for_replaced_work{0};
};

struct FakeDeviceScript {
  bool every_launch_fails = false;
  std::optional<std::uint32_t> found_nonce;  // every launch reports this nonce
  int hangs_at_launch = 0;  // the collection of this launch (from 1) never returns; 0: none does
};

FakeDeviceScript hangs_at(int launch) { return {false, std::nullopt, launch}; }

class FakeDevice final : public MiningDevice {
 public:
  // Shares the clock and the log with the test: a device left behind may still use them after
  // the test has ended.
  FakeDevice(FakeDeviceScript script, std::shared_ptr<FakeClock> clock, std::shared_ptr<FakeDeviceLog> log)
      : script_(script), clock_(std::move(clock)), log_(std::move(log)) {}
  ~FakeDevice() override { ++log_->releases; }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  void set_job(const WhirlpoolWords&, const Target256&) override {}
  bool queue_launch(std::uint64_t tail0, std::uint64_t, std::uint32_t, std::uint32_t work_items,
                    std::string& error) override {
    if (queued_ == launch_slots()) return false;
    {
      std::lock_guard lock(log_->mutex);
      if (log_->job_tails.empty() || log_->job_tails.back() != tail0) log_->job_tails.push_back(tail0);
    }
    if (script_.every_launch_fails) {
      clock_->now_ns += 1'000'000'000;
      std::this_thread::sleep_for(1ms);
      error = "clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES";
      return false;
    }
    if (log_->newest_generation != nullptr && tail0 < log_->newest_generation->load()) ++log_->launches_for_replaced_work;
    ++queued_;
    items_ = work_items;
    return true;
  }
  BatchResult collect_launch() override {
    BatchResult result;
    if (queued_ == 0) return result;
    --queued_;
    if (++log_->collections_started == script_.hangs_at_launch) {
      // A driver hang: the thread stays here until the process ends.
      while (true) std::this_thread::sleep_for(1h);
    }
    std::this_thread::sleep_for(1ms);
    clock_->now_ns += 1'000'000'000;
    ++log_->launches;
    result.nonces_done = items_ * nonces_per_item;
    if (script_.found_nonce) {
      result.found = true;
      result.nonce = *script_.found_nonce;
    }
    return result;
  }
  std::uint32_t global_size() const override { return 64; }
  std::uint32_t local_size() const override { return 16; }
  int launch_slots() const override { return 2; }

 private:
  FakeDeviceScript script_;
  std::shared_ptr<FakeClock> clock_;
  std::shared_ptr<FakeDeviceLog> log_;
  int queued_ = 0;
  std::uint32_t items_ = 0;
};

// A source whose every job has the same header; its target and generation are the test's to set.
class FakeSource final : public WorkSource {
 public:
  explicit FakeSource(MiningRun& run) : run_(run) {}

  void publish(std::uint64_t generation, const Target256& target) {
    {
      std::lock_guard lock(mutex_);
      target_ = target;
    }
    publish_work(
        run_.board,
        [this, generation, target](const JobRequest&) {
          DeviceJob job;
          job.id = next_id_++;
          job.generation = generation;
          job.midstate.tail0 = generation;  // tells the generations apart on the fake device
          job.target = target;
          return std::optional<DeviceJob>(job);
        },
        generation);
  }

  std::optional<JobCheck> job_to_check(const FoundNonce&) override {
    std::lock_guard lock(mutex_);
    return JobCheck{BlockHeader{}, target_};
  }
  void take_candidate(const Candidate& candidate) override {
    std::lock_guard lock(mutex_);
    candidates_.push_back(candidate);
  }
  TurnOutcome turn(const SourceEvents&, std::int64_t) override {
    ++turns_;
    return fail_next_turn_ ? TurnOutcome::fail : TurnOutcome::go_on;
  }
  // Only events wake the run: a turn that came by itself would hide a missed wake-up.
  double seconds_until_next_turn(std::int64_t) override { return 3600; }
  std::optional<std::string> status_figures(const StatusPoint&, bool) override { return figures_; }
  void wind_down() override { wound_down_ = true; }
  std::string done_figures() override { return "0 blocks"; }

  std::vector<Candidate> candidates() {
    std::lock_guard lock(mutex_);
    return candidates_;
  }
  std::atomic<int> turns_{0};
  std::atomic<bool> fail_next_turn_{false};
  bool wound_down_ = false;
  std::optional<std::string> figures_;  // the progress line's figures; none: no progress line

 private:
  MiningRun& run_;
  std::uint64_t next_id_ = 1;  // under the board's mutex
  std::mutex mutex_;
  Target256 target_;  // under mutex_
  std::vector<Candidate> candidates_;
};

Target256 every_hash_hits() {
  Target256 target;
  target.limbs = {~0ULL, ~0ULL, ~0ULL, ~0ULL};
  return target;
}

// A run on fake devices with the console captured; mine() runs on a thread of its own.
class MiningRunTest : public testing::Test {
 public:
  void start(const std::vector<FakeDeviceScript>& scripts) {
    std::vector<RunDevice> devices;
    for (std::size_t index = 0; index < scripts.size(); ++index) {
      logs_.push_back(std::make_shared<FakeDeviceLog>());
      devices.push_back({static_cast<std::int32_t>(index + 3), "fake " + std::to_string(index),
                         std::make_unique<FakeDevice>(scripts[index], clock_, logs_.back())});
    }
    run_ = std::make_unique<MiningRun>();
    prepare_run(*run_, std::move(devices), timings_, stats_, stop_);
    run_->watchdog_exit = watchdog_exit_;
    run_->read_sensors = read_sensors_;
    run_->temperature_limit = temperature_limit_;
    run_->status_interval_seconds = status_interval_;
    run_->clock = [clock = clock_] { return clock->now_ns.load(); };
    run_->console.write = [this](std::string_view text) {
      std::lock_guard lock(console_mutex_);
      console_ += text;
    };
    for (const auto& log : logs_) log->newest_generation = &run_->board.generation;
    source_ = std::make_unique<FakeSource>(*run_);
    source_->figures_ = figures_;
    exit_code_ = std::async(std::launch::async, [this] { return mine(*run_, *source_); });
  }

  void request_stop() {
    stop_ = true;
    poke_source(run_->board);
  }

  // The exit code, once mine() has returned; nothing when it has not within the time (a hang).
  std::optional<int> finish(std::chrono::seconds patience = 60s) {
    if (exit_code_.wait_for(patience) != std::future_status::ready) return std::nullopt;
    return exit_code_.get();
  }

  // Moves the fake clock on and wakes the run, as time passing would, until the condition holds.
  // Small steps, so that a working device's launch does not look hung for a stall of its thread.
  template <typename Condition>
  bool as_time_passes(Condition condition) {
    return eventually([&] {
      clock_->now_ns += 250'000'000;
      poke_source(run_->board);
      return condition();
    });
  }

  template <typename Condition>
  bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  std::string console() {
    std::lock_guard lock(console_mutex_);
    return console_;
  }

  // The device's figures as the statistics have them; nothing before the run registered it.
  std::optional<DeviceSnapshot> device_stats(std::size_t worker_index) {
    const StatsSnapshot snapshot = stats_snapshot(stats_, clock_->now_ns, 0);
    if (snapshot.devices.size() <= worker_index) return std::nullopt;
    return snapshot.devices[worker_index];
  }

  void TearDown() override {
    if (exit_code_.valid()) {
      request_stop();
      exit_code_.wait();
    }
  }

  // The watchdog stays quiet unless a test shortens its limit: every launch of every device
  // moves the fake clock on, so a call of one device seems to last as long as the others' launches.
  Timings timings_ = [] {
    Timings timings;
    timings.failed_batch_pause = 0;
    timings.failed_queue_pause = 0;
    timings.hung_launch = 1e9;
    return timings;
  }();
  bool watchdog_exit_ = false;
  std::function<SensorReading(std::size_t)> read_sensors_;
  std::optional<std::string> figures_;
  std::optional<TemperatureLimit> temperature_limit_;
  double status_interval_ = 0;
  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
  std::vector<std::shared_ptr<FakeDeviceLog>> logs_;
  MiningStats stats_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<MiningRun> run_;
  std::unique_ptr<FakeSource> source_;
  std::future<int> exit_code_;
  std::mutex console_mutex_;
  std::string console_;
};

TEST_F(MiningRunTest, NewGenerationIsTakenAtTheNextLaunchBoundary) {
  start({{}});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches >= 5; }));
  source_->publish(2, Target256{});
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(logs_[0]->mutex);
    return logs_[0]->job_tails.back() == 2;
  }));
  // The launch under way and the one queued behind it finish; no later one is queued for the old job.
  {
    std::lock_guard lock(logs_[0]->mutex);
    EXPECT_EQ(logs_[0]->job_tails, (std::vector<std::uint64_t>{1, 2}));
  }
  // Between its look at the generation and the top-up of its queue, the device may queue one
  // launch of the old job; after that, none.
  EXPECT_LE(logs_[0]->launches_for_replaced_work, 1) << "the stale job went on too long";
  request_stop();
  EXPECT_EQ(finish(), 0);
}

TEST_F(MiningRunTest, NonceThatFailsTheCpuCheckIsCountedAndNeverReachesTheSource) {
  start({{false, 77}});
  source_->publish(1, Target256{});  // no hash meets the zero target
  ASSERT_TRUE(eventually([&] { return device_stats(0) && device_stats(0)->cpu_rejected >= 2; }));
  request_stop();
  EXPECT_EQ(finish(), 0);
  EXPECT_TRUE(source_->candidates().empty());
  EXPECT_NE(console().find("  [!] CPU rejected hash\n"), std::string::npos) << console();
}

TEST_F(MiningRunTest, CandidateReachesTheSourceWithItsDeviceAndCheckedHash) {
  start({{}, {false, 1234}});
  source_->publish(1, every_hash_hits());
  ASSERT_TRUE(eventually([&] { return !source_->candidates().empty(); }));
  request_stop();
  EXPECT_EQ(finish(), 0);
  const Candidate candidate = source_->candidates().front();
  EXPECT_EQ(candidate.found.worker_index, 1u);
  EXPECT_EQ(candidate.opencl_index, 4);
  EXPECT_EQ(candidate.found.nonce, 1234u);
  BlockHeader header{};
  store_u32_le(header.data() + header_nonce_offset, 1234);
  EXPECT_EQ(candidate.header, header) << "the candidate carries its nonce";
  EXPECT_EQ(candidate.hash, pow_hash(header));
  EXPECT_EQ(device_stats(1)->cpu_rejected, 0u);
}

TEST_F(MiningRunTest, DeviceWhoseLaunchesAllFailIsGivenUpWhileTheOthersGoOn) {
  start({{}, {true, std::nullopt}});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return console().find("Device 4 lost") != std::string::npos; })) << console();
  const int launches_at_loss = logs_[0]->launches;
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches > launches_at_loss + 10; })) << "the working device stopped";
  request_stop();
  EXPECT_EQ(finish(), 0);
  EXPECT_FALSE(device_stats(0)->lost);
  EXPECT_TRUE(device_stats(1)->lost);
  const std::string output = console();
  EXPECT_NE(output.find("  [!] Device 4: clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\n  [!] Device 4 lost: every batch failed for 30 s; the other devices go on\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("\n  [*] Done. "), std::string::npos) << output;
}

TEST_F(MiningRunTest, EveryDeviceLostEndsTheRunWithExitCodeOne) {
  start({{true, std::nullopt}, {true, std::nullopt}});
  source_->publish(1, Target256{});
  EXPECT_EQ(finish(), 1);
  const std::string output = console();
  EXPECT_NE(output.find("\n  [!] Device lost: every batch failed for 30 s. Stopping with exit code 1; "), std::string::npos)
      << output;
  EXPECT_EQ(output.find("Done."), std::string::npos) << output;
  EXPECT_FALSE(source_->wound_down_);
}

TEST_F(MiningRunTest, StopDuringTheWaitEndsTheRunAtOnce) {
  start({{}});
  poke_source(run_->board);
  ASSERT_TRUE(eventually([&] { return source_->turns_ >= 1; }));
  // Nothing to mine and the source's next turn an hour away: only the stop can end the wait.
  request_stop();
  EXPECT_EQ(finish(10s), 0) << "the stop did not wake the run";
  EXPECT_TRUE(source_->wound_down_);
  EXPECT_NE(console().find("\n  [*] Done. 0 hashes, 0 blocks\n"), std::string::npos) << console();
}

// However the run ends, every device is released once, when the run is destroyed.
TEST_F(MiningRunTest, EveryDeviceIsReleasedOnceOnEveryPath) {
  struct Case {
    const char* name;
    std::vector<FakeDeviceScript> scripts;
    void (*end)(MiningRunTest&);
    int exit_code;
  };
  const Case cases[] = {
      {"stop", {{}, {}}, [](MiningRunTest& test) { test.request_stop(); }, 0},
      {"source fails", {{}, {}}, [](MiningRunTest& test) {
         test.source_->fail_next_turn_ = true;
         poke_source(test.run_->board);
       }, 1},
      {"every device lost", {{true, std::nullopt}, {true, std::nullopt}}, [](MiningRunTest&) {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    logs_.clear();
    stop_ = false;
    start(c.scripts);
    source_->publish(1, Target256{});
    c.end(*this);
    EXPECT_EQ(finish(), c.exit_code);
    for (const auto& log : logs_) EXPECT_EQ(log->releases, 0) << "released while the run still holds it";
    source_.reset();
    run_.reset();
    for (const auto& log : logs_) EXPECT_EQ(log->releases, 1);
  }
}

TEST_F(MiningRunTest, HungDeviceIsReportedWhileTheOthersGoOnAndAStopDoesNotWaitForIt) {
  timings_.hung_launch = 5;
  timings_.device_stop_wait = 600;  // a stop that waited for the hung device would not end
  start({{}, hangs_at(3)});
  source_->publish(1, Target256{});
  ASSERT_TRUE(as_time_passes([&] { return device_stats(1) && device_stats(1)->hung; })) << console();
  const int launches_at_hang = logs_[0]->launches;
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches > launches_at_hang + 10; })) << "the working device stopped";
  EXPECT_FALSE(device_stats(0)->hung);
  request_stop();
  EXPECT_EQ(finish(10s), 0) << "the stop waited for the hung device";
  const std::string output = console();
  EXPECT_NE(output.find("\n  [!] Device 4 (fake 1, PCI unknown) hung: a launch has not completed in "), std::string::npos)
      << output;
  EXPECT_NE(output.find(" s; the other devices go on\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\n  [*] Done. "), std::string::npos) << output;
  EXPECT_EQ(run_->left_behind, (std::vector<bool>{false, true}));
}

// The limit is the larger of the floor and 20 launches' worth: a device whose launches take
// 1 s on the fake clock is not called hung after the 5 s floor.
TEST_F(MiningRunTest, SlowLaunchesRaiseTheWatchdogsLimit) {
  timings_.hung_launch = 5;
  start({hangs_at(8)});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches == 7; }));
  const std::int64_t hang_start = clock_->now_ns;
  ASSERT_TRUE(as_time_passes([&] { return device_stats(0)->hung; })) << console();
  EXPECT_GE(clock_->now_ns - hang_start, 20'000'000'000) << "called hung before 20 median launches";
  EXPECT_EQ(finish(), hung_device_exit_code);
}

TEST_F(MiningRunTest, StopWhileALaunchHangsUnnoticedLeavesTheDeviceBehind) {
  timings_.device_stop_wait = 0.2;
  start({hangs_at(1)});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return logs_[0]->collections_started == 1; }));
  request_stop();
  EXPECT_EQ(finish(10s), 0);
  const std::string output = console();
  EXPECT_NE(output.find("\n  [!] Device 3 (fake 0, PCI unknown) did not finish its launch within 0.2 s of the stop; "
                        "left behind\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("\n  [*] Done. "), std::string::npos) << output;
  EXPECT_TRUE(threads_were_left_behind(*run_));
}

// With no working device left, or at the first hung one with --watchdog-exit, the run ends with
// exit code 3 and says what to do; a hung device is never released, the others are.
TEST_F(MiningRunTest, HungDeviceWithNoWorkingOneLeftEndsTheRunWithExitCodeThree) {
  struct Case {
    const char* name;
    std::vector<FakeDeviceScript> scripts;
    bool watchdog_exit;
    const char* last_line;
  };
  const Case cases[] = {
      {"every device hung", {hangs_at(1), hangs_at(2)}, false,
       "\n  [!] No working device left. Stopping with exit code 3; restart the miner, and the GPU driver or the "
       "machine if it hangs again\n"},
      {"one hung, the other lost", {hangs_at(1), {true, std::nullopt}}, false,
       "\n  [!] No working device left. Stopping with exit code 3; restart the miner, and the GPU driver or the "
       "machine if it hangs again\n"},
      {"--watchdog-exit with a working device", {{}, hangs_at(2)}, true,
       "\n  [!] A device hung (--watchdog-exit). Stopping with exit code 3; restart the miner, and the GPU driver or "
       "the machine if it hangs again\n"},
  };
  timings_.hung_launch = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    logs_.clear();
    {
      std::lock_guard lock(console_mutex_);
      console_.clear();
    }
    watchdog_exit_ = c.watchdog_exit;
    start(c.scripts);
    source_->publish(1, Target256{});
    ASSERT_TRUE(as_time_passes([&] { return exit_code_.wait_for(0s) == std::future_status::ready; })) << console();
    EXPECT_EQ(finish(), hung_device_exit_code);
    const std::string output = console();
    EXPECT_NE(output.find(" hung: a launch has not completed in "), std::string::npos) << output;
    if (c.watchdog_exit) {
      EXPECT_EQ(output.find("the other devices go on"), std::string::npos) << output;
    }
    EXPECT_TRUE(output.ends_with(c.last_line)) << output;
    EXPECT_FALSE(source_->wound_down_);
    const std::vector<bool> left_behind = run_->left_behind;
    for (std::size_t index = 0; index < c.scripts.size(); ++index) {
      EXPECT_TRUE(c.scripts[index].hangs_at_launch == 0 || left_behind[index]) << "hung device " << index << " released";
    }
    source_.reset();
    run_.reset();
    for (std::size_t index = 0; index < logs_.size(); ++index) {
      EXPECT_EQ(logs_[index]->releases, left_behind[index] ? 0 : 1) << index;
    }
  }
}

// Each device's sensors reach the statistics and, where known, its place in the progress line;
// a device without sensors shows nothing there. A sensor that goes away is dropped at the next
// reading.
TEST_F(MiningRunTest, SensorReadingsReachTheStatisticsAndTheProgressLine) {
  timings_.sensor_interval = 0.01;
  std::atomic<bool> first_card_readable{true};
  read_sensors_ = [&first_card_readable](std::size_t worker_index) {
    if (worker_index != 0 || !first_card_readable) return SensorReading{};
    return SensorReading{71, 55, 150.4, 1800};
  };
  figures_ = "figures";
  status_interval_ = 1;
  start({{}, {}});
  source_->publish(1, Target256{});
  ASSERT_TRUE(as_time_passes([&] { return console().find(" 71\u00b0C 55% 150W") != std::string::npos; })) << console();
  EXPECT_EQ(device_stats(0)->sensors, (SensorReading{71, 55, 150.4, 1800}));
  EXPECT_EQ(device_stats(1)->sensors, SensorReading{});
  const std::string output = console();
  const std::size_t line_start = output.rfind('\r', output.find(" 71\u00b0C"));
  const std::string line = output.substr(line_start, output.find('\r', line_start + 1) - line_start);
  EXPECT_NE(line.find("] figures  #3 "), std::string::npos) << line;
  EXPECT_EQ(line.find("\u00b0C", line.find("#4 ")), std::string::npos) << "device 4 has no sensors: " << line;

  first_card_readable = false;
  ASSERT_TRUE(eventually([&] { return device_stats(0)->sensors == SensorReading{}; }));
  request_stop();
  EXPECT_EQ(finish(), 0);
}

// The temperature limit on a fake sensor: the hot device pauses at the limit and resumes once
// cooled, with a line each time and the paused time counted; the device without a temperature
// is named once and never paused.
TEST_F(MiningRunTest, TemperatureLimitPausesAHotDeviceAndResumesItWhenCooled) {
  timings_.sensor_interval = 0.01;
  temperature_limit_ = TemperatureLimit{85, 80};
  std::atomic<double> temperature{70};
  read_sensors_ = [&temperature](std::size_t worker_index) {
    return worker_index == 0 ? SensorReading{temperature.load(), std::nullopt, std::nullopt, std::nullopt}
                             : SensorReading{};
  };
  start({{}, {}});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches > 5 && logs_[1]->launches > 5; }));

  temperature = 90;
  ASSERT_TRUE(eventually([&] { return device_stats(0)->paused; })) << console();
  // What was queued finishes; after that the hot device launches nothing while the other goes on.
  std::this_thread::sleep_for(50ms);
  const int hot_launches = logs_[0]->launches;
  const int other_launches = logs_[1]->launches;
  ASSERT_TRUE(eventually([&] { return logs_[1]->launches > other_launches + 20; }));
  EXPECT_EQ(logs_[0]->launches, hot_launches) << "the paused device went on";
  EXPECT_FALSE(device_stats(1)->paused);

  temperature = 80;
  ASSERT_TRUE(eventually([&] { return logs_[0]->launches > hot_launches + 5; })) << console();
  EXPECT_FALSE(device_stats(0)->paused);
  EXPECT_GT(device_stats(0)->paused_seconds, 0);
  request_stop();
  EXPECT_EQ(finish(), 0);
  const std::string output = console();
  const std::string unreadable =
      "  [!] Device 4 (fake 1, PCI unknown): no temperature reading, so the temperature limit does not apply to it\n";
  const std::size_t unreadable_at = output.find(unreadable);
  const std::size_t paused_at = output.find(
      "\n  [!] Device 3 (fake 0, PCI unknown) paused: 90\u00b0C reached the limit of 85\u00b0C; it resumes at 80\u00b0C\n",
      unreadable_at);
  const std::size_t resumed_at = output.find("\n  [*] Device 3 (fake 0, PCI unknown) resumed: 80\u00b0C\n", paused_at);
  EXPECT_NE(unreadable_at, std::string::npos) << output;
  EXPECT_NE(paused_at, std::string::npos) << output;
  EXPECT_NE(resumed_at, std::string::npos) << output;
  EXPECT_EQ(output.find(unreadable, unreadable_at + 1), std::string::npos) << "said once: " << output;
  EXPECT_EQ(output.find(" paused: ", output.find(" paused: ") + 1), std::string::npos) << "paused once: " << output;
}

// A sensor library stuck in a hung driver does not hold up a stop: its thread is left behind.
TEST_F(MiningRunTest, StopDoesNotWaitForASensorReadingThatNeverReturns) {
  timings_.device_stop_wait = 0.2;
  std::atomic<bool> reading_started{false};
  read_sensors_ = [&reading_started](std::size_t) {
    reading_started = true;
    while (true) std::this_thread::sleep_for(1h);
    return SensorReading{};
  };
  start({{}});
  source_->publish(1, Target256{});
  ASSERT_TRUE(eventually([&] { return reading_started.load() && logs_[0]->launches > 3; }));
  request_stop();
  EXPECT_EQ(finish(10s), 0) << "the stop waited for the sensors";
  EXPECT_TRUE(threads_were_left_behind(*run_));
  EXPECT_EQ(run_->left_behind, std::vector<bool>{false}) << "the device itself ended";
}

}  // namespace
