#pragma once
// AMD cards on Linux: the amdgpu driver's hwmon files under the card's PCI device in sysfs
// (ROOT/bus/pci/devices/0000:03:00.0/hwmon/hwmonN/). The root is /sys on a rig; tests give a
// folder of their own.

#include <filesystem>
#include <string>

#include "sensors/sensor_reading.h"

// What the card's hwmon files say now: temp1_input (m°C), pwm1 over pwm1_max (the fan's duty,
// as a percentage), power1_average or else power1_input (µW), freq1_input (the core clock, Hz).
// A missing file or folder, or a value that is not a plausible number, leaves its figure out.
SensorReading read_amdgpu_hwmon(const std::filesystem::path& sysfs_root, const std::string& bus_id);
