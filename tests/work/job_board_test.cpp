// The hand-over point between the work source's thread and the device threads.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "work/job_board.h"

namespace {

using namespace std::chrono_literals;

// A job maker that numbers its jobs and remembers which device asked.
auto numbering_maker(std::uint64_t tip) {
  return [tip, next = std::uint64_t{1}](const JobRequest& request) mutable -> std::optional<DeviceJob> {
    DeviceJob job;
    job.id = next++;
    job.generation = tip;
    job.height = request.worker_index;
    return job;
  };
}

TEST(JobBoard, DeviceWaitsForWorkAndGetsItOncePublished) {
  JobBoard board;
  auto taken = std::async(std::launch::async, [&] { return take_job(board, JobRequest{3}); });
  // Work that is not ready yet keeps the device waiting.
  publish_work(board, [](const JobRequest&) { return std::optional<DeviceJob>{}; }, 1);
  EXPECT_EQ(taken.wait_for(50ms), std::future_status::timeout);
  publish_work(board, numbering_maker(2), 2);
  const std::optional<DeviceJob> job = taken.get();
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(job->generation, 2u);
  EXPECT_EQ(job->height, 3u) << "the maker is asked for the waiting device";
  EXPECT_EQ(board.generation, 2u);
  EXPECT_EQ(take_job(board, JobRequest{0})->id, 2u) << "each call takes a new job";
}

// A device the maker gives nothing wakes the source once (the source may say why), then waits for
// new work without asking again.
TEST(JobBoard, DeviceGivenNothingPokesTheSourceOnceAndWaits) {
  JobBoard board;
  std::vector<JobRequest> requests;  // under the board's mutex
  publish_work(
      board,
      [&](const JobRequest& request) {
        requests.push_back(request);
        return std::optional<DeviceJob>{};
      },
      1);
  auto taken = std::async(std::launch::async, [&] { return take_job(board, JobRequest{2, 7, 4096}); });
  EXPECT_TRUE(wait_for_source_events(board, std::chrono::steady_clock::now() + 1h).poked);
  EXPECT_FALSE(wait_for_source_events(board, std::chrono::steady_clock::now() + 100ms).poked)
      << "the device asked again without new work";
  EXPECT_EQ(taken.wait_for(0ms), std::future_status::timeout);
  {
    std::lock_guard lock(board.mutex);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].worker_index, 2u);
    EXPECT_EQ(requests[0].previous_job_id, 7u);
    EXPECT_EQ(requests[0].previous_searched_end, 4096u);
  }
  publish_work(board, numbering_maker(2), 2);
  ASSERT_TRUE(taken.get().has_value());
}

TEST(JobBoard, ClosingReleasesWaitingDevicesAndTheSource) {
  JobBoard board;
  auto device = std::async(std::launch::async, [&] { return take_job(board, JobRequest{0}); });
  auto source = std::async(std::launch::async, [&] { return wait_for_source_events(board, std::chrono::steady_clock::now() + 1h); });
  close_board(board);
  EXPECT_FALSE(device.get().has_value());
  const SourceEvents events = source.get();
  EXPECT_TRUE(events.found.empty());
  EXPECT_FALSE(events.refresh_wanted);
  publish_work(board, numbering_maker(1), 1);
  EXPECT_FALSE(take_job(board, JobRequest{0}).has_value()) << "a closed board hands out nothing";
}

TEST(JobBoard, FoundNonceWakesTheWaitingSource) {
  JobBoard board;
  auto source = std::async(std::launch::async, [&] { return wait_for_source_events(board, std::chrono::steady_clock::now() + 1h); });
  std::thread device([&] { report_found(board, {1, 10, 0xabc}); });
  device.join();
  const SourceEvents events = source.get();
  ASSERT_EQ(events.found.size(), 1u);
  EXPECT_EQ(events.found[0].worker_index, 1u);
  EXPECT_EQ(events.found[0].job_id, 10u);
  EXPECT_EQ(events.found[0].nonce, 0xabcu);
}

TEST(JobBoard, SourceTakesFoundNoncesInOrderAndOneRefreshRequest) {
  JobBoard board;
  report_exhausted(board);
  report_found(board, {1, 10, 0xabc});
  report_exhausted(board);
  report_found(board, {0, 11, 0xdef});
  SourceEvents events = wait_for_source_events(board, std::chrono::steady_clock::now() + 1h);
  EXPECT_TRUE(events.refresh_wanted);
  ASSERT_EQ(events.found.size(), 2u);
  EXPECT_EQ(events.found[0].job_id, 10u);
  EXPECT_EQ(events.found[1].job_id, 11u);

  events = wait_for_source_events(board, std::chrono::steady_clock::now() + 1ms);
  EXPECT_TRUE(events.found.empty()) << "nothing is handed out twice";
  EXPECT_FALSE(events.refresh_wanted);
}

}  // namespace
