#include "gpu/opencl_device.h"

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "gpu/gpu_miner.h"
#include "gpu/pci_bus_id.h"

namespace {

// Fills a text buffer with a device string; the buffer stays empty when the text does not fit.
void query_device_text(cl_device_id device, cl_device_info parameter, char* buffer, std::size_t buffer_size) {
  if (buffer_size == 0) return;
  buffer[0] = '\0';
  if (clGetDeviceInfo(device, parameter, buffer_size, buffer, nullptr) != CL_SUCCESS) buffer[0] = '\0';
  buffer[buffer_size - 1] = '\0';
}

}  // namespace

const char* opencl_error_name(std::int32_t status) {
  switch (status) {
    case CL_SUCCESS: return "CL_SUCCESS";
    case CL_DEVICE_NOT_FOUND: return "CL_DEVICE_NOT_FOUND";
    case CL_DEVICE_NOT_AVAILABLE: return "CL_DEVICE_NOT_AVAILABLE";
    case CL_COMPILER_NOT_AVAILABLE: return "CL_COMPILER_NOT_AVAILABLE";
    case CL_OUT_OF_HOST_MEMORY: return "CL_OUT_OF_HOST_MEMORY";
    case CL_BUILD_PROGRAM_FAILURE: return "CL_BUILD_PROGRAM_FAILURE";
    case CL_MAP_FAILURE: return "CL_MAP_FAILURE";
    case CL_INVALID_VALUE: return "CL_INVALID_VALUE";
    case CL_INVALID_DEVICE: return "CL_INVALID_DEVICE";
    case CL_INVALID_PLATFORM: return "CL_INVALID_PLATFORM";
    case CL_INVALID_COMMAND_QUEUE: return "CL_INVALID_COMMAND_QUEUE";
    case CL_INVALID_MEM_OBJECT: return "CL_INVALID_MEM_OBJECT";
    case CL_INVALID_PROGRAM_EXECUTABLE: return "CL_INVALID_PROGRAM_EXECUTABLE";
    case CL_INVALID_KERNEL_NAME: return "CL_INVALID_KERNEL_NAME";
    case CL_INVALID_KERNEL_ARGS: return "CL_INVALID_KERNEL_ARGS";
    case CL_INVALID_KERNEL_DEFINITION: return "CL_INVALID_KERNEL_DEFINITION";
    case CL_INVALID_WORK_GROUP_SIZE: return "CL_INVALID_WORK_GROUP_SIZE";
    default: return "CL_UNKNOWN_ERROR";
  }
}

std::optional<cl_device_type> device_type_from_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.empty() || lower == "gpu") return CL_DEVICE_TYPE_GPU;
  if (lower == "cpu") return CL_DEVICE_TYPE_CPU;
  if (lower == "accelerator") return CL_DEVICE_TYPE_ACCELERATOR;
  if (lower == "all") return CL_DEVICE_TYPE_ALL;
  return std::nullopt;
}

cl_device_type device_type_from_environment() {
  const char* value = std::getenv(device_type_variable);
  if (value == nullptr) return CL_DEVICE_TYPE_GPU;
  return device_type_from_name(value).value_or(CL_DEVICE_TYPE_GPU);
}

bool device_type_setting_is_valid() {
  const char* value = std::getenv(device_type_variable);
  return value == nullptr || device_type_from_name(value).has_value();
}

std::vector<PlatformDeviceCounts> device_counts_by_platform() {
  const auto count_of_type = [](cl_platform_id platform, cl_device_type type) {
    cl_uint count = 0;
    if (clGetDeviceIDs(platform, type, 0, nullptr, &count) != CL_SUCCESS) return 0;
    return static_cast<int>(count);
  };
  std::vector<PlatformDeviceCounts> counts;
  for (const cl_platform_id platform : platform_ids()) {
    counts.push_back({count_of_type(platform, CL_DEVICE_TYPE_GPU), count_of_type(platform, CL_DEVICE_TYPE_CPU),
                      count_of_type(platform, CL_DEVICE_TYPE_ACCELERATOR)});
  }
  return counts;
}

std::string other_device_types_hint(cl_device_type chosen, const std::vector<PlatformDeviceCounts>& counts) {
  struct TypeCount {
    cl_device_type type;
    int PlatformDeviceCounts::*count;
    const char* name;
  };
  static constexpr TypeCount types[] = {
      {CL_DEVICE_TYPE_GPU, &PlatformDeviceCounts::gpus, "GPU"},
      {CL_DEVICE_TYPE_CPU, &PlatformDeviceCounts::cpus, "CPU"},
      {CL_DEVICE_TYPE_ACCELERATOR, &PlatformDeviceCounts::accelerators, "accelerator"},
  };
  const TypeCount* chosen_type = nullptr;
  for (const TypeCount& type : types) {
    if (type.type == chosen) chosen_type = &type;
  }
  if (chosen_type == nullptr) return {};  // "all" already covers every device there is
  for (const PlatformDeviceCounts& platform_counts : counts) {
    if (platform_counts.*(chosen_type->count) > 0) return {};  // the chosen type exists somewhere
  }

  std::string others;
  int other_total = 0;
  for (std::size_t platform = 0; platform < counts.size(); ++platform) {
    for (const TypeCount& type : types) {
      const int count = counts[platform].*(type.count);
      if (type.type == chosen || count == 0) continue;
      others += std::string(others.empty() ? "" : ", ") + "platform " + std::to_string(platform) + " has " +
                std::to_string(count) + " " + type.name + (count == 1 ? " device" : " devices");
      other_total += count;
    }
  }
  if (others.empty()) return {};
  return std::string("No ") + chosen_type->name + " device, but " + others + ": run with " + device_type_variable +
         "=all to use " + (other_total == 1 ? "it" : "them");
}

std::string device_type_hint() {
  return other_device_types_hint(device_type_from_environment(), device_counts_by_platform());
}

std::vector<cl_platform_id> platform_ids() {
  cl_uint count = 0;
  if (clGetPlatformIDs(0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
  std::vector<cl_platform_id> platforms(count);
  if (clGetPlatformIDs(count, platforms.data(), nullptr) != CL_SUCCESS) return {};
  return platforms;
}

std::vector<cl_device_id> device_ids(int platform_index) {
  const std::vector<cl_platform_id> platforms = platform_ids();
  if (platform_index < 0 || static_cast<std::size_t>(platform_index) >= platforms.size()) return {};
  const cl_platform_id platform = platforms[static_cast<std::size_t>(platform_index)];
  const cl_device_type type = device_type_from_environment();
  cl_uint count = 0;
  // A platform without devices of the type answers CL_DEVICE_NOT_FOUND.
  if (clGetDeviceIDs(platform, type, 0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
  std::vector<cl_device_id> devices(count);
  if (clGetDeviceIDs(platform, type, count, devices.data(), nullptr) != CL_SUCCESS) return {};
  return devices;
}

int count_platforms() {
  cl_uint count = 0;
  if (clGetPlatformIDs(0, nullptr, &count) != CL_SUCCESS) return 0;
  return static_cast<int>(count);
}

int count_gpu_devices(int platform_index) { return static_cast<int>(device_ids(platform_index).size()); }

bool get_gpu_device_info(int platform_index, int device_index, char* name, std::size_t name_size, char* vendor,
                         std::size_t vendor_size, std::uint64_t* memory_size) {
  const std::vector<cl_device_id> devices = device_ids(platform_index);
  if (device_index < 0 || static_cast<std::size_t>(device_index) >= devices.size()) return false;
  const cl_device_id device = devices[static_cast<std::size_t>(device_index)];
  query_device_text(device, CL_DEVICE_NAME, name, name_size);
  query_device_text(device, CL_DEVICE_VENDOR, vendor, vendor_size);
  cl_ulong bytes = 0;
  if (clGetDeviceInfo(device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof bytes, &bytes, nullptr) != CL_SUCCESS) bytes = 0;
  *memory_size = bytes;
  return true;
}

namespace {

// Asks for the size first, then the text; drops the terminating zero.
template <typename Object, typename Query>
std::string info_text(Object object, cl_uint parameter, Query query) {
  std::size_t size = 0;
  if (query(object, parameter, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
  std::string text(size, '\0');
  if (query(object, parameter, size, text.data(), nullptr) != CL_SUCCESS) return {};
  text.resize(std::min(text.find('\0'), text.size()));
  return text;
}

}  // namespace

std::string device_info_text(cl_device_id device, cl_device_info parameter) {
  return info_text(device, parameter, clGetDeviceInfo);
}

std::string device_platform_name(cl_device_id device) {
  cl_platform_id platform = nullptr;
  if (clGetDeviceInfo(device, CL_DEVICE_PLATFORM, sizeof platform, &platform, nullptr) != CL_SUCCESS) return {};
  return info_text(platform, cl_platform_info{CL_PLATFORM_NAME}, clGetPlatformInfo);
}

bool device_is_gpu(int platform_index, int device_index) {
  const std::vector<cl_device_id> devices = device_ids(platform_index);
  if (device_index < 0 || static_cast<std::size_t>(device_index) >= devices.size()) return true;
  cl_device_type type = 0;
  if (clGetDeviceInfo(devices[static_cast<std::size_t>(device_index)], CL_DEVICE_TYPE, sizeof type, &type, nullptr) !=
      CL_SUCCESS) {
    return true;
  }
  return (type & CL_DEVICE_TYPE_GPU) != 0;
}

namespace {

// Queries of the extensions that tell a device's PCI address, with their values from the Khronos
// registry (older OpenCL headers lack some).
constexpr cl_device_info pci_bus_info_khr = 0x410F;    // cl_khr_pci_bus_info: four cl_uint
constexpr cl_device_info topology_amd = 0x4037;        // cl_amd_device_attribute_query: 24 bytes
constexpr cl_device_info pci_bus_id_nvidia = 0x4008;   // cl_nv_device_attribute_query: cl_uint each
constexpr cl_device_info pci_slot_id_nvidia = 0x4009;
constexpr cl_device_info pci_domain_id_nvidia = 0x400A;

bool has_extension(const std::string& extensions, std::string_view name) {
  for (std::size_t start = extensions.find(name); start != std::string::npos;
       start = extensions.find(name, start + 1)) {
    const std::size_t end = start + name.size();
    const bool whole_word = (start == 0 || extensions[start - 1] == ' ') &&
                            (end == extensions.size() || extensions[end] == ' ');
    if (whole_word) return true;
  }
  return false;
}

template <typename Value>
bool query_value(cl_device_id device, cl_device_info parameter, Value& value) {
  return clGetDeviceInfo(device, parameter, sizeof value, &value, nullptr) == CL_SUCCESS;
}

std::optional<PciAddress> device_pci_address(cl_device_id device) {
  const std::string extensions = device_info_text(device, CL_DEVICE_EXTENSIONS);
  if (has_extension(extensions, "cl_khr_pci_bus_info")) {
    std::array<cl_uint, 4> info{};
    if (query_value(device, pci_bus_info_khr, info)) return PciAddress{info[0], info[1], info[2], info[3]};
  }
  if (has_extension(extensions, "cl_amd_device_attribute_query")) {
    std::array<unsigned char, amd_topology_size> topology{};
    if (query_value(device, topology_amd, topology)) return pci_address_from_amd_topology(topology);
  }
  if (has_extension(extensions, "cl_nv_device_attribute_query")) {
    cl_uint bus = 0;
    cl_uint slot = 0;
    cl_uint domain = 0;  // drivers before the domain query have devices in domain 0 only
    if (query_value(device, pci_bus_id_nvidia, bus) && query_value(device, pci_slot_id_nvidia, slot)) {
      query_value(device, pci_domain_id_nvidia, domain);
      return pci_address_from_nvidia(domain, bus, slot);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string gpu_device_bus_id(int platform_index, int device_index) {
  const std::vector<cl_device_id> devices = device_ids(platform_index);
  if (device_index < 0 || static_cast<std::size_t>(device_index) >= devices.size()) return unknown_bus_id;
  const std::optional<PciAddress> address = device_pci_address(devices[static_cast<std::size_t>(device_index)]);
  const std::optional<std::string> text = address ? format_pci_address(*address) : std::nullopt;
  return text.value_or(unknown_bus_id);
}
