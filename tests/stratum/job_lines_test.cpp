// Which new jobs get a console line, on made-up times.
#include "stratum/job_lines.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::int64_t one_second = 1'000'000'000;

TEST(JobLines, EveryCleanJobAndAtMostOneOtherPerMinute) {
  const struct {
    double at_seconds;
    bool clean;
    bool told;
  } jobs[] = {
      {0, true, true},       // the first job
      {0.1, false, true},    // the first refresh
      {0.2, false, false},   // refreshes within the minute
      {30, false, false},
      {40, true, true},      // clean jobs always, and they do not count against the others
      {40.1, true, true},
      {60.05, false, false},  // a minute after the last refresh that was told, not after the start
      {60.1, false, true},
      {60.2, false, false},
      {500, false, true},
  };
  JobLines lines;
  for (const auto& job : jobs) {
    SCOPED_TRACE(job.at_seconds);
    EXPECT_EQ(job_line_due(lines, job.clean, static_cast<std::int64_t>(job.at_seconds * one_second)), job.told);
  }
}

// A flood of new jobs that are not clean, a thousand a second for ten minutes: one line a minute.
TEST(JobLines, AFloodGetsOneLineAMinute) {
  JobLines lines;
  lines.interval_seconds = 60;
  int told = 0;
  for (std::int64_t millisecond = 0; millisecond < 600'000; ++millisecond) {
    if (job_line_due(lines, false, millisecond * one_second / 1000)) ++told;
  }
  EXPECT_EQ(told, 10);
}

}  // namespace
