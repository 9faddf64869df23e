#include <gtest/gtest.h>

#include <string>

#include "run/hash_rate.h"

namespace {

struct RateCase {
  double rate;
  const char* expected;
};

TEST(HashRateTest, FormatsWithTheLargestFittingUnit) {
  const RateCase cases[] = {
      {0.0, "0.00 H/s"},
      {999.994, "999.99 H/s"},
      {999.999, "1000.00 H/s"},  // the unit is chosen before rounding
      {1000.0, "1.00 KH/s"},
      {1500.0, "1.50 KH/s"},
      {12345678.0, "12.35 MH/s"},
      {2.5e9, "2.50 GH/s"},
      {999.9e12, "999.90 TH/s"},
      {1.5e15, "1500.00 TH/s"},  // no unit beyond TH/s
  };
  for (const RateCase& c : cases) {
    EXPECT_EQ(format_hash_rate(c.rate), c.expected) << "rate " << c.rate;
  }
}

TEST(RunSummaryTest, ElapsedTimeAndAverageRate) {
  struct Case {
    std::uint64_t hashes;
    double seconds;
    const char* line;
  };
  const Case cases[] = {
      {335544320, 19.7, "  [*] Ran 0:00:19, average 17.03 MH/s"},
      {0, 0.0, "  [*] Ran 0:00:00, average 0.00 H/s"},  // stopped before anything was measured
      {7200000000000, 3723.0, "  [*] Ran 1:02:03, average 1.93 GH/s"},
      {1000, 360000.0, "  [*] Ran 100:00:00, average 0.00 H/s"},
      {5, -1.0, "  [*] Ran 0:00:00, average 0.00 H/s"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_summary_line(c.hashes, c.seconds), c.line) << c.hashes << " in " << c.seconds;
}

}  // namespace
