#include "miner_process.h"

#include <csignal>

#include "support/test_support.h"

namespace miner_process {

std::filesystem::path executable_path() { return std::filesystem::path(VELTRANE_BINARY_DIR) / "veltrane-miner"; }

std::filesystem::path kernel_path() { return std::filesystem::path(VELTRANE_BINARY_DIR) / "whirlpool_opencl.cl"; }

std::vector<std::string> small_work_arguments() {
  return {"-G", "8192", "-L", "64", "-k", kernel_path().string()};
}

std::unique_ptr<test_support::ChildProcess> start_miner(const std::vector<std::string>& arguments,
                                                        const std::filesystem::path& working_directory,
                                                        const std::string& device_type,
                                                        std::map<std::string, std::string> environment) {
  std::vector<std::string> argv{executable_path().string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  environment["VELTRANE_DEVICE_TYPE"] = device_type;
  environment.emplace("XDG_CACHE_HOME", test_support::miner_cache_home().string());
  return std::make_unique<test_support::ChildProcess>(argv, environment, working_directory);
}

MinerResult finish_miner(test_support::ChildProcess& miner, int timeout_seconds) {
  const auto exit_code = miner.wait_exit(timeout_seconds);
  if (!exit_code) miner.send_signal(SIGKILL);
  return {exit_code.value_or(-1), miner.output()};
}

MinerResult run_miner(const std::vector<std::string>& arguments, const std::filesystem::path& working_directory,
                      const std::string& device_type, int timeout_seconds,
                      std::map<std::string, std::string> environment) {
  return finish_miner(*start_miner(arguments, working_directory, device_type, std::move(environment)), timeout_seconds);
}

bool machine_has_gpu() {
  test_support::TemporaryDirectory directory;
  const MinerResult result = run_miner({"--list-gpus"}, directory.path, "", 60);
  return result.output.find("  Platform ") != std::string::npos;
}

}  // namespace miner_process
