#include "driver/hash_rate.h"

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
