// The device listing, the address check and the benchmark of the real executable on an OpenCL
// device of any type (VELTRANE_DEVICE_TYPE=all; on a machine without a GPU, PoCL's CPU device).

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "miner_output.h"
#include "miner_process.h"
#include "support/test_support.h"

namespace {

using miner_process::MinerResult;
using miner_process::run_miner;
using test_support::TemporaryDirectory;

constexpr int timeout_seconds = 180;  // PoCL compiles the kernel on first use

// The value of "[POCL/0]   CL_DEVICE_NAME   value" in clinfo's raw listing, for device 0 of the
// only platform; empty when clinfo is missing or shows another field order.
std::string clinfo_value(const std::string& listing, const std::string& field) {
  return first_capture(listing, "\\[[^/\\]]+/0\\]\\s+" + field + "\\s+(.*)");
}

TEST(GpuModesTest, ListGpusShowsTheDeviceAsClinfoDoes) {
  TemporaryDirectory directory;
  const MinerResult result = run_miner({"--list-gpus"}, directory.path, "all", timeout_seconds);
  EXPECT_EQ(result.exit_code, 0);
  ASSERT_TRUE(matches_whole(result.output, device_list_pattern)) << result.output;
  ASSERT_NE(result.output.find("\n  Platform 0, Device 0: "), std::string::npos) << result.output;

  const std::string clinfo = test_support::run_command("clinfo --raw 2>/dev/null").output;
  const std::string name = clinfo_value(clinfo, "CL_DEVICE_NAME");
  const std::string vendor = clinfo_value(clinfo, "CL_DEVICE_VENDOR");
  const std::string memory = clinfo_value(clinfo, "CL_DEVICE_GLOBAL_MEM_SIZE");
  if (first_capture(result.output, "OpenCL platforms: ([0-9]+)") != "1" || name.empty() || vendor.empty() || memory.empty()) {
    GTEST_SKIP() << "no single-platform clinfo listing to compare with";
  }
  const std::string first_device = "  Platform 0, Device 0: " + name + " (" + vendor + ", " +
                                   std::to_string(std::stoull(memory) / 1048576) + " MB)\n    PCI bus id: ";
  EXPECT_NE(result.output.find(first_device), std::string::npos) << result.output << "expected " << first_device;
}

// With -d the listing shows the chosen devices of the platform only, and says which it lacks.
// PoCL tells no PCI address: "unknown".
TEST(GpuModesTest, ListGpusShowsOnlyTheChosenDevices) {
  if (miner_process::machine_has_gpu()) GTEST_SKIP() << "the two devices here come from PoCL";
  const std::map<std::string, std::string> two_devices = {{"POCL_DEVICES", "pthread pthread"}};
  const struct {
    std::vector<std::string> arguments;
    std::string devices;  // the listing's lines after its first, with every device's name as NAME
  } cases[] = {
      {{}, "  Platform 0, Device 0: NAME\n  Platform 0, Device 1: NAME\n"},
      {{"-d", "1"}, "  Platform 0, Device 1: NAME\n"},
      {{"-d", "1,0"}, "  Platform 0, Device 1: NAME\n  Platform 0, Device 0: NAME\n"},
      {{"-d", "all"}, "  Platform 0, Device 0: NAME\n  Platform 0, Device 1: NAME\n"},
      {{"-d", "0,5"}, "  Platform 0, Device 0: NAME\n  Platform 0, Device 5: not found (2 available)\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"--list-gpus"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(arguments.back());
    TemporaryDirectory directory;
    const MinerResult result = run_miner(arguments, directory.path, "all", timeout_seconds, two_devices);
    EXPECT_EQ(result.exit_code, 0);
    const std::string listing =
        std::regex_replace(result.output, std::regex(": [^\n]* \\(.*, [0-9]+ MB\\)\n    PCI bus id: unknown\n"), ": NAME\n");
    EXPECT_EQ(listing, "OpenCL platforms: 1\n" + c.devices) << result.output;
  }
}

struct AddressCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* config;   // nullptr: no configuration file
  const char* notices;  // what the configuration file makes the miner say before the banner
};

TEST(GpuModesTest, MiningWithoutAnAddressStopsAfterGpuSetUp) {
  const AddressCase cases[] = {
      {"no address", {}, nullptr, ""},
      {"file empties the address", {"-a", "vtr1qexample"}, "rpc_user=x\r\naddress=\r\n",
       "  \\[\\*\\] veltrane-miner\\.conf overrides the command line: -a\n"},
      // The blanks make the key unknown: the address stays empty, and the user is told why.
      {"address line with blanks", {}, "address = vtr1qexample\n",
       "  \\[!\\] veltrane-miner\\.conf line 1 ignored: unknown key \"address \" \\(nothing is trimmed: write "
       "address=VALUE without blanks\\)\n"},
  };
  for (const AddressCase& c : cases) {
    TemporaryDirectory directory;
    if (c.config != nullptr) std::ofstream(directory.path / "veltrane-miner.conf", std::ios::binary) << c.config;
    std::vector<std::string> arguments = miner_process::small_work_arguments();
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const MinerResult result = run_miner(arguments, directory.path, "all", timeout_seconds);
    EXPECT_EQ(result.exit_code, 1) << c.name;
    const std::string expected(
        std::string(c.notices) +
        "\n  Veltrane OpenCL Miner v1\\.1\n"
        "  Whirlpool-512 \\(AMD / Intel / NVIDIA\\)\n\n" +
        std::string(miner_process::kernel_cache_line_pattern) +
        "  \\[\\+\\] OpenCL device: .*\n"
        "  Work size: 8192 global, 64 local\n\n"
        "  \\[!\\] Address required \\(-a\\)\n");
    EXPECT_TRUE(matches_whole(result.output, expected)) << c.name << ":\n" << result.output;
  }
}

// Started from another folder, the miner finds the kernel beside its executable; where there is
// none, it names every place it looked.
TEST(GpuModesTest, KernelFileBesideTheExecutableIsFoundFromAnyFolder) {
  TemporaryDirectory working_directory;
  const MinerResult found = run_miner({"-G", "8192", "-L", "64"}, working_directory.path, "all", timeout_seconds);
  EXPECT_EQ(found.exit_code, 1);
  EXPECT_NE(found.output.find("  [!] Address required (-a)\n"), std::string::npos) << found.output;

  TemporaryDirectory program_directory;
  const std::filesystem::path copy = std::filesystem::absolute(program_directory.path) / "veltrane-miner";
  std::filesystem::copy_file(miner_process::executable_path(), copy);
  const std::filesystem::path working = std::filesystem::absolute(working_directory.path);
  test_support::ChildProcess missing({copy.string()}, {{"VELTRANE_DEVICE_TYPE", "all"}}, working);
  const MinerResult result = miner_process::finish_miner(missing, timeout_seconds);
  EXPECT_EQ(result.exit_code, 1);
  const std::string expected = "  [!] Cannot read kernel file: whirlpool_opencl.cl\n"
                               "  [!] Looked for the kernel file at " + (working / "whirlpool_opencl.cl").string() +
                               " and " + (program_directory.path / "whirlpool_opencl.cl").string() +
                               "; give its path with -k PATH\n"
                               "  [!] Failed to initialize OpenCL\n";
  EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
}

// A CPU device gets batches of about a million nonces unless the command line sets the sizes.
TEST(GpuModesTest, DeviceThatIsNotAGpuGetsACpuWorkSizeUnlessOneIsGiven) {
  if (miner_process::machine_has_gpu()) GTEST_SKIP() << "this machine has an OpenCL GPU";
  struct Case {
    std::vector<std::string> arguments;
    const char* work_size_lines;
  };
  const Case cases[] = {
      {{}, "  \\[\\*\\] Not a GPU: default work size for a CPU device \\(-G and -L choose another\\)\n"
           "  Work size: 8192 global, 64 local\n\n"},
      {{"-G", "16384"}, "  \\[\\*\\] Not a GPU: .*\n  Work size: 16384 global, 64 local\n\n"},
      {{"-G", "4096", "-L", "32"}, "  Work size: 4096 global, 32 local\n\n"},
  };
  for (const Case& c : cases) {
    TemporaryDirectory directory;
    const MinerResult result = run_miner(c.arguments, directory.path, "all", timeout_seconds);
    EXPECT_EQ(result.exit_code, 1) << c.work_size_lines;
    EXPECT_TRUE(matches_whole(result.output, "\n  Veltrane OpenCL Miner v1\\.1\n"
                                             "  Whirlpool-512 \\(AMD / Intel / NVIDIA\\)\n\n" +
                                                 std::string(miner_process::kernel_cache_line_pattern) +
                                                 "  \\[\\+\\] OpenCL device: .*\n" +
                                                 std::string(c.work_size_lines) +
                                                 "  \\[!\\] Address required \\(-a\\)\n"))
        << result.output;
  }
}

// A local size the device cannot run would fail every batch; start-up refuses it, in both modes.
TEST(GpuModesTest, WorkSizeTheDeviceCannotRunIsRefusedAtStartUp) {
  const std::vector<std::string> modes[] = {{"-a", "vtr1qqqqsyqcyq5rqwzqfpg9scrgwpugpzysnah89ys"}, {"--benchmark"}};
  for (const std::vector<std::string>& mode : modes) {
    TemporaryDirectory directory;
    std::vector<std::string> arguments = {"-G", "1024", "-L", "100", "-k", miner_process::kernel_path().string()};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    const MinerResult result = run_miner(arguments, directory.path, "all", timeout_seconds);
    EXPECT_EQ(result.exit_code, 1) << mode[0];
    const std::string expected(
        "\n  Veltrane OpenCL Miner v1\\.1\n"
        "  Whirlpool-512 \\(AMD / Intel / NVIDIA\\)\n\n"
        "(  \\[\\*\\] Payout address: [^\n]*\n  \\[\\*\\] Node: [^\n]*\n)?" +
        std::string(miner_process::kernel_cache_line_pattern) +
        "  \\[!\\] Invalid work size: 1024 global, 100 local\n"
        "  \\[!\\] The local size must divide the global size and be at most [0-9]+ with this kernel on this "
        "device\n"
        "  \\[!\\] Failed to initialize OpenCL\n");
    EXPECT_TRUE(matches_whole(result.output, expected)) << mode[0] << ":\n" << result.output;
  }
}

struct StopCase {
  const char* name;
  std::vector<std::string> arguments;
  int signal_number;
  const char* send_after;  // the output that has to appear before the signal is sent
  bool during_timed_batches;
};

TEST(GpuModesTest, StoppedBenchmarkEndsAfterTheBatchUnderWay) {
  std::vector<std::string> small_work = miner_process::small_work_arguments();
  small_work.push_back("--benchmark");
  // The warm-up case sends its signal as soon as the work-size line, printed right before the
  // warm-up, appears. Its kernel makes each batch one long chain of dependent steps, which takes
  // a good part of a second on a CPU device and no less on a GPU, so the five warm-up batches
  // outlast the signal's way on any device; on a busy machine they slow down as much as the test.
  const std::vector<std::string> slow_warm_up = {
      "-G", "1", "-L", "1", "-k", VELTRANE_SOURCE_DIR "/tests/driver/slow_kernel.cl", "--benchmark"};
  const StopCase cases[] = {
      {"SIGINT during the timed batches", small_work, SIGINT, "s] ", true},
      {"SIGTERM during the warm-up", slow_warm_up, SIGTERM, "  Work size", false},
  };
  for (const StopCase& c : cases) {
    TemporaryDirectory directory;
    const auto miner = miner_process::start_miner(c.arguments, directory.path, "all");
    ASSERT_TRUE(miner->wait_for_output(c.send_after, timeout_seconds)) << c.name << ":\n" << miner->output();
    miner->send_signal(c.signal_number);
    ASSERT_TRUE(miner->wait_for_output("  [*] Stopping after the current batch (press Ctrl-C again to quit at once)\n",
                                       timeout_seconds))
        << c.name << ":\n" << miner->output();
    const MinerResult result = miner_process::finish_miner(*miner, timeout_seconds);
    EXPECT_EQ(result.exit_code, 0) << c.name << ":\n" << result.output;

    const BenchmarkOutput benchmark = parse_benchmark_output(result.output);
    if (c.during_timed_batches) {
      // The batch under way finishes, then the loop ends long before the full duration.
      ASSERT_TRUE(benchmark.has_result) << c.name << ":\n" << result.output;
      ASSERT_FALSE(benchmark.progress_seconds.empty()) << c.name;
      EXPECT_LT(benchmark.progress_seconds.back(), 30.0) << c.name;
      EXPECT_EQ(benchmark.result_hashes, benchmark.progress_seconds.size() * 8192 * 128) << c.name;
    } else {
      // Nothing was timed: no progress line and no rate, but a line that says so.
      EXPECT_TRUE(benchmark.progress_seconds.empty()) << c.name << ":\n" << result.output;
      EXPECT_FALSE(benchmark.has_result) << c.name << ":\n" << result.output;
      EXPECT_NE(result.output.find("  [*] Benchmark stopped before any batch was timed: no result\n"),
                std::string::npos)
          << c.name << ":\n" << result.output;
    }
  }
}

// A user who will not wait for the batch presses Ctrl-C again: the process ends at once. A batch
// of 537 million nonces takes half a minute or more on a CPU device, far longer than the test
// needs to send both signals.
TEST(GpuModesTest, SecondCtrlCEndsTheProgramAtOnce) {
  TemporaryDirectory directory;
  const std::vector<std::string> arguments = {"-G", "4194304", "-L", "64", "-k", miner_process::kernel_path().string(),
                                              "--benchmark"};
  const auto miner = miner_process::start_miner(arguments, directory.path, "all");
  ASSERT_TRUE(miner->wait_for_output("  Work size", timeout_seconds)) << miner->output();
  miner->send_signal(SIGINT);
  ASSERT_TRUE(miner->wait_for_output("  [*] Stopping after the current batch", timeout_seconds)) << miner->output();
  miner->send_signal(SIGINT);
  const auto exit_code = miner->wait_exit(timeout_seconds);
  ASSERT_TRUE(exit_code.has_value()) << "the second Ctrl-C did not end the miner:\n" << miner->output();
  EXPECT_EQ(*exit_code, 130);
  EXPECT_EQ(miner->output().find("Benchmark stopped"), std::string::npos) << "the batch was not waited for";
}

}  // namespace
