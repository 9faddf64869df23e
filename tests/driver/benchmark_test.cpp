// The full benchmark run of the real executable: its whole duration of timed launches (30 s for
// a user, 3 s here).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "miner_output.h"
#include "miner_process.h"
#include "support/test_support.h"

namespace {

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

}  // namespace
