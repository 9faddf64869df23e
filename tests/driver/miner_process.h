#pragma once
// Runs the real veltrane-miner executable the way a user does: in a working directory of its
// own (where it looks for its configuration file), with or without the OpenCL device-type
// opt-in, reading its standard output and standard error as one stream.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"

namespace miner_process {

std::filesystem::path executable_path();
// The kernel the build places beside the executable.
std::filesystem::path kernel_path();

// Work size 8192 x 64 and the built kernel: batches of a million nonces, about a second each on
// a CPU device.
std::vector<std::string> small_work_arguments();

// The line the kernel cache may print before the device line, as a regular expression: the first
// start of a test run keeps the kernel, later ones load it.
inline constexpr std::string_view kernel_cache_line_pattern =
    "(  \\[\\*\\] Kernel (cached for the next start|loaded from the cache): .*\n)?";

// The kernel cache goes to a folder of the test run's own.
// device_type empty: VELTRANE_DEVICE_TYPE is removed from the environment (GPUs only).
// environment adds to it (VELTRANE_TEST_TIMINGS, for example).
std::unique_ptr<test_support::ChildProcess> start_miner(const std::vector<std::string>& arguments,
                                                        const std::filesystem::path& working_directory,
                                                        const std::string& device_type,
                                                        std::map<std::string, std::string> environment = {});

struct MinerResult {
  int exit_code = -1;  // -1 when the miner did not exit normally
  std::string output;
};

// Waits for the miner to end and collects its output; kills it after timeout_seconds.
MinerResult finish_miner(test_support::ChildProcess& miner, int timeout_seconds);

MinerResult run_miner(const std::vector<std::string>& arguments, const std::filesystem::path& working_directory,
                      const std::string& device_type, int timeout_seconds,
                      std::map<std::string, std::string> environment = {});

// True when the miner lists an OpenCL GPU, in which case expectations for machines without one
// do not hold.
bool machine_has_gpu();

}  // namespace miner_process
