// The log file of a real run against the test node: times on every line, no carriage returns,
// the periodic status line and rotation at a small limit, read while the miner writes it. That
// progress lines stay out of the log is the log file's unit test: blocks come too fast here for
// the console to show one.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using namespace e2e;
using test_support::TemporaryDirectory;

// The test node accepts blocks as fast as the miner finds them, five lines each: 0.05 MB
// (52428 bytes) is rotated within seconds and still keeps several status lines in its four files.
constexpr const char* log_limit_megabytes = "0.05";
constexpr std::uintmax_t log_limit_bytes = 52428;

// The log and its older files, oldest first, as far as they exist now.
std::string whole_log(const std::string& path) {
  std::string text;
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) {
    if (std::filesystem::exists(name)) text += test_support::read_file(name);
  }
  return text;
}

TEST(LogFileEndToEnd, EveryLineHasItsTimeAndTheStatusLineComesWithEachDevicesRates) {
  TestNode node = start_node({});
  TemporaryDirectory directory;
  const std::string path = (directory.path / "miner.log").string();
  auto miner = start_miner(node.url, {"--log-file", path, "--log-max-mb", log_limit_megabytes},
                           shortened_timings("status_log_interval=0.3"));
  ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds)) << miner->output();
  // Read while the miner writes: the status lines come, and the file is rotated.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto written_enough = [&path] {
    return test_support::count_occurrences(whole_log(path), "[*] Status: ") >= 2 && std::filesystem::exists(path + ".2");
  };
  while (!written_enough() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(written_enough()) << whole_log(path);
  EXPECT_EQ(interrupt(*miner), 0);

  const std::string log = whole_log(path);
  EXPECT_EQ(log.find('\r'), std::string::npos);
  const std::regex timed_line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d \S.*)");
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(std::regex_match(line, timed_line)) << line;
  const std::regex status_line(
      R"(\[\*\] Status: [0-9.]+ [KMGT]?H/s \(10 s\), [0-9.]+ [KMGT]?H/s \(run\); device \d+: [0-9.]+ [KMGT]?H/s \(10 s\), [0-9.]+ [KMGT]?H/s \(run\); \d+ blocks\n)");
  EXPECT_TRUE(std::regex_search(log, status_line)) << log;
  // The stop request and the end, each with its time. The stop thread writes the first while the
  // run may already be winding down, so their order is not fixed.
  EXPECT_NE(log.find(" [*] Stopping after the current batch"), std::string::npos) << log;
  EXPECT_NE(log.find(" [*] Done. "), std::string::npos) << log;
  for (const std::string& name : {path, path + ".1", path + ".2"}) {
    ASSERT_TRUE(std::filesystem::exists(name)) << name;
    EXPECT_LE(std::filesystem::file_size(name), log_limit_bytes) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".4"));
}

}  // namespace
