#pragma once
// The GPU search backend: OpenCL platform and device selection, program build from the
// kernel file, device buffers, and the per-job upload and per-batch dispatch.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "pow/target.h"
#include "pow/whirlpool.h"

// Nonces credited to each work item of a batch.
inline constexpr std::uint32_t nonces_per_item = 128;

// The environment variable that chooses the OpenCL device type: gpu (default), cpu, accelerator or all.
inline constexpr const char* device_type_variable = "VELTRANE_DEVICE_TYPE";
// False when the variable is set to a value that names no device type.
bool device_type_setting_is_valid();
// When no platform has a device of the chosen type but some have others, one sentence that says
// which and how to use them; empty otherwise.
std::string device_type_hint();

struct GpuMiner;  // OpenCL context, queue, program, kernel and buffers of one device

// Name of an OpenCL status code ("CL_INVALID_VALUE"), "CL_UNKNOWN_ERROR" for codes not in the table.
const char* opencl_error_name(std::int32_t status);

// Enumeration used by the device listing and by set-up; indices are positions in this order.
// Device counts and info consider the device type chosen by VELTRANE_DEVICE_TYPE (GPU by default).
int count_platforms();
int count_gpu_devices(int platform_index);
// Fills name and vendor (terminated, possibly empty) and the global memory size in bytes.
// Returns false and fills nothing when the device index is out of range.
bool get_gpu_device_info(int platform_index, int device_index, char* name, std::size_t name_size, char* vendor,
                         std::size_t vendor_size, std::uint64_t* memory_size);

// The device's PCI address ("0000:03:00.0") where its driver tells it, else "unknown".
std::string gpu_device_bus_id(int platform_index, int device_index);

// True when the device is a GPU, or when there is no such device (set-up then reports it).
bool device_is_gpu(int platform_index, int device_index);

// The whole file as bytes (binary mode); empty when it cannot be opened or is empty.
std::string read_kernel_file(const std::string& path);

// Sets up the device and builds the kernel; prints the reason and returns nullptr on failure.
// With the kernel cache, a binary kept by an earlier start is used when it fits, and a kernel
// built from source is kept for the next (see kernel_cache.h). Its device line names the device's
// index and PCI address when the run has several devices (several_devices).
GpuMiner* gpu_miner_create(int platform_index, int device_index, std::int32_t global_size, std::int32_t local_size,
                           const std::string& kernel_path, bool use_kernel_cache = false,
                           bool several_devices = false);
// Releases everything the miner holds; nothing for nullptr.
void gpu_miner_release(GpuMiner* gpu);

std::int32_t gpu_global_size(const GpuMiner& gpu);

// The largest local size the kernel runs with on the device; SIZE_MAX when the driver cannot say.
std::size_t gpu_work_group_limit(const GpuMiner& gpu);
// Changes the work size of later batches and launches; false (nothing changed) for a size the
// device cannot run. Only while no launch is queued.
bool gpu_set_work_size(GpuMiner& gpu, std::int32_t global_size, std::int32_t local_size);
// Where the device's chosen work size is kept: beside the kernel cache, per device, driver and
// kernel. Empty when there is no cache folder.
std::filesystem::path gpu_work_size_file(const GpuMiner& gpu);

// True when the device can run batches of this shape: the local size divides the global size and
// is at most the work-group limit of the kernel on the device. Set-up refuses other sizes.
bool local_size_fits(std::int32_t global_size, std::int32_t local_size, std::size_t work_group_limit);

// Uploads a job: the midstate's chaining value and the target. Returns the status of the first
// call that failed (CL_SUCCESS when none did); a failed upload is tried again by the next batch.
std::int32_t gpu_set_job(GpuMiner& gpu, const WhirlpoolWords& midstate, const Target256& target);

struct BatchResult {
  bool found = false;             // the kernel reported a nonce that meets the target
  std::uint32_t nonce = 0;        // the reported nonce, when found
  std::uint32_t nonces_done = 0;  // global size x 128 after a completed batch, 0 when it failed
  std::string error;              // "clFinish: CL_OUT_OF_RESOURCES" when a call failed; empty otherwise
};

// Searches nonce_base .. nonce_base + global size x 128 - 1 (modulo 2^32) and waits for the result.
// Prints nothing: a failed call gives a result with its error, nothing found and no nonces done.
BatchResult gpu_run_batch(GpuMiner& gpu, std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base);

// Launches queued back to back: the device starts the next while the host reads the result of
// the one before. A launch covers nonce_base .. nonce_base + work_items x 128 - 1 (modulo 2^32);
// work_items must be a multiple of the local size. At most gpu_launch_slots launches can wait
// to be collected; they are collected in the order they were queued.
inline constexpr int gpu_launch_slots = 2;

// False when the launch could not be queued (nothing then waits to be collected for it; error
// names the failed call) or when every slot already waits (error untouched). Prints nothing.
bool gpu_queue_launch(GpuMiner& gpu, std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base,
                      std::uint32_t work_items, std::string& error);
// Waits for the oldest queued launch and returns its result (nonces_done 0 and the error when it
// failed; nonces_done 0 when nothing was queued).
BatchResult gpu_collect_launch(GpuMiner& gpu);
std::int32_t gpu_local_size(const GpuMiner& gpu);
