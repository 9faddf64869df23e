#include "run/temperature_limit.h"

bool paused_for_temperature(const TemperatureLimit& limit, bool paused, std::optional<double> temperature_c) {
  if (!temperature_c) return false;
  return paused ? *temperature_c > limit.resume_at_c : *temperature_c >= limit.pause_at_c;
}
