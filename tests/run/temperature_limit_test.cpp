// The temperature limit's decision on each reading.

#include <gtest/gtest.h>

#include <optional>

#include "run/temperature_limit.h"

namespace {

TEST(TemperatureLimit, PausesAtTheLimitResumesAtTheResumeTemperatureAndNeverWithoutAReading) {
  const TemperatureLimit limit{85, 80};
  const struct {
    const char* name;
    bool paused;
    std::optional<double> temperature;
    bool expected;
  } cases[] = {
      {"below the limit", false, 84.9, false},
      {"at the limit", false, 85, true},
      {"above the limit", false, 97, true},
      {"paused, cooling but above the resume temperature", true, 80.5, true},
      {"paused, at the resume temperature", true, 80, false},
      {"paused, no reading any more", true, std::nullopt, false},
      {"no reading", false, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(paused_for_temperature(limit, c.paused, c.temperature), c.expected);
  }
}

}  // namespace
