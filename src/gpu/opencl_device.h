#pragma once
// Platform and device enumeration shared by the device listing and by set-up, and the
// choice of device type.

// OpenCL 1.2 host calls only (clCreateCommandQueue); the headers then raise no deprecation warnings.
#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/cl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The type a VELTRANE_DEVICE_TYPE value names: "gpu", "cpu", "accelerator" or "all" in any
// letter case; an empty value means the default, GPU. Nothing for any other value.
std::optional<cl_device_type> device_type_from_name(std::string_view name);

// The device type that counting, listing, device info and set-up consider: VELTRANE_DEVICE_TYPE,
// GPU when it is unset or names no type (the program refuses such a value at start-up).
cl_device_type device_type_from_environment();

// Counts of devices of each type on each platform, for telling a user who has no device of the
// chosen type which devices there are instead.
struct PlatformDeviceCounts {
  int gpus = 0;
  int cpus = 0;
  int accelerators = 0;
};
std::vector<PlatformDeviceCounts> device_counts_by_platform();

// "No GPU device, but platform 0 has 1 CPU device: run with VELTRANE_DEVICE_TYPE=all to use it";
// empty when the chosen type is "all" or no platform has a device of another type.
std::string other_device_types_hint(cl_device_type chosen, const std::vector<PlatformDeviceCounts>& counts);

// All platforms in the runtime's order; empty when the query fails.
std::vector<cl_platform_id> platform_ids();
// The devices of the chosen type on one platform; empty for an index out of range or a failed query.
std::vector<cl_device_id> device_ids(int platform_index);

// A text of the device ("CL_DEVICE_NAME", "CL_DRIVER_VERSION") whatever its length; empty when the query fails.
std::string device_info_text(cl_device_id device, cl_device_info parameter);
// The name of the device's platform; empty when the query fails.
std::string device_platform_name(cl_device_id device);
