// A stand-in for NVIDIA's management library with the few functions the miner loads. Its
// devices and their figures come from the environment at every call, so a test changes them
// while the miner runs:
//   FAKE_NVML_DEVICES="0000:03:00.0=65,40,120500,1850;0000:04:00.0=,,,"
// gives each device's temperature (°C), fan (%), power (mW) and clock (MHz); an empty figure is
// one the device does not support. FAKE_NVML_INIT=fail makes the library fail to initialise.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr int success = 0;
constexpr int uninitialized = 1;
constexpr int not_supported = 3;
constexpr int not_found = 6;

// The figures of the device with this bus id; empty when it is not listed.
std::string device_figures(const char* bus_id) {
  const char* devices = std::getenv("FAKE_NVML_DEVICES");
  if (devices == nullptr) return {};
  const std::string list = devices;
  const std::string key = std::string(bus_id) + "=";
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = std::min(list.find(';', start), list.size());
    if (list.compare(start, key.size(), key) == 0) return list.substr(start + key.size(), end - start - key.size()) + ",";
    start = end + 1;
  }
  return {};
}

// The figure at position (0 temperature, 1 fan, 2 power, 3 clock) of a device handle: the
// device's figures, ending in ",".
int figure(void* device, int position, unsigned* value) {
  const std::string& figures = *static_cast<const std::string*>(device);
  std::size_t start = 0;
  for (int skipped = 0; skipped < position && start != std::string::npos; ++skipped) {
    start = figures.find(',', start);
    if (start != std::string::npos) ++start;
  }
  const std::size_t end = start == std::string::npos ? start : figures.find(',', start);
  if (end == std::string::npos || end == start) return not_supported;
  *value = static_cast<unsigned>(std::strtoul(figures.c_str() + start, nullptr, 10));
  return success;
}

}  // namespace

extern "C" {

int nvmlInit_v2() {
  const char* init = std::getenv("FAKE_NVML_INIT");
  return init != nullptr && std::strcmp(init, "fail") == 0 ? uninitialized : success;
}

int nvmlShutdown() { return success; }

// A handle is the device's figures as they were when it was asked for, kept per bus id for as
// long as the library is loaded, as a real library's handles are.
int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, void** device) {
  static std::map<std::string, std::string> handles;
  const std::string figures = device_figures(bus_id);
  if (figures.empty()) return not_found;
  std::string& handle = handles[bus_id];
  handle = figures;
  *device = &handle;
  return success;
}

int nvmlDeviceGetTemperature(void* device, int, unsigned* degrees) { return figure(device, 0, degrees); }
int nvmlDeviceGetFanSpeed(void* device, unsigned* percent) { return figure(device, 1, percent); }
int nvmlDeviceGetPowerUsage(void* device, unsigned* milliwatts) { return figure(device, 2, milliwatts); }
int nvmlDeviceGetClockInfo(void* device, int, unsigned* megahertz) { return figure(device, 3, megahertz); }

}  // extern "C"
