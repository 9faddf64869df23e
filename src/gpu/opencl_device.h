#pragma once
// Platform and device enumeration shared by the device listing and by set-up, and the
// choice of device type.

// OpenCL 1.2 host calls only (clCreateCommandQueue); the headers then raise no deprecation warnings.
#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/cl.h>

#include <vector>

// The device type that counting, listing, device info and set-up consider: VELTRANE_DEVICE_TYPE
// "cpu", "accelerator" or "all"; GPU for "gpu", an unset variable or any other value.
cl_device_type device_type_from_environment();

// All platforms in the runtime's order; empty when the query fails.
std::vector<cl_platform_id> platform_ids();
// The devices of the chosen type on one platform; empty for an index out of range or a failed query.
std::vector<cl_device_id> device_ids(int platform_index);
