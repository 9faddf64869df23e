#pragma once
// Every sensor source of the rig behind one call: NVML for NVIDIA cards, amdgpu's hwmon files
// for AMD cards on Linux. A device is matched by its PCI address; one without (PoCL), or one no
// source knows, reads as nothing. No missing library or file is an error.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sensors/nvml_library.h"
#include "sensors/sensor_reading.h"

struct SensorSettings {
  std::filesystem::path sysfs_root = "/sys";
  std::string nvml_path = nvml_library_name;
  // Tests only: PCI addresses for the devices in their order, in place of what OpenCL tells
  // (PoCL's devices have none), so that made-up sensors can be matched to them.
  std::vector<std::string> bus_ids;
};

// The test-only environment variable that sets the settings above:
// "sysfs_root=PATH;nvml=PATH;bus_ids=0000:03:00.0,0000:04:00.0", any of them.
inline constexpr const char* test_sensors_variable = "VELTRANE_TEST_SENSORS";

// Applies such a text to settings; false with the reason in problem, and settings unchanged,
// for an unknown name.
bool apply_sensor_test_settings(SensorSettings& settings, std::string_view text, std::string& problem);

struct DeviceSensors {
  SensorSettings settings;
  NvmlLibrary nvml;  // not loaded when the library is missing
};

// Loads what is there: NVML when it loads and initialises.
void open_device_sensors(DeviceSensors& sensors, const SensorSettings& settings);
// NVML's figures for the device when it knows it, else the hwmon files'.
SensorReading read_device_sensors(const DeviceSensors& sensors, const std::string& bus_id);
void close_device_sensors(DeviceSensors& sensors);
