// The full benchmark run of the real executable: its whole duration of timed launches (30 s for
// a user, 3 s here).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "miner_output.h"
#include "miner_process.h"
#include "support/test_support.h"

namespace {

// "1.50 KH/s" as 1500 hashes per second.
double hashes_per_second(const std::string& shown) {
  char* unit = nullptr;
  double rate = std::strtod(shown.c_str(), &unit);
  for (std::size_t step = std::string_view(" KMGT").find(unit[1]); step > 0 && step != std::string_view::npos; --step) {
    rate *= 1000;
  }
  return rate;
}

TEST(BenchmarkTest, FullRunShowsProgressUntilTheDurationIsOver) {
  constexpr double duration = 3;
  test_support::TemporaryDirectory directory;
  std::vector<std::string> arguments = miner_process::small_work_arguments();
  arguments.push_back("--benchmark");
  const miner_process::MinerResult result =
      miner_process::run_miner(arguments, directory.path, "all", 300, {{"VELTRANE_TEST_TIMINGS", "benchmark=3"}});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  // The progress starts right after the work-size line; nothing else comes before the result.
  EXPECT_NE(result.output.find("  Work size: 8192 global, 64 local\n\n\r  ["), std::string::npos) << result.output;

  const BenchmarkOutput benchmark = parse_benchmark_output(result.output);
  ASSERT_TRUE(benchmark.has_result) << result.output;
  ASSERT_GE(benchmark.progress_seconds.size(), 2u) << result.output;
  EXPECT_TRUE(benchmark.progress_well_formed) << result.output;
  EXPECT_TRUE(std::is_sorted(benchmark.progress_seconds.begin(), benchmark.progress_seconds.end()));
  // Only the last batch reaches the full duration; the loop stops right after it. The lines show
  // one decimal, so a launch ending at 2.96 s already prints 3.0.
  EXPECT_GE(benchmark.progress_seconds.back(), duration);
  EXPECT_LE(benchmark.progress_seconds[benchmark.progress_seconds.size() - 2], duration);
  EXPECT_GE(benchmark.result_seconds, duration);
  EXPECT_EQ(benchmark.result_hashes, benchmark.progress_seconds.size() * 8192 * 128);
  EXPECT_NE(benchmark.result_rate, "0.00 H/s");
}

// Two devices at once: every progress line shows each device's rate beside the total, which is
// their sum, and no line comes before both have ended a timed launch (a device still warming up
// would show 0.00 H/s and hold the total down).
TEST(BenchmarkTest, SeveralDevicesShowEachRateBesideTheTotal) {
  test_support::TemporaryDirectory directory;
  std::vector<std::string> arguments = miner_process::small_work_arguments();
  for (const char* argument : {"-d", "all", "--benchmark"}) arguments.push_back(argument);
  const miner_process::MinerResult result = miner_process::run_miner(
      arguments, directory.path, "all", 300,
      {{"VELTRANE_TEST_TIMINGS", "benchmark=3"}, {"POCL_DEVICES", "pthread pthread"}});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  ASSERT_NE(result.output.find("  [+] 2 devices: 0 1\n"), std::string::npos) << result.output;

  const BenchmarkOutput benchmark = parse_benchmark_output(result.output);
  ASSERT_TRUE(benchmark.has_result) << result.output;
  ASSERT_FALSE(benchmark.progress_rates.empty()) << result.output;
  EXPECT_TRUE(benchmark.progress_well_formed) << result.output;
  for (std::size_t line = 0; line < benchmark.progress_rates.size(); ++line) {
    SCOPED_TRACE("progress line " + std::to_string(line) + " at " + std::to_string(benchmark.progress_seconds[line]) + " s");
    const std::vector<ShownRate>& rates = benchmark.progress_rates[line];
    ASSERT_EQ(rates.size(), 3u) << result.output;
    double device_sum = 0;
    for (std::size_t device = 0; device < 2; ++device) {
      EXPECT_EQ(rates[device + 1].device, static_cast<int>(device));
      EXPECT_NE(rates[device + 1].rate, "0.00 H/s") << result.output;
      device_sum += hashes_per_second(rates[device + 1].rate);
    }
    // Each figure is rounded to two decimals of its unit.
    EXPECT_NEAR(hashes_per_second(rates[0].rate), device_sum, 0.02 * device_sum) << result.output;
  }
  for (const char* device : {"\n  Device 0: ", "\n  Device 1: "}) {
    EXPECT_NE(result.output.find(device), std::string::npos) << result.output;
  }
}

}  // namespace
