#pragma once
// What a device's sensors said at one reading. Each figure is missing where the device has no
// such sensor, its driver does not tell it, or the value read made no sense.

#include <optional>

struct SensorReading {
  std::optional<double> temperature_c;
  std::optional<double> fan_percent;
  std::optional<double> power_watts;
  std::optional<double> core_clock_mhz;

  bool operator==(const SensorReading&) const = default;
};
