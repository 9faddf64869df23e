// The test-only timing overrides: names and values taken, anything else refused whole.

#include <gtest/gtest.h>

#include <string>

#include "run/timings.h"

namespace {

TEST(TimingOverrides, NamedValuesReplaceTheDefaultsAndTheRestStays) {
  Timings timings;
  std::string problem;
  ASSERT_TRUE(apply_timing_overrides(timings, "device_lost=2,node_retry=0.25,api_write=0", problem)) << problem;
  EXPECT_EQ(timings.device_lost, 2);
  EXPECT_EQ(timings.node_retry, 0.25);
  EXPECT_EQ(timings.api_write, 0);
  EXPECT_EQ(timings.tip_poll, Timings{}.tip_poll);
  EXPECT_TRUE(apply_timing_overrides(timings, "", problem)) << "nothing to change";
}

TEST(TimingOverrides, AnythingElseIsRefusedAndChangesNothing) {
  const struct {
    const char* text;
    const char* problem;
  } cases[] = {
      {"device_lost=2,no_such_timer=1", "unknown timing \"no_such_timer\""},
      {"device_lost", "timing device_lost needs a number of seconds >= 0"},
      {"device_lost=", "timing device_lost needs a number of seconds >= 0"},
      {"device_lost=-1", "timing device_lost needs a number of seconds >= 0"},
      {"device_lost=2s", "timing device_lost needs a number of seconds >= 0"},
      {"device_lost=inf", "timing device_lost needs a number of seconds >= 0"},
      {"device_lost=2,", "unknown timing \"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Timings timings;
    std::string problem;
    EXPECT_FALSE(apply_timing_overrides(timings, c.text, problem));
    EXPECT_EQ(problem, c.problem);
    EXPECT_EQ(timings.device_lost, Timings{}.device_lost);
  }
}

}  // namespace
