#pragma once
// NVIDIA cards: NVIDIA's management library, loaded at run time where the driver installed it
// (libnvidia-ml.so.1, nvml.dll), so that the miner needs nothing of NVIDIA's to start. Devices
// are found by their PCI address.

#include <string>

#include "sensors/dynamic_library.h"
#include "sensors/sensor_reading.h"

// The library's name on this platform.
extern const char* const nvml_library_name;

// The few functions the miner calls, as the library exports them (C calling convention; 0 is
// success).
struct NvmlLibrary {
  using Device = void*;
  DynamicLibrary library;
  int (*init)() = nullptr;
  int (*shutdown)() = nullptr;
  int (*device_by_bus_id)(const char* bus_id, Device* device) = nullptr;
  int (*temperature)(Device device, int sensor, unsigned* degrees) = nullptr;
  int (*fan_speed)(Device device, unsigned* percent) = nullptr;
  int (*power_usage)(Device device, unsigned* milliwatts) = nullptr;
  int (*clock_info)(Device device, int clock, unsigned* megahertz) = nullptr;
};

// Loads the library from path and initialises it; false, with nothing loaded, when the library
// is missing, lacks a function or does not initialise (no NVIDIA driver running).
bool load_nvml(NvmlLibrary& nvml, const std::string& path);

// What the library says of the device at the PCI address; nothing when it knows no such device.
// Each figure that it cannot tell is left out.
SensorReading read_nvml(const NvmlLibrary& nvml, const std::string& bus_id);

// Shuts the library down and unloads it; nothing when it was not loaded.
void unload_nvml(NvmlLibrary& nvml);
