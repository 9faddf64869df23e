#include "run/hash_rate.h"

#include <cstdio>

std::string format_hash_rate(double rate) {
  static constexpr const char* units[] = {"H/s", "KH/s", "MH/s", "GH/s", "TH/s"};
  std::size_t unit = 0;
  while (rate >= 1000.0 && unit + 1 < std::size(units)) {
    rate /= 1000.0;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %s", rate, units[unit]);
  return text;
}

double elapsed_seconds(std::int64_t start_ns, std::int64_t end_ns) {
  return static_cast<double>(end_ns - start_ns) / 1e9;
}

std::string format_elapsed(double seconds) {
  const auto whole = seconds > 0 ? static_cast<unsigned long long>(seconds) : 0ULL;
  char text[48];
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

std::string run_summary_line(std::uint64_t hashes, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(hashes) / seconds : 0.0;
  return "  [*] Ran " + format_elapsed(seconds) + ", average " + format_hash_rate(rate);
}
