// Lines that repeat quickly: shown once, then counted, on made-up times.
#include "work/repeated_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t tenth_of_a_second = 100'000'000;

const std::string not_json = "Pool sent a malformed message: a line that is not a JSON object";
const std::string bad_notify = "Pool sent a malformed message: mining.notify with fewer than 8 parameters";

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// A pool that sends a malformed line every tenth of a second for 25 s, then stops; the caller
// also looks every tenth of a second. The first is shown, then a count every 10 s, and the last
// count comes when its 10 s are up although no line follows it.
TEST(RepeatedLines, FirstShownThenOneCountEveryIntervalUntilTheBurstIsTold) {
  RepeatedLines repeats;
  std::vector<std::pair<std::int64_t, std::string>> printed;
  for (std::int64_t tenth = 0; tenth <= 400; ++tenth) {
    const std::int64_t now = tenth * tenth_of_a_second;
    if (tenth <= 250) {
      for (const std::string& line : repeated_line_seen(repeats, not_json, now)) printed.emplace_back(tenth, line);
    }
    for (const std::string& line : repeats_due(repeats, now)) printed.emplace_back(tenth, line);
  }
  const std::vector<std::pair<std::int64_t, std::string>> expected = {
      {0, "  [!] " + not_json + "\n"},
      {100, "\n  [!] " + not_json + " (repeated 100 times)\n"},
      {200, "\n  [!] " + not_json + " (repeated 100 times)\n"},
      {300, "\n  [!] " + not_json + " (repeated 50 times)\n"},
  };
  EXPECT_EQ(printed, expected);
  EXPECT_TRUE(unreported_repeats(repeats).empty());
}

TEST(RepeatedLines, EachDistinctLineIsShownOnceAndCountedApart) {
  RepeatedLines repeats;
  repeats.report_interval_seconds = 1;
  EXPECT_EQ(joined(repeated_line_seen(repeats, not_json, 0)), "  [!] " + not_json + "\n");
  EXPECT_EQ(joined(repeated_line_seen(repeats, bad_notify, 1)), "  [!] " + bad_notify + "\n");
  EXPECT_TRUE(repeated_line_seen(repeats, not_json, 2).empty());
  EXPECT_TRUE(repeats_due(repeats, 5 * tenth_of_a_second).empty()) << "within the interval";
  EXPECT_EQ(joined(repeated_line_seen(repeats, not_json, 11 * tenth_of_a_second)),
            "\n  [!] " + not_json + " (repeated 2 times)\n");
  EXPECT_TRUE(repeats_due(repeats, 100 * tenth_of_a_second).empty()) << "nothing left to count";
  EXPECT_EQ(joined(repeated_line_seen(repeats, bad_notify, 101 * tenth_of_a_second)),
            "\n  [!] " + bad_notify + " (repeated 1 times)\n")
      << "a line seen before is counted, not shown again, even after a quiet spell";
}

}  // namespace
