#include "gpu/gpu_miner.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "gpu/cache_folder.h"
#include "gpu/kernel_cache.h"
#include "gpu/opencl_device.h"
#include "program_version.h"

// One queued launch: its own result buffers, the host copies the queued reads fill, and the
// event of the last read.
struct LaunchSlot {
  cl_mem nonce_buffer = nullptr;
  cl_mem found_buffer = nullptr;
  cl_uint found = 0;
  cl_uint nonce = 0;
  cl_event done = nullptr;
  std::uint32_t nonces = 0;
  bool queued = false;
};

struct GpuMiner {
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel kernel = nullptr;
  cl_device_id device = nullptr;
  cl_mem tables_buffer = nullptr;
  cl_mem midstate_buffer = nullptr;
  cl_mem target_buffer = nullptr;
  cl_mem nonce_buffer = nullptr;
  cl_mem found_buffer = nullptr;
  std::int32_t global_size = 0;
  std::int32_t local_size = 0;
  std::array<LaunchSlot, gpu_launch_slots> slots;
  std::size_t next_slot = 0;    // where the next launch is queued
  std::size_t oldest_slot = 0;  // the launch collected next
  // The current job, kept so that an upload that failed is tried again before the next batch.
  WhirlpoolWords midstate{};
  Target256 target;
  bool job_upload_pending = false;
  KernelCacheKey kernel_key{};  // names the kernel's cache entry and the device's saved work size
};

namespace {

constexpr const char* kernel_name = "whirlpool_mine";
constexpr const char* build_options = "-cl-mad-enable -cl-fast-relaxed-math";
constexpr std::size_t device_text_size = 256;
constexpr std::size_t build_log_size = 4096;

// Kernel argument indices fixed by the kernel's signature.
enum KernelArgument : cl_uint {
  tables_argument = 0,
  midstate_argument = 1,
  tail0_argument = 2,
  tail1_argument = 3,
  target_argument = 4,
  nonce_base_argument = 5,
  nonce_argument = 6,
  found_argument = 7,
};

// global_size x 128 must count a batch's nonces in 32 bits without wrapping.
constexpr std::int32_t global_size_limit = std::int32_t{1} << 25;

// The build log, cut to what a 4,096-byte buffer holds; a longer log still shows its start,
// where the first errors are.
std::string build_log(cl_program program, cl_device_id device) {
  std::size_t size = 0;
  if (clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) != CL_SUCCESS || size == 0) {
    return {};
  }
  std::string log(size, '\0');
  if (clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr) != CL_SUCCESS) {
    return {};
  }
  log.resize(std::min(log.find('\0'), build_log_size - 1));
  return log;
}

cl_int set_buffer_argument(cl_kernel kernel, cl_uint index, const cl_mem& buffer) {
  return clSetKernelArg(kernel, index, sizeof(cl_mem), &buffer);
}

// The first OpenCL call of a sequence that failed, for the message.
struct OpenclFailure {
  const char* call = nullptr;
  cl_int status = CL_SUCCESS;
};

// Records a failing status unless an earlier call of the sequence has already failed.
bool failed(OpenclFailure& failure, const char* call, cl_int status) {
  if (status != CL_SUCCESS && failure.call == nullptr) failure = {call, status};
  return failure.call != nullptr;
}

std::string failure_text(const OpenclFailure& failure) {
  return std::string(failure.call) + ": " + opencl_error_name(failure.status);
}

constexpr std::size_t unknown_limit = std::numeric_limits<std::size_t>::max();

// The largest local size the kernel can run with on its device: its own work-group limit,
// and the device's limit on the first dimension. unknown_limit when the driver cannot say,
// so that a query a driver gets wrong does not stop a size that works.
std::size_t work_group_limit(const GpuMiner& gpu) {
  std::size_t kernel_limit = unknown_limit;
  if (clGetKernelWorkGroupInfo(gpu.kernel, gpu.device, CL_KERNEL_WORK_GROUP_SIZE, sizeof kernel_limit, &kernel_limit,
                               nullptr) != CL_SUCCESS) {
    kernel_limit = unknown_limit;
  }
  cl_uint dimensions = 0;
  if (clGetDeviceInfo(gpu.device, CL_DEVICE_MAX_WORK_ITEM_DIMENSIONS, sizeof dimensions, &dimensions, nullptr) !=
          CL_SUCCESS ||
      dimensions == 0) {
    return kernel_limit;
  }
  std::vector<std::size_t> item_sizes(dimensions);
  if (clGetDeviceInfo(gpu.device, CL_DEVICE_MAX_WORK_ITEM_SIZES, dimensions * sizeof(std::size_t), item_sizes.data(),
                      nullptr) != CL_SUCCESS) {
    return kernel_limit;
  }
  return std::min(kernel_limit, item_sizes[0]);
}

OpenclFailure upload_job(GpuMiner& gpu) {
  OpenclFailure failure;
  // Words and limbs go to the device as their little-endian memory images.
  gpu.job_upload_pending =
      failed(failure, "clEnqueueWriteBuffer",
             clEnqueueWriteBuffer(gpu.queue, gpu.midstate_buffer, CL_TRUE, 0, sizeof gpu.midstate,
                                  gpu.midstate.data(), 0, nullptr, nullptr)) ||
      failed(failure, "clEnqueueWriteBuffer",
             clEnqueueWriteBuffer(gpu.queue, gpu.target_buffer, CL_TRUE, 0, sizeof gpu.target.limbs,
                                  gpu.target.limbs.data(), 0, nullptr, nullptr)) ||
      failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, target_argument, gpu.target_buffer));
  return failure;
}

// Builds the program from source and creates the kernel; prints the failure and the build log.
bool build_from_source(GpuMiner& gpu, const std::string& source) {
  cl_int status = CL_SUCCESS;
  const char* source_text = source.data();
  const std::size_t source_length = source.size();
  gpu.program = clCreateProgramWithSource(gpu.context, 1, &source_text, &source_length, &status);
  if (status != CL_SUCCESS) {
    std::printf("  [!] clCreateProgramWithSource: %s\n", opencl_error_name(status));
    return false;
  }
  if (clBuildProgram(gpu.program, 1, &gpu.device, build_options, nullptr, nullptr) != CL_SUCCESS) {
    std::printf("  [!] OpenCL kernel build failed:\n");
    std::printf("%s\n", build_log(gpu.program, gpu.device).c_str());
    return false;
  }
  gpu.kernel = clCreateKernel(gpu.program, kernel_name, &status);
  if (status != CL_SUCCESS) {
    std::printf("  [!] clCreateKernel: %s\n", opencl_error_name(status));
    return false;
  }
  return true;
}

// Builds the program from a cached binary and creates the kernel. Returns why that failed (the
// program and kernel are then released), empty when both are ready.
std::string build_from_binary(GpuMiner& gpu, const std::string& binary) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(binary.data());
  const std::size_t length = binary.size();
  cl_int binary_status = CL_SUCCESS;
  cl_int status = CL_SUCCESS;
  gpu.program = clCreateProgramWithBinary(gpu.context, 1, &gpu.device, &length, &bytes, &binary_status, &status);
  OpenclFailure failure;
  if (!failed(failure, "clCreateProgramWithBinary", status) &&
      !failed(failure, "clCreateProgramWithBinary", binary_status) &&
      !failed(failure, "clBuildProgram", clBuildProgram(gpu.program, 1, &gpu.device, build_options, nullptr, nullptr))) {
    gpu.kernel = clCreateKernel(gpu.program, kernel_name, &status);
    failed(failure, "clCreateKernel", status);
  }
  if (failure.call == nullptr) return {};
  if (gpu.kernel != nullptr) clReleaseKernel(gpu.kernel);
  if (gpu.program != nullptr) clReleaseProgram(gpu.program);
  gpu.kernel = nullptr;
  gpu.program = nullptr;
  return failure_text(failure);
}

// The built program's binary for its one device; empty when the driver gives none.
std::string program_binary(const GpuMiner& gpu) {
  std::size_t size = 0;
  if (clGetProgramInfo(gpu.program, CL_PROGRAM_BINARY_SIZES, sizeof size, &size, nullptr) != CL_SUCCESS || size == 0) {
    return {};
  }
  std::string binary(size, '\0');
  auto* destination = reinterpret_cast<unsigned char*>(binary.data());
  if (clGetProgramInfo(gpu.program, CL_PROGRAM_BINARIES, sizeof destination, &destination, nullptr) != CL_SUCCESS) {
    return {};
  }
  return binary;
}

// Builds the program and kernel: from the cached binary when a usable one is there, from source
// otherwise, after which the new binary is kept for the next start. Any problem with the cache
// costs only the source build, and is said in one line.
bool build_kernel(GpuMiner& gpu, const std::string& source, bool use_kernel_cache) {
  gpu.kernel_key = kernel_cache_key({source, build_options, device_platform_name(gpu.device),
                                     device_info_text(gpu.device, CL_DEVICE_NAME),
                                     device_info_text(gpu.device, CL_DRIVER_VERSION), std::string(program_version)});
  if (!use_kernel_cache) return build_from_source(gpu, source);
  const KernelCacheKey& key = gpu.kernel_key;
  const std::filesystem::path folder = user_cache_folder();
  const std::filesystem::path entry_path = folder.empty() ? folder : folder / kernel_cache_file_name(key);
  bool replacing = false;
  if (!folder.empty()) {
    const CacheFileRead file = read_kernel_cache_file(entry_path);
    std::string problem = file.problem;
    if (file.found && problem.empty()) {
      const DecodedCacheEntry entry = decode_kernel_cache_entry(file.contents, key);
      problem = entry.problem.empty() ? build_from_binary(gpu, entry.binary) : entry.problem;
      if (problem.empty()) {
        std::printf("  [*] Kernel loaded from the cache: %s\n", path_text(entry_path).c_str());
        return true;
      }
    }
    if (file.found) {
      std::printf("  [!] Kernel cache entry not used (%s): building from source and replacing it\n", problem.c_str());
      replacing = true;
    }
  }
  if (!build_from_source(gpu, source)) return false;
  const std::string binary = program_binary(gpu);
  const std::string write_problem =
      folder.empty()   ? std::string("the environment names no cache folder")
      : binary.empty() ? std::string("the driver gave no program binary")
                       : write_kernel_cache_file(entry_path, encode_kernel_cache_entry(key, binary));
  if (!write_problem.empty()) {
    std::printf("  [!] Kernel cache not written (%s): the next start builds from source again\n",
                write_problem.c_str());
  } else if (!replacing) {
    std::printf("  [*] Kernel cached for the next start: %s\n", path_text(entry_path).c_str());
  }
  return true;
}

// Steps after the device is chosen; prints the first failure and returns false.
bool build_miner(GpuMiner& gpu, const std::string& kernel_path, bool use_kernel_cache) {
  cl_int status = CL_SUCCESS;
  gpu.context = clCreateContext(nullptr, 1, &gpu.device, nullptr, nullptr, &status);
  if (status != CL_SUCCESS) {
    std::printf("  [!] clCreateContext: %s\n", opencl_error_name(status));
    return false;
  }
  gpu.queue = clCreateCommandQueue(gpu.context, gpu.device, 0, &status);
  if (status != CL_SUCCESS) {
    std::printf("  [!] clCreateCommandQueue: %s\n", opencl_error_name(status));
    return false;
  }
  const std::string source = read_kernel_file(kernel_path);
  if (source.empty()) {
    std::printf("  [!] Cannot read kernel file: %s\n", kernel_path.c_str());
    return false;
  }
  if (!build_kernel(gpu, source, use_kernel_cache)) return false;

  // The table buffer is filled from a copy: OpenCL takes a non-const host pointer.
  std::uint64_t tables[whirlpool_table_words];
  std::copy(whirlpool_table_image, whirlpool_table_image + whirlpool_table_words, tables);
  OpenclFailure failure;
  const auto create_buffer = [&](cl_mem& buffer, cl_mem_flags flags, std::size_t size, void* contents) {
    buffer = clCreateBuffer(gpu.context, flags, size, contents, &status);
    return failed(failure, "clCreateBuffer", status);
  };
  const bool buffers_failed =
      create_buffer(gpu.tables_buffer, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, whirlpool_table_image_size, tables) ||
      create_buffer(gpu.midstate_buffer, CL_MEM_READ_ONLY, sizeof(WhirlpoolWords), nullptr) ||
      create_buffer(gpu.target_buffer, CL_MEM_READ_ONLY, sizeof(Target256), nullptr) ||
      create_buffer(gpu.nonce_buffer, CL_MEM_READ_WRITE, sizeof(cl_uint), nullptr) ||
      create_buffer(gpu.found_buffer, CL_MEM_READ_WRITE, sizeof(cl_uint), nullptr) ||
      failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, tables_argument, gpu.tables_buffer)) ||
      failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, midstate_argument, gpu.midstate_buffer)) ||
      failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, nonce_argument, gpu.nonce_buffer)) ||
      failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, found_argument, gpu.found_buffer));
  if (buffers_failed) {
    std::printf("  [!] %s\n", failure_text(failure).c_str());
    return false;
  }

  // A local size the device refuses would fail every batch: refuse it here, once.
  const std::size_t limit = work_group_limit(gpu);
  if (!local_size_fits(gpu.global_size, gpu.local_size, limit)) {
    std::printf("  [!] Invalid work size: %d global, %d local\n", gpu.global_size, gpu.local_size);
    if (limit == unknown_limit) {
      std::printf("  [!] The local size must divide the global size\n");
    } else {
      std::printf("  [!] The local size must divide the global size and be at most %zu with this kernel on this "
                  "device\n",
                  limit);
    }
    return false;
  }
  return true;
}

}  // namespace

std::string read_kernel_file(const std::string& path) {
  // Binary mode: line ends reach the compiler unchanged.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  std::string contents;
  char chunk[4096];
  std::size_t length = 0;
  while ((length = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, length);
  std::fclose(file);
  return contents;
}

GpuMiner* gpu_miner_create(int platform_index, int device_index, std::int32_t global_size, std::int32_t local_size,
                           const std::string& kernel_path, bool use_kernel_cache, bool several_devices) {
  if (global_size < 1 || global_size >= global_size_limit || local_size < 1) {
    std::printf("  [!] Invalid work size: %d global, %d local\n", global_size, local_size);
    return nullptr;
  }
  const int platform_count = count_platforms();
  if (platform_index < 0 || platform_index >= platform_count) {
    std::printf("  [!] OpenCL platform %d not found (%d available)\n", platform_index, platform_count);
    return nullptr;
  }
  const std::vector<cl_device_id> devices = device_ids(platform_index);
  const int device_count = static_cast<int>(devices.size());
  if (device_index < 0 || device_index >= device_count) {
    std::printf("  [!] OpenCL device %d not found (%d available)\n", device_index, device_count);
    if (device_count == 0) {
      const std::string hint = device_type_hint();
      if (!hint.empty()) std::printf("  [!] %s\n", hint.c_str());
    }
    return nullptr;
  }

  auto* gpu = new GpuMiner{};
  gpu->device = devices[static_cast<std::size_t>(device_index)];
  gpu->global_size = global_size;
  gpu->local_size = local_size;
  if (!build_miner(*gpu, kernel_path, use_kernel_cache)) {
    gpu_miner_release(gpu);
    return nullptr;
  }

  char name[device_text_size] = "";
  char vendor[device_text_size] = "";
  std::uint64_t memory_size = 0;
  get_gpu_device_info(platform_index, device_index, name, sizeof name, vendor, sizeof vendor, &memory_size);
  const auto megabytes = static_cast<std::size_t>(memory_size / (1024 * 1024));
  if (several_devices) {
    std::printf("  [+] OpenCL device %d: %s (%s, %zu MB, PCI %s)\n", device_index, name, vendor, megabytes,
                gpu_device_bus_id(platform_index, device_index).c_str());
  } else {
    std::printf("  [+] OpenCL device: %s (%s, %zu MB)\n", name, vendor, megabytes);
  }
  return gpu;
}

void gpu_miner_release(GpuMiner* gpu) {
  if (gpu == nullptr) return;
  for (cl_mem buffer :
       {gpu->tables_buffer, gpu->midstate_buffer, gpu->target_buffer, gpu->nonce_buffer, gpu->found_buffer}) {
    if (buffer != nullptr) clReleaseMemObject(buffer);
  }
  for (LaunchSlot& slot : gpu->slots) {
    if (slot.done != nullptr) {
      clWaitForEvents(1, &slot.done);
      clReleaseEvent(slot.done);
    }
    for (cl_mem buffer : {slot.nonce_buffer, slot.found_buffer}) {
      if (buffer != nullptr) clReleaseMemObject(buffer);
    }
  }
  if (gpu->kernel != nullptr) clReleaseKernel(gpu->kernel);
  if (gpu->program != nullptr) clReleaseProgram(gpu->program);
  if (gpu->queue != nullptr) clReleaseCommandQueue(gpu->queue);
  if (gpu->context != nullptr) clReleaseContext(gpu->context);
  delete gpu;
}

std::int32_t gpu_global_size(const GpuMiner& gpu) { return gpu.global_size; }

std::size_t gpu_work_group_limit(const GpuMiner& gpu) { return work_group_limit(gpu); }

bool gpu_set_work_size(GpuMiner& gpu, std::int32_t global_size, std::int32_t local_size) {
  if (global_size >= global_size_limit || !local_size_fits(global_size, local_size, work_group_limit(gpu))) {
    return false;
  }
  gpu.global_size = global_size;
  gpu.local_size = local_size;
  return true;
}

std::filesystem::path gpu_work_size_file(const GpuMiner& gpu) {
  const std::filesystem::path folder = user_cache_folder();
  if (folder.empty()) return folder;
  std::string name = kernel_cache_file_name(gpu.kernel_key);
  name.replace(name.size() - 4, 4, ".worksize");
  return folder / name;
}

bool local_size_fits(std::int32_t global_size, std::int32_t local_size, std::size_t work_group_limit) {
  return global_size > 0 && local_size > 0 && global_size % local_size == 0 &&
         static_cast<std::size_t>(local_size) <= work_group_limit;
}

std::int32_t gpu_set_job(GpuMiner& gpu, const WhirlpoolWords& midstate, const Target256& target) {
  gpu.midstate = midstate;
  gpu.target = target;
  return upload_job(gpu).status;
}

namespace {

// Binds a search's arguments and result buffers and enqueues it over work_items items. Argument
// values are captured by the enqueue. Records the first call that failed.
bool enqueue_search(GpuMiner& gpu, std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base,
                    std::size_t work_items, const cl_mem& nonce_buffer, const cl_mem& found_buffer,
                    OpenclFailure& failure) {
  const cl_ulong tail0_value = tail0;
  const cl_ulong tail1_value = tail1;
  const cl_uint nonce_base_value = nonce_base;
  const auto local_work_size = static_cast<std::size_t>(gpu.local_size);
  return !(failed(failure, "clSetKernelArg", clSetKernelArg(gpu.kernel, tail0_argument, sizeof tail0_value, &tail0_value)) ||
           failed(failure, "clSetKernelArg", clSetKernelArg(gpu.kernel, tail1_argument, sizeof tail1_value, &tail1_value)) ||
           failed(failure, "clSetKernelArg",
                  clSetKernelArg(gpu.kernel, nonce_base_argument, sizeof nonce_base_value, &nonce_base_value)) ||
           failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, nonce_argument, nonce_buffer)) ||
           failed(failure, "clSetKernelArg", set_buffer_argument(gpu.kernel, found_argument, found_buffer)) ||
           failed(failure, "clEnqueueNDRangeKernel",
                  clEnqueueNDRangeKernel(gpu.queue, gpu.kernel, 1, nullptr, &work_items, &local_work_size, 0, nullptr,
                                         nullptr)));
}

}  // namespace

BatchResult gpu_run_batch(GpuMiner& gpu, std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base) {
  OpenclFailure failure;
  if (gpu.job_upload_pending) failure = upload_job(gpu);

  const cl_uint cleared = 0;
  cl_uint found = 0;
  cl_uint nonce = 0;
  // Every call is checked: a batch is credited only when all of it, the result reads included,
  // went through. The calls stop at the first failure.
  const bool batch_failed =
      failure.call != nullptr ||
      failed(failure, "clEnqueueWriteBuffer",
             clEnqueueWriteBuffer(gpu.queue, gpu.found_buffer, CL_TRUE, 0, sizeof cleared, &cleared, 0, nullptr,
                                  nullptr)) ||
      !enqueue_search(gpu, tail0, tail1, nonce_base, static_cast<std::size_t>(gpu.global_size), gpu.nonce_buffer,
                      gpu.found_buffer, failure) ||
      failed(failure, "clFinish", clFinish(gpu.queue)) ||
      failed(failure, "clEnqueueReadBuffer",
             clEnqueueReadBuffer(gpu.queue, gpu.found_buffer, CL_TRUE, 0, sizeof found, &found, 0, nullptr, nullptr)) ||
      (found != 0 && failed(failure, "clEnqueueReadBuffer",
                            clEnqueueReadBuffer(gpu.queue, gpu.nonce_buffer, CL_TRUE, 0, sizeof nonce, &nonce, 0,
                                                nullptr, nullptr)));
  BatchResult result;
  if (batch_failed) {
    result.error = failure_text(failure);
    return result;
  }
  result.nonces_done = static_cast<std::uint32_t>(gpu.global_size) * nonces_per_item;
  result.found = found != 0;
  result.nonce = nonce;
  return result;
}

std::int32_t gpu_local_size(const GpuMiner& gpu) { return gpu.local_size; }

bool gpu_queue_launch(GpuMiner& gpu, std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base,
                      std::uint32_t work_items, std::string& error) {
  LaunchSlot& slot = gpu.slots[gpu.next_slot];
  if (slot.queued) return false;
  OpenclFailure failure;
  if (gpu.job_upload_pending) failure = upload_job(gpu);
  if (failure.call == nullptr && slot.found_buffer == nullptr) {
    cl_int status = CL_SUCCESS;
    slot.nonce_buffer = clCreateBuffer(gpu.context, CL_MEM_READ_WRITE, sizeof(cl_uint), nullptr, &status);
    if (!failed(failure, "clCreateBuffer", status)) {
      slot.found_buffer = clCreateBuffer(gpu.context, CL_MEM_READ_WRITE, sizeof(cl_uint), nullptr, &status);
      failed(failure, "clCreateBuffer", status);
    }
  }
  // Everything below is queued without waiting; the in-order queue keeps the steps in order.
  static const cl_uint cleared = 0;
  slot.found = 0;
  const bool launch_failed =
      failure.call != nullptr ||
      failed(failure, "clEnqueueWriteBuffer",
             clEnqueueWriteBuffer(gpu.queue, slot.found_buffer, CL_FALSE, 0, sizeof cleared, &cleared, 0, nullptr,
                                  nullptr)) ||
      !enqueue_search(gpu, tail0, tail1, nonce_base, work_items, slot.nonce_buffer, slot.found_buffer, failure) ||
      failed(failure, "clEnqueueReadBuffer",
             clEnqueueReadBuffer(gpu.queue, slot.found_buffer, CL_FALSE, 0, sizeof slot.found, &slot.found, 0, nullptr,
                                 nullptr)) ||
      failed(failure, "clEnqueueReadBuffer",
             clEnqueueReadBuffer(gpu.queue, slot.nonce_buffer, CL_FALSE, 0, sizeof slot.nonce, &slot.nonce, 0, nullptr,
                                 &slot.done));
  if (launch_failed) {
    // Whatever of it was queued must finish before the slot's buffers are used again.
    clFinish(gpu.queue);
    error = failure_text(failure);
    return false;
  }
  clFlush(gpu.queue);
  slot.nonces = work_items * nonces_per_item;
  slot.queued = true;
  gpu.next_slot = (gpu.next_slot + 1) % gpu.slots.size();
  return true;
}

BatchResult gpu_collect_launch(GpuMiner& gpu) {
  BatchResult result;
  LaunchSlot& slot = gpu.slots[gpu.oldest_slot];
  if (!slot.queued) return result;
  const cl_int status = slot.done != nullptr ? clWaitForEvents(1, &slot.done) : CL_INVALID_EVENT;
  if (slot.done != nullptr) clReleaseEvent(slot.done);
  slot.done = nullptr;
  slot.queued = false;
  gpu.oldest_slot = (gpu.oldest_slot + 1) % gpu.slots.size();
  if (status != CL_SUCCESS) {
    result.error = std::string("clWaitForEvents: ") + opencl_error_name(status);
    return result;
  }
  result.nonces_done = slot.nonces;
  result.found = slot.found != 0;
  result.nonce = slot.nonce;
  return result;
}
