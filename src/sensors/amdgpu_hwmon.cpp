#include "sensors/amdgpu_hwmon.h"

#include <charconv>
#include <fstream>
#include <optional>
#include <system_error>

namespace {

// The whole number a sysfs file holds (one line); nothing for a missing file or other text.
std::optional<double> read_number(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text;
  if (!in || !std::getline(in, text)) return std::nullopt;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end == text.data() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<double>(value);
}

std::optional<double> within(std::optional<double> value, double lowest, double highest) {
  if (!value || *value < lowest || *value > highest) return std::nullopt;
  return value;
}

// The card's hwmon folder: the first under its PCI device that has a temperature or a fan.
std::optional<std::filesystem::path> hwmon_folder(const std::filesystem::path& sysfs_root, const std::string& bus_id) {
  std::error_code error;
  const std::filesystem::path parent = sysfs_root / "bus" / "pci" / "devices" / bus_id / "hwmon";
  for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
    if (std::filesystem::exists(entry.path() / "temp1_input", error) ||
        std::filesystem::exists(entry.path() / "pwm1", error)) {
      return entry.path();
    }
  }
  return std::nullopt;
}

}  // namespace

SensorReading read_amdgpu_hwmon(const std::filesystem::path& sysfs_root, const std::string& bus_id) {
  SensorReading reading;
  const std::optional<std::filesystem::path> folder = hwmon_folder(sysfs_root, bus_id);
  if (!folder) return reading;
  if (const auto millidegrees = within(read_number(*folder / "temp1_input"), -50'000, 200'000)) {
    reading.temperature_c = *millidegrees / 1000;
  }
  const std::optional<double> duty = read_number(*folder / "pwm1");
  const double duty_max = within(read_number(*folder / "pwm1_max"), 1, 65535).value_or(255);
  if (duty && *duty >= 0 && *duty <= duty_max) reading.fan_percent = *duty * 100 / duty_max;
  std::optional<double> microwatts = read_number(*folder / "power1_average");
  if (!microwatts) microwatts = read_number(*folder / "power1_input");
  if (const auto power = within(microwatts, 0, 5e9)) reading.power_watts = *power / 1e6;
  if (const auto hertz = within(read_number(*folder / "freq1_input"), 1, 1e11)) reading.core_clock_mhz = *hertz / 1e6;
  return reading;
}
