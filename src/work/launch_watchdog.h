#pragma once
// When a device counts as hung: a launch (or any other call into the device) that has not come
// back within a limit. The limit is the larger of a floor and a multiple of the device's median
// launch time, so that a slow device doing honest work is never taken for a hung one, and a fast
// one whose driver hangs is noticed within the floor. Pure functions of durations and times.

#include <array>
#include <cstddef>
#include <cstdint>

// A launch that takes this many times the device's median launch time is taken for a hang.
inline constexpr double hung_launch_median_factor = 20;

// The durations of a device's latest launches, newest overwriting oldest.
struct LaunchTimes {
  std::array<std::int64_t, 15> recent_ns{};
  std::size_t count = 0;  // how many of recent_ns hold a duration
  std::size_t next = 0;   // where the next one goes
};

void record_launch_time(LaunchTimes& times, std::int64_t duration_ns);

// The median of the recorded durations in nanoseconds; 0 before the first.
std::int64_t median_launch_time_ns(const LaunchTimes& times);

// The larger of floor_seconds and hung_launch_median_factor times the median.
double hung_limit_seconds(double floor_seconds, std::int64_t median_launch_ns);

// Seconds from now_ns until a call that started at call_started_ns passes the limit: 0 or less
// once it has.
double seconds_until_hung(std::int64_t call_started_ns, std::int64_t now_ns, double limit_seconds);
