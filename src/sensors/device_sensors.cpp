#include "sensors/device_sensors.h"

#include <algorithm>

#include "sensors/amdgpu_hwmon.h"

void open_device_sensors(DeviceSensors& sensors, const SensorSettings& settings) {
  sensors.settings = settings;
  load_nvml(sensors.nvml, settings.nvml_path);
}

SensorReading read_device_sensors(const DeviceSensors& sensors, const std::string& bus_id) {
  if (bus_id.empty() || bus_id == "unknown") return {};
  const SensorReading nvidia = read_nvml(sensors.nvml, bus_id);
  if (nvidia != SensorReading{}) return nvidia;
  return read_amdgpu_hwmon(sensors.settings.sysfs_root, bus_id);
}

void close_device_sensors(DeviceSensors& sensors) { unload_nvml(sensors.nvml); }

bool apply_sensor_test_settings(SensorSettings& settings, std::string_view text, std::string& problem) {
  SensorSettings changed = settings;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(';', start), text.size());
    const std::string_view item = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = std::min(item.find('='), item.size());
    const std::string_view name = item.substr(0, equals);
    const std::string value(item.substr(std::min(equals + 1, item.size())));
    if (name == "sysfs_root") {
      changed.sysfs_root = value;
    } else if (name == "nvml") {
      changed.nvml_path = value;
    } else if (name == "bus_ids") {
      changed.bus_ids.clear();
      for (std::size_t from = 0; from <= value.size();) {
        const std::size_t comma = std::min(value.find(',', from), value.size());
        changed.bus_ids.push_back(value.substr(from, comma - from));
        from = comma + 1;
      }
    } else {
      problem = "unknown setting \"" + std::string(name) + "\"";
      return false;
    }
  }
  settings = changed;
  return true;
}
