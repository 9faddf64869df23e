#pragma once
// The OpenCL device behind the mining seam. It owns its GPU handle and releases it once, when it
// is destroyed, whichever way the run ends.

#include <memory>
#include <string>

#include "gpu/autotune.h"
#include "work/mining_device.h"

// Sets up the device and builds the kernel (through the kernel cache when asked), then chooses
// its work size when autotune is given; prints the reason and returns nothing on failure.
std::unique_ptr<MiningDevice> open_opencl_device(int platform_index, int device_index, std::int32_t global_size,
                                                 std::int32_t local_size, const std::string& kernel_path,
                                                 bool use_kernel_cache = false,
                                                 const AutotuneSettings* autotune = nullptr,
                                                 bool several_devices = false);
