// The watchdog's limit: the median of a device's latest launches, and the larger of the floor
// and 20 of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "work/launch_watchdog.h"

namespace {

TEST(LaunchWatchdog, MedianOfTheLatestLaunches) {
  std::vector<std::int64_t> sixteen_slow_then_fifteen_fast(16, 9'000);
  sixteen_slow_then_fifteen_fast.insert(sixteen_slow_then_fifteen_fast.end(), 15, 80);
  const struct {
    const char* name;
    std::vector<std::int64_t> durations;
    std::int64_t median;
  } cases[] = {
      {"none yet", {}, 0},
      {"one", {500}, 500},
      {"odd count, unsorted", {300, 100, 200}, 200},
      {"even count takes the upper middle", {100, 400, 200, 300}, 300},
      {"one outlier does not move it", {80, 80, 5'000'000, 80, 80}, 80},
      {"only the latest fifteen count", sixteen_slow_then_fifteen_fast, 80},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LaunchTimes times;
    for (const std::int64_t duration : c.durations) record_launch_time(times, duration);
    EXPECT_EQ(median_launch_time_ns(times), c.median);
  }
}

TEST(LaunchWatchdog, LimitIsTheLargerOfTheFloorAndTwentyMedianLaunches) {
  EXPECT_DOUBLE_EQ(hung_limit_seconds(10, 0), 10);               // before the first launch
  EXPECT_DOUBLE_EQ(hung_limit_seconds(10, 80'000'000), 10);      // 0.08 s launches: the floor
  EXPECT_DOUBLE_EQ(hung_limit_seconds(10, 2'000'000'000), 40);   // 2 s launches: 20 of them
  EXPECT_DOUBLE_EQ(seconds_until_hung(1'000'000'000, 4'000'000'000, 10), 7);
  EXPECT_LE(seconds_until_hung(1'000'000'000, 11'000'000'000, 10), 0);
}

}  // namespace
