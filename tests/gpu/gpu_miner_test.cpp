// Device enumeration, set-up failures and dispatch failures of the GPU backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_miner.h"
#include "gpu/opencl_device.h"
#include "support/test_support.h"

namespace {

const std::string installed_kernel = VELTRANE_BINARY_DIR "/whirlpool_opencl.cl";

// Sets VELTRANE_DEVICE_TYPE (or unsets it for nullptr) for one scope; "all" afterwards.
struct DeviceTypeSetting {
  explicit DeviceTypeSetting(const char* value) {
    test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", value);
  }
  ~DeviceTypeSetting() { test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all"); }
  DeviceTypeSetting(const DeviceTypeSetting&) = delete;
  DeviceTypeSetting& operator=(const DeviceTypeSetting&) = delete;
};

struct CreateOutcome {
  GpuMiner* gpu = nullptr;
  std::string output;
};

CreateOutcome create_miner(int platform, int device, std::int32_t global_size, std::int32_t local_size,
                           const std::string& kernel_path) {
  testing::internal::CaptureStdout();
  GpuMiner* gpu = gpu_miner_create(platform, device, global_size, local_size, kernel_path);
  return {gpu, testing::internal::GetCapturedStdout()};
}

TEST(OpenclErrorName, NamesKnownCodesAndFallsBackForOthers) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {0, "CL_SUCCESS"},
      {-1, "CL_DEVICE_NOT_FOUND"},
      {-11, "CL_BUILD_PROGRAM_FAILURE"},
      {-46, "CL_INVALID_KERNEL_NAME"},
      {-54, "CL_INVALID_WORK_GROUP_SIZE"},
      {-5, "CL_UNKNOWN_ERROR"},
      {1, "CL_UNKNOWN_ERROR"},
  };
  for (const auto& [code, name] : cases) EXPECT_STREQ(opencl_error_name(code), name) << code;
}

TEST(DeviceType, ComesFromTheEnvironmentWithGpuAsDefault) {
  const std::pair<const char*, cl_device_type> cases[] = {
      {nullptr, CL_DEVICE_TYPE_GPU}, {"gpu", CL_DEVICE_TYPE_GPU},
      {"cpu", CL_DEVICE_TYPE_CPU},   {"accelerator", CL_DEVICE_TYPE_ACCELERATOR},
      {"all", CL_DEVICE_TYPE_ALL},   {"CPU", CL_DEVICE_TYPE_CPU},
      {"All", CL_DEVICE_TYPE_ALL},   {"", CL_DEVICE_TYPE_GPU},
  };
  for (const auto& [value, type] : cases) {
    const DeviceTypeSetting setting(value);
    EXPECT_EQ(device_type_from_environment(), type) << (value == nullptr ? "unset" : value);
    EXPECT_TRUE(device_type_setting_is_valid()) << (value == nullptr ? "unset" : value);
  }
  for (const char* value : {"cuda", "gpus", " gpu", "cpu,gpu"}) {
    const DeviceTypeSetting setting(value);
    EXPECT_FALSE(device_type_setting_is_valid()) << value;
    EXPECT_FALSE(device_type_from_name(value).has_value()) << value;
  }
}

TEST(DeviceType, HintNamesTheDevicesOfOtherTypesWhenTheChosenTypeHasNone) {
  struct Case {
    const char* name;
    cl_device_type chosen;
    std::vector<PlatformDeviceCounts> counts;
    std::string hint;
  };
  const Case cases[] = {
      {"one CPU", CL_DEVICE_TYPE_GPU, {{0, 1, 0}},
       "No GPU device, but platform 0 has 1 CPU device: run with VELTRANE_DEVICE_TYPE=all to use it"},
      {"several platforms and types", CL_DEVICE_TYPE_GPU, {{0, 0, 0}, {0, 2, 1}},
       "No GPU device, but platform 1 has 2 CPU devices, platform 1 has 1 accelerator device: run with "
       "VELTRANE_DEVICE_TYPE=all to use them"},
      {"CPU chosen, only GPUs", CL_DEVICE_TYPE_CPU, {{1, 0, 0}},
       "No CPU device, but platform 0 has 1 GPU device: run with VELTRANE_DEVICE_TYPE=all to use it"},
      {"a GPU on another platform", CL_DEVICE_TYPE_GPU, {{0, 1, 0}, {1, 0, 0}}, ""},
      {"nothing at all", CL_DEVICE_TYPE_GPU, {{0, 0, 0}}, ""},
      {"no platform", CL_DEVICE_TYPE_GPU, {}, ""},
      {"all chosen", CL_DEVICE_TYPE_ALL, {{0, 0, 0}}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(other_device_types_hint(c.chosen, c.counts), c.hint) << c.name;
}

TEST(DeviceEnumeration, DescribesListedDevicesOnly) {
  const DeviceTypeSetting setting("all");
  ASSERT_GE(count_platforms(), 1);
  ASSERT_GE(count_gpu_devices(0), 1);
  char name[256] = "untouched";
  char vendor[256] = "untouched";
  std::uint64_t memory_size = 0;
  ASSERT_TRUE(get_gpu_device_info(0, 0, name, sizeof name, vendor, sizeof vendor, &memory_size));
  EXPECT_GT(std::string(name).size(), 0u);
  EXPECT_GT(memory_size, 0u);

  const int platforms = count_platforms();
  EXPECT_EQ(count_gpu_devices(platforms), 0);
  EXPECT_EQ(count_gpu_devices(-1), 0);
  std::strcpy(name, "untouched");
  EXPECT_FALSE(get_gpu_device_info(0, count_gpu_devices(0), name, sizeof name, vendor, sizeof vendor, &memory_size));
  EXPECT_FALSE(get_gpu_device_info(platforms, 0, name, sizeof name, vendor, sizeof vendor, &memory_size));
  EXPECT_STREQ(name, "untouched");
}

TEST(GpuMinerCreate, RefusesBadSettingsWithTheirMessage) {
  const DeviceTypeSetting setting("all");
  const int platforms = count_platforms();
  const int devices = count_gpu_devices(0);
  struct Case {
    const char* name;
    int platform, device;
    std::int32_t global_size, local_size;
    std::string expected;
  };
  const Case cases[] = {
      {"platform past the last", platforms, 0, 64, 16,
       "  [!] OpenCL platform " + std::to_string(platforms) + " not found (" + std::to_string(platforms) +
           " available)\n"},
      {"negative platform", -1, 0, 64, 16,
       "  [!] OpenCL platform -1 not found (" + std::to_string(platforms) + " available)\n"},
      {"device past the last", 0, devices, 64, 16,
       "  [!] OpenCL device " + std::to_string(devices) + " not found (" + std::to_string(devices) +
           " available)\n"},
      {"negative device", 0, -1, 64, 16,
       "  [!] OpenCL device -1 not found (" + std::to_string(devices) + " available)\n"},
      // global size x 128 must fit in 32 bits: 2^25 would count 0 nonces per batch.
      {"global size 2^25", 0, 0, 33554432, 256, "  [!] Invalid work size: 33554432 global, 256 local\n"},
      {"global size zero", 0, 0, 0, 256, "  [!] Invalid work size: 0 global, 256 local\n"},
      {"negative global size", 0, 0, -64, 16, "  [!] Invalid work size: -64 global, 16 local\n"},
      {"local size zero", 0, 0, 64, 0, "  [!] Invalid work size: 64 global, 0 local\n"},
      // The work size is refused before any device is looked at.
      {"bad work size on a missing platform", platforms, 0, 64, -1, "  [!] Invalid work size: 64 global, -1 local\n"},
  };
  for (const Case& c : cases) {
    const CreateOutcome outcome = create_miner(c.platform, c.device, c.global_size, c.local_size, installed_kernel);
    EXPECT_EQ(outcome.gpu, nullptr) << c.name;
    EXPECT_EQ(outcome.output, c.expected) << c.name;
    gpu_miner_release(outcome.gpu);
  }
}

TEST(GpuMinerCreate, DefaultsToGpuDevicesOnly) {
  const DeviceTypeSetting setting(nullptr);
  if (count_gpu_devices(0) > 0) GTEST_SKIP() << "this machine has an OpenCL GPU";
  const CreateOutcome outcome = create_miner(0, 0, 64, 16, installed_kernel);
  EXPECT_EQ(outcome.gpu, nullptr);
  // The suite runs where some OpenCL device exists, so the other types are named.
  EXPECT_EQ(outcome.output, "  [!] OpenCL device 0 not found (0 available)\n  [!] " + device_type_hint() + "\n");
  EXPECT_NE(device_type_hint(), "");
}

TEST(GpuMinerCreate, ReportsKernelSourcesThatDoNotGiveTheKernel) {
  const DeviceTypeSetting setting("all");
  const CreateOutcome missing_outcome = create_miner(0, 0, 64, 16, "/nonexistent/whirlpool_opencl.cl");
  EXPECT_EQ(missing_outcome.gpu, nullptr);
  EXPECT_EQ(missing_outcome.output, "  [!] Cannot read kernel file: /nonexistent/whirlpool_opencl.cl\n");

  const test_support::TemporaryFile empty("", ".cl");
  const CreateOutcome empty_outcome = create_miner(0, 0, 64, 16, empty.path.string());
  EXPECT_EQ(empty_outcome.gpu, nullptr);
  EXPECT_EQ(empty_outcome.output, "  [!] Cannot read kernel file: " + empty.path.string() + "\n");

  const test_support::TemporaryFile broken("__kernel void whirlpool_mine(__global uint* found) { found[0] = ; }\n",
                                           ".cl");
  const CreateOutcome broken_outcome = create_miner(0, 0, 64, 16, broken.path.string());
  EXPECT_EQ(broken_outcome.gpu, nullptr);
  const std::string build_failed = "  [!] OpenCL kernel build failed:\n";
  ASSERT_EQ(broken_outcome.output.substr(0, build_failed.size()), build_failed);
  EXPECT_NE(broken_outcome.output.find("error"), std::string::npos) << broken_outcome.output;
  EXPECT_EQ(broken_outcome.output.find("[+] OpenCL device"), std::string::npos);

  const test_support::TemporaryFile misnamed("__kernel void other_kernel(__global uint* found) { found[0] = 1; }\n",
                                             ".cl");
  const CreateOutcome misnamed_outcome = create_miner(0, 0, 64, 16, misnamed.path.string());
  EXPECT_EQ(misnamed_outcome.gpu, nullptr);
  EXPECT_EQ(misnamed_outcome.output, "  [!] clCreateKernel: CL_INVALID_KERNEL_NAME\n");
}

TEST(LocalSizeFits, DividesTheGlobalSizeAndStaysWithinTheLimit) {
  struct Case {
    std::int32_t global_size, local_size;
    std::size_t limit;
    bool fits;
  };
  const Case cases[] = {
      {524288, 256, 1024, true}, {1024, 1024, 1024, true}, {1, 1, 1, true},  {520, 260, 4096, true},
      {1024, 100, 4096, false},  {64, 24, 4096, false},    {2048, 2048, 1024, false},
      {64, 16, 0, false},  // the limit could not be queried
      {0, 16, 1024, false},      {64, 0, 1024, false},     {-64, 16, 1024, false}, {64, -16, 1024, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(local_size_fits(c.global_size, c.local_size, c.limit), c.fits)
        << c.global_size << " global, " << c.local_size << " local, limit " << c.limit;
  }
}

// Such a size would make every batch fail; set-up refuses it with the work-size message.
TEST(GpuMinerCreate, RefusesALocalSizeTheDeviceCannotRun) {
  const DeviceTypeSetting setting("all");
  struct Case {
    std::int32_t global_size, local_size;
  };
  // 2^20 is far above any device's work-group limit.
  for (const Case& c : {Case{1024, 100}, Case{64, 24}, Case{1048576, 1048576}}) {
    const CreateOutcome outcome = create_miner(0, 0, c.global_size, c.local_size, installed_kernel);
    EXPECT_EQ(outcome.gpu, nullptr);
    const std::string expected = "  [!] Invalid work size: " + std::to_string(c.global_size) + " global, " +
                                 std::to_string(c.local_size) + " local\n" +
                                 "  [!] The local size must divide the global size and be at most ";
    EXPECT_EQ(outcome.output.substr(0, expected.size()), expected) << outcome.output;
    EXPECT_EQ(outcome.output.find("[+] OpenCL device"), std::string::npos) << outcome.output;
    gpu_miner_release(outcome.gpu);
  }
}

// A kernel whose nonce_base argument is 64 bits wide: setting it fails in every batch, after the
// set-up went through. The batch prints nothing, counts nothing and names the failed call.
TEST(GpuRunBatch, AFailedCallCountsNoNoncesAndNamesTheCall) {
  const DeviceTypeSetting setting("all");
  const CreateOutcome outcome =
      create_miner(0, 0, 64, 16, VELTRANE_SOURCE_DIR "/tests/e2e/argument_mismatch_kernel.cl");
  ASSERT_NE(outcome.gpu, nullptr) << outcome.output;
  EXPECT_EQ(outcome.output.rfind("  [+] OpenCL device: ", 0), 0u) << outcome.output;
  EXPECT_EQ(outcome.output.substr(outcome.output.size() - 4), "MB)\n") << outcome.output;
  EXPECT_EQ(gpu_global_size(*outcome.gpu), 64);

  EXPECT_EQ(gpu_set_job(*outcome.gpu, WhirlpoolWords{}, Target256{}), CL_SUCCESS);
  for (int attempt = 0; attempt < 2; ++attempt) {
    testing::internal::CaptureStdout();
    const BatchResult result = gpu_run_batch(*outcome.gpu, 0, 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result.error, "clSetKernelArg: CL_UNKNOWN_ERROR");
    EXPECT_FALSE(result.found);
    EXPECT_EQ(result.nonces_done, 0u);
  }
  gpu_miner_release(outcome.gpu);
}

}  // namespace
