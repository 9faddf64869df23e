// The log file: times, lines without the console's rewrites, the bounded queue and rotation.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run/console_writer.h"
#include "run/log_file.h"
#include "support/test_support.h"

namespace {

using test_support::TemporaryDirectory;

TEST(LogFile, TimesAreIso8601WithTheLocalOffset) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 11;
  local.tm_hour = 7;
  local.tm_min = 20;
  local.tm_sec = 1;
  struct Case {
    long offset_seconds;
    const char* expected;
  };
  const Case cases[] = {
      {0, "2026-12-11T07:20:01+00:00"},
      {3600, "2026-12-11T07:20:01+01:00"},
      {-4 * 3600 - 30 * 60, "2026-12-11T07:20:01-04:30"},
      {5 * 3600 + 45 * 60, "2026-12-11T07:20:01+05:45"},
      {-12 * 3600, "2026-12-11T07:20:01-12:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(iso8601_local_time(local, c.offset_seconds), c.expected);
}

TEST(LogFile, AFullQueueDropsLinesAndTheCountGoesInOnceThereIsRoom) {
  LogQueue queue;
  queue.capacity = 3;
  for (const char* line : {"a", "b", "c", "d", "e"}) queue_log_line(queue, "T1", line);
  EXPECT_EQ(queue.lines, (std::deque<std::string>{"T1 a\n", "T1 b\n", "T1 c\n"}));
  EXPECT_EQ(queue.dropped, 2u);

  // One free place is not enough for the count and the line: that line is dropped too.
  queue.lines.pop_front();
  queue_log_line(queue, "T2", "f");
  EXPECT_EQ(queue.lines.size(), 2u);
  EXPECT_EQ(queue.dropped, 3u);

  queue.lines.clear();
  queue_log_line(queue, "T3", "g");
  EXPECT_EQ(queue.lines,
            (std::deque<std::string>{"T3 [!] 3 log lines dropped: the log file could not keep up\n", "T3 g\n"}));
  EXPECT_EQ(queue.dropped, 0u);
}

TEST(LogFile, TakesWholeConsoleLinesWithTheirTimeAndAppends) {
  TemporaryDirectory directory;
  const std::filesystem::path path = directory.path / "miner.log";
  std::ofstream(path, std::ios::binary) << "from an earlier run\n";

  std::string console_text;
  {
    LogFile log;
    std::string problem;
    ASSERT_TRUE(open_log(log, {.path = path.string(), .time_text = [] { return std::string("TIME"); }}, problem))
        << problem;
    ConsoleWriter console;
    console.write = [&console_text](std::string_view text) { console_text += text; };
    console.log = &log;
    console_say(console, "  [*] first\n\n");
    console_progress(console, "  [1 H/s] progress   ");
    console_say(console, "  [!] after progress\r\n  [*] two lines at once\n");
    console_log_only(console, "  [*] Status: for the log alone\n");
    console_progress(console, "  [2 H/s] progress   ");
    console_say(console, "\n  [*] Done.\n");
    close_log(log);
  }
  EXPECT_EQ(test_support::read_file(path),
            "from an earlier run\n"
            "TIME [*] first\n"
            "TIME [!] after progress\n"
            "TIME [*] two lines at once\n"
            "TIME [*] Status: for the log alone\n"
            "TIME [*] Done.\n");
  EXPECT_EQ(console_text.find("Status"), std::string::npos) << console_text;
}

TEST(LogFile, RotatesAtTheLimitKeepingThreeOlderFiles) {
  TemporaryDirectory directory;
  const std::string path = (directory.path / "miner.log").string();
  constexpr std::uint64_t limit = 100;
  std::vector<std::string> written;
  {
    LogFile log;
    std::string problem;
    ASSERT_TRUE(open_log(log, {.path = path, .limit_bytes = limit, .time_text = [] { return std::string("T"); }},
                         problem));
    for (int number = 0; number < 40; ++number) {
      const std::string line = "line " + std::to_string(number) + " of the run";
      log_lines(log, line + "\n");
      written.push_back("T " + line + "\n");
    }
  }  // destroying the log writes what is queued

  std::string kept;
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(std::filesystem::exists(name));
    const std::string text = test_support::read_file(name);
    EXPECT_LE(text.size(), limit);
    // A new file is started only when the next line does not fit, so none of the older ones is short.
    if (name != path) {
      EXPECT_GT(text.size() + 30, limit);
    }
    kept += text;
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".4"));
  // The four files hold the newest lines, in order, without a gap.
  std::string newest;
  for (auto line = written.rbegin(); line != written.rend() && newest.size() < kept.size(); ++line) newest = *line + newest;
  EXPECT_EQ(kept, newest);
}

TEST(LogFile, APathThatCannotBeOpenedIsRefusedWithTheReason) {
  TemporaryDirectory directory;
  LogFile log;
  std::string problem;
  EXPECT_FALSE(open_log(log, {.path = (directory.path / "missing" / "miner.log").string()}, problem));
  EXPECT_FALSE(problem.empty());
  log_lines(log, "  [*] goes nowhere\n");  // a log that is not open takes lines without harm
}

}  // namespace
