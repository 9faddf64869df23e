// A device thread on the OpenCL device: jobs in through the board, found nonces and used-up
// jobs back, and a new generation of work taken while a job runs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "support/test_support.h"
#include "work/device_worker.h"
#include "work/opencl_mining_device.h"

namespace {

using namespace std::chrono_literals;

// A worker on the first device with a small work size, and its board.
class DeviceWorkerTest : public testing::Test {
 protected:
  void SetUp() override {
    test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all");
    testing::internal::CaptureStdout();
    device_ = open_opencl_device(0, 0, 64, 16, VELTRANE_BINARY_DIR "/whirlpool_opencl.cl");
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_NE(device_, nullptr) << output;
    worker_.device = device_.get();
    worker_.clock = [] {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    worker_.say = [](const std::string& line) { ADD_FAILURE() << "no launch should fail: " << line; };
  }
  void TearDown() override {
    close_board(board_);
    if (worker_.thread.joinable()) worker_.thread.join();
  }
  std::unique_ptr<MiningDevice> device_;
  JobBoard board_;
  DeviceWorker worker_;
};

DeviceJob job_with(std::uint64_t id, std::uint64_t generation, const Target256& target) {
  DeviceJob job;
  job.id = id;
  job.generation = generation;
  job.header[0] = static_cast<std::uint8_t>(id);
  job.midstate = compute_midstate(job.header);
  job.target = target;
  return job;
}

Target256 every_hash_hits() {
  Target256 target;
  target.limbs = {~0ULL, ~0ULL, ~0ULL, ~0ULL};
  return target;
}

// The job starts at its first nonce, ends with the nonce it reports, and the device's next request
// says how far it was searched: past that nonce.
TEST_F(DeviceWorkerTest, ReportsANonceThatHitsAndEndsTheJobWithIt) {
  JobBoard& board = board_;
  DeviceWorker& worker = worker_;
  constexpr std::uint64_t first_nonce = 0xc0000000;
  std::optional<JobRequest> next_request;  // under the board's mutex
  publish_work(
      board,
      [&](const JobRequest& request) -> std::optional<DeviceJob> {
        if (request.previous_job_id != 0) {
          next_request = request;
          return std::nullopt;
        }
        DeviceJob job = job_with(1, 1, every_hash_hits());
        job.first_nonce = first_nonce;
        return job;
      },
      1);
  start_device(worker, board);
  SourceEvents events;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!events.poked && std::chrono::steady_clock::now() < deadline) {
    SourceEvents more = wait_for_source_events(board, deadline);
    events.found.insert(events.found.end(), more.found.begin(), more.found.end());
    events.poked = more.poked;
  }
  close_board(board);
  worker.thread.join();

  ASSERT_EQ(events.found.size(), 1u);
  const FoundNonce& found = events.found.front();
  EXPECT_EQ(found.job_id, 1u);
  BlockHeader header = job_with(1, 1, {}).header;
  store_u32_le(header.data() + header_nonce_offset, found.nonce);
  EXPECT_TRUE(hash_meets_target(pow_hash(header), every_hash_hits()));
  std::lock_guard lock(board.mutex);
  ASSERT_TRUE(next_request.has_value());
  EXPECT_EQ(next_request->previous_job_id, 1u);
  EXPECT_GE(found.nonce, first_nonce);
  EXPECT_GT(next_request->previous_searched_end, found.nonce);
  EXPECT_GE(worker.stats.found_nonces, 1u);
  EXPECT_GT(worker.stats.hashes, 0u);
}

// Jobs that never hit: the device stays on its job until a new generation makes it stale, then
// takes a job of the new generation.
TEST_F(DeviceWorkerTest, NewGenerationEndsTheRunningJob) {
  JobBoard& board = board_;
  DeviceWorker& worker = worker_;
  std::atomic<std::uint64_t> newest_generation_seen{0};
  std::atomic<int> launches_on_first_generation{0};
  std::uint64_t next_id = 1;
  const auto maker_for = [&](std::uint64_t generation) {
    return [&, generation](const JobRequest&) {
      return std::optional<DeviceJob>(job_with(next_id++, generation, Target256{}));
    };
  };
  publish_work(board, maker_for(1), 1);
  worker.observer = [&](const LaunchReport& launch) {
    newest_generation_seen = launch.job->generation;
    if (launch.job->generation == 1 && !launch.after_job_end) ++launches_on_first_generation;
  };
  start_device(worker, board);
  const auto wait_until = [](const auto& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return condition();
  };
  EXPECT_TRUE(wait_until([&] { return launches_on_first_generation >= 3; }));
  publish_work(board, maker_for(2), 2);
  EXPECT_TRUE(wait_until([&] { return newest_generation_seen == 2; })) << "the device stayed on the stale job";
  close_board(board);
  worker.thread.join();
  EXPECT_TRUE(wait_for_source_events(board, std::chrono::steady_clock::now() + 0ms).found.empty()) << "a zero target never hits";
}

}  // namespace
