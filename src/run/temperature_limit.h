#pragma once
// --temp-limit: a device's launches pause at or above the limit and resume once it has cooled to
// the resume temperature. A pure decision on each reading; a device whose temperature cannot be
// read is never paused (nor kept paused), since nothing would ever resume it.

#include <optional>

struct TemperatureLimit {
  double pause_at_c = 0;   // pause at or above this
  double resume_at_c = 0;  // resume at or below this; below pause_at_c
};

// Whether the device should be paused after this reading, given whether it is now.
bool paused_for_temperature(const TemperatureLimit& limit, bool paused, std::optional<double> temperature_c);
