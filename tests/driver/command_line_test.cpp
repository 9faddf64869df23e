// The real executable's usage text, listing and failure exits, on a machine without a GPU.

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "miner_output.h"
#include "miner_process.h"
#include "support/test_support.h"

namespace {

using miner_process::MinerResult;
using miner_process::run_miner;
using test_support::TemporaryDirectory;

constexpr int timeout_seconds = 60;

std::string usage_text(const std::string& program_name) {
  return "Veltrane OpenCL Miner v1.1 - Whirlpool-512 (AMD/Intel/NVIDIA)\n\n"
         "Usage: " + program_name + " [options]\n\n"
         "  -o URL       RPC URL (default http://127.0.0.1:8899)\n"
         "  -u USER      RPC username\n"
         "  -p PASS      RPC password\n"
         "  -a ADDRESS   Mining payout address\n"
         "  -P PLATFORM  OpenCL platform ID (default 0)\n"
         "  -d DEVICE    OpenCL device ID (default 0)\n"
         "  -G GLOBAL    Global work size (default 524288)\n"
         "  -L LOCAL     Local work size (default 256)\n"
         "  -k PATH      Path to .cl kernel file\n"
         "  --benchmark  Benchmark mode\n"
         "  --list-gpus  List OpenCL devices\n"
         "  --rpc-cookie PATH  RPC credentials from the node's .cookie file\n"
         "  -h           Show help\n";
}

TEST(CommandLineTest, HelpPrintsOnlyTheUsageAndNeverOpensTheConfigFile) {
  TemporaryDirectory directory;
  // Opening a FIFO without a writer blocks, so a miner that reads its configuration file here
  // hangs until the time-out kills it.
  ASSERT_EQ(mkfifo((directory.path / "veltrane-miner.conf").c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> argument_lists = {
      {"-h"},
      {"--help"},
      {"-a", "vtr1qexample", "-G", "8192", "--list-gpus", "-h", "--benchmark"},
      {"--benchmark", "--help", "-u"},
  };
  for (const std::vector<std::string>& arguments : argument_lists) {
    const MinerResult result = run_miner(arguments, directory.path, "", 10);
    EXPECT_EQ(result.exit_code, 0) << arguments[0];
    EXPECT_EQ(result.output, usage_text(miner_process::executable_path().string())) << arguments[0];
  }
}

// True when this machine has an OpenCL GPU, in which case the no-GPU expectations do not hold.
bool has_gpu() {
  TemporaryDirectory directory;
  const MinerResult result = run_miner({"--list-gpus"}, directory.path, "", timeout_seconds);
  return result.output.find("  Platform ") != std::string::npos;
}

TEST(CommandLineTest, ListGpusWinsOverBenchmarkAndPrintsNoBanner) {
  TemporaryDirectory directory;
  const MinerResult result = run_miner({"--benchmark", "--list-gpus"}, directory.path, "", timeout_seconds);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(matches_whole(result.output, device_list_pattern)) << result.output;
}

TEST(CommandLineTest, WithoutAGpuSetUpFailsWithExitCode1) {
  if (has_gpu()) GTEST_SKIP() << "this machine has an OpenCL GPU";
  TemporaryDirectory directory;
  // "-h" as the value of "-u" is a user name, not a request for help.
  const MinerResult result = run_miner({"-u", "-h", "-a", "vtr1qexample"}, directory.path, "", timeout_seconds);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.output,
            "\n  Veltrane OpenCL Miner v1.1\n"
            "  Whirlpool-512 (AMD / Intel / NVIDIA)\n\n"
            "  [!] OpenCL device 0 not found (0 available)\n"
            "  [!] Failed to initialize OpenCL\n");
}

}  // namespace
