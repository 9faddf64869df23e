#include "sensors/nvml_library.h"

namespace {

constexpr int nvml_success = 0;
constexpr int nvml_gpu_temperature = 0;  // the sensor on the GPU die
constexpr int nvml_graphics_clock = 0;

// Takes an exported function into a typed pointer; false when it is missing.
template <typename Function>
bool take(const DynamicLibrary& library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(find_library_symbol(library, name));
  return function != nullptr;
}

}  // namespace

bool load_nvml(NvmlLibrary& nvml, const std::string& path) {
  nvml = NvmlLibrary{};
  if (!open_dynamic_library(nvml.library, path)) return false;
  const bool complete = take(nvml.library, "nvmlInit_v2", nvml.init) &&
                        take(nvml.library, "nvmlShutdown", nvml.shutdown) &&
                        take(nvml.library, "nvmlDeviceGetHandleByPciBusId_v2", nvml.device_by_bus_id) &&
                        take(nvml.library, "nvmlDeviceGetTemperature", nvml.temperature) &&
                        take(nvml.library, "nvmlDeviceGetFanSpeed", nvml.fan_speed) &&
                        take(nvml.library, "nvmlDeviceGetPowerUsage", nvml.power_usage) &&
                        take(nvml.library, "nvmlDeviceGetClockInfo", nvml.clock_info);
  if (!complete || nvml.init() != nvml_success) {
    close_dynamic_library(nvml.library);
    nvml = NvmlLibrary{};
    return false;
  }
  return true;
}

SensorReading read_nvml(const NvmlLibrary& nvml, const std::string& bus_id) {
  SensorReading reading;
  NvmlLibrary::Device device = nullptr;
  if (nvml.library.handle == nullptr || nvml.device_by_bus_id(bus_id.c_str(), &device) != nvml_success) return reading;
  unsigned value = 0;
  if (nvml.temperature(device, nvml_gpu_temperature, &value) == nvml_success && value < 200) {
    reading.temperature_c = value;
  }
  if (nvml.fan_speed(device, &value) == nvml_success && value <= 100) reading.fan_percent = value;
  if (nvml.power_usage(device, &value) == nvml_success) reading.power_watts = value / 1000.0;
  if (nvml.clock_info(device, nvml_graphics_clock, &value) == nvml_success && value > 0) reading.core_clock_mhz = value;
  return reading;
}

void unload_nvml(NvmlLibrary& nvml) {
  if (nvml.library.handle == nullptr) return;
  nvml.shutdown();
  close_dynamic_library(nvml.library);
  nvml = NvmlLibrary{};
}
