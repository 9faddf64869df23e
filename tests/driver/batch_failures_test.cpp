// The reporting and give-up policy for failed batches, on made-up times.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "work/batch_failures.h"

namespace {

constexpr std::int64_t second = 1'000'000'000;
const std::string enqueue_error = "clEnqueueNDRangeKernel: CL_INVALID_WORK_GROUP_SIZE";
const std::string finish_error = "clFinish: CL_OUT_OF_HOST_MEMORY";

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// A device that fails every batch, ten batches a second: each error is named once, the repeats
// come as counts every ten seconds, and the device is given up after thirty seconds.
TEST(BatchFailures, NamesEachErrorOnceThenCountsRepeatsAndGivesUpAfterThirtySeconds) {
  BatchFailures failures;
  std::string printed;
  std::int64_t lost_at = -1;
  for (std::int64_t tenth = 0; tenth <= 400 && lost_at < 0; ++tenth) {
    const std::int64_t now = 5 * second + tenth * second / 10;
    // The second error appears only from the fifth second on, and only in every other batch.
    const std::string& error = tenth >= 50 && tenth % 2 == 0 ? finish_error : enqueue_error;
    printed += joined(record_batch(failures, error, now));
    if (device_lost(failures, now)) lost_at = now;
  }
  EXPECT_EQ(lost_at, 35 * second) << "thirty seconds after the first failure at 5 s";
  printed += joined(unreported_failures(failures));

  const std::string expected_start = "  [!] " + enqueue_error + "\n  [!] " + finish_error + "\n";
  ASSERT_EQ(printed.substr(0, expected_start.size()), expected_start) << printed;
  // 301 batches: each error's first one is named, the other 299 are counted in the reports.
  std::uint64_t counted = 0;
  std::size_t reports = 0;
  for (std::size_t at = printed.find("(repeated "); at != std::string::npos; at = printed.find("(repeated ", at + 1)) {
    counted += std::stoull(printed.substr(at + 10));
    ++reports;
  }
  EXPECT_EQ(counted, 299u) << printed;
  // Reports at about 20 s and 30 s for both errors, and the rest at the end; never per batch.
  EXPECT_GE(reports, 4u) << printed;
  EXPECT_LE(reports, 8u) << printed;
  EXPECT_TRUE(unreported_failures(failures).empty()) << "the counts start again";
}

// With several devices every line names the device it is about.
TEST(BatchFailures, LinesStartWithTheDeviceLabel) {
  BatchFailures failures;
  failures.device_label = "Device 1: ";
  EXPECT_EQ(joined(record_batch(failures, enqueue_error, 0)), "  [!] Device 1: " + enqueue_error + "\n");
  record_batch(failures, enqueue_error, second);
  EXPECT_EQ(joined(unreported_failures(failures)), "\n  [!] Device 1: " + enqueue_error + " (repeated 1 times)\n");
}

TEST(BatchFailures, AGoodBatchRestartsTheTimeToGiveUp) {
  BatchFailures failures;
  EXPECT_FALSE(device_lost(failures, 100 * second)) << "no failure at all";
  EXPECT_EQ(joined(record_batch(failures, enqueue_error, 0)), "  [!] " + enqueue_error + "\n");
  EXPECT_FALSE(device_lost(failures, 29 * second));
  EXPECT_TRUE(record_batch(failures, "", 29 * second).empty());
  EXPECT_FALSE(device_lost(failures, 40 * second)) << "a good batch came in between";
  const std::string repeated_once = "\n  [!] " + enqueue_error + " (repeated 1 times)\n";
  EXPECT_EQ(joined(record_batch(failures, enqueue_error, 41 * second)), repeated_once)
      << "named before, and the last report is more than ten seconds old";
  EXPECT_TRUE(record_batch(failures, enqueue_error, 42 * second).empty()) << "within ten seconds of that report";
  EXPECT_FALSE(device_lost(failures, 70 * second));
  EXPECT_TRUE(device_lost(failures, 71 * second));
  EXPECT_EQ(joined(unreported_failures(failures)), repeated_once);
}

}  // namespace
