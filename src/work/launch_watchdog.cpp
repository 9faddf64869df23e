#include "work/launch_watchdog.h"

#include <algorithm>

void record_launch_time(LaunchTimes& times, std::int64_t duration_ns) {
  times.recent_ns[times.next] = duration_ns;
  times.next = (times.next + 1) % times.recent_ns.size();
  times.count = std::min(times.count + 1, times.recent_ns.size());
}

std::int64_t median_launch_time_ns(const LaunchTimes& times) {
  if (times.count == 0) return 0;
  auto sorted = times.recent_ns;
  const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(times.count);
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(times.count / 2);
  std::nth_element(sorted.begin(), middle, end);
  return *middle;
}

double hung_limit_seconds(double floor_seconds, std::int64_t median_launch_ns) {
  return std::max(floor_seconds, hung_launch_median_factor * static_cast<double>(median_launch_ns) / 1e9);
}

double seconds_until_hung(std::int64_t call_started_ns, std::int64_t now_ns, double limit_seconds) {
  return limit_seconds - static_cast<double>(now_ns - call_started_ns) / 1e9;
}
