// The autotune's candidates, choice and saved text, without a device.
#include "gpu/autotune.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AutotuneCandidates, FixedSizesWinAndOnlySizesTheDeviceRunsAreTimed) {
  struct Case {
    const char* name;
    std::int32_t fixed_global;
    std::int32_t fixed_local;
    std::size_t work_group_limit;
    std::vector<WorkSize> expected;
  };
  const std::vector<WorkSize> all_globals_at_64 = {{1024, 64},  {4096, 64},   {16384, 64},
                                                   {65536, 64}, {262144, 64}, {1048576, 64}};
  const Case cases[] = {
      {"local fixed", 0, 64, 1024, all_globals_at_64},
      {"global fixed", 65536, 0, 1024, {{65536, 64}, {65536, 128}, {65536, 256}}},
      {"both fixed", 4096, 128, 1024, {{4096, 128}}},
      {"device limit 128", 1024, 0, 128, {{1024, 64}, {1024, 128}}},
      {"fixed local that divides no global", 0, 96, 1024, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(autotune_candidates(c.fixed_global, c.fixed_local, c.work_group_limit), c.expected);
  }
  EXPECT_EQ(autotune_candidates(0, 0, 1024).size(), 18u) << "three local sizes by six global sizes";
}

TEST(AutotuneChoice, FastestWhoseLaunchesStayUnderTheLimit) {
  const double limit = AutotuneSettings{}.launch_limit_seconds;
  EXPECT_EQ(limit, 0.2) << "the product's limit";
  const WorkSizeMeasurement slow_short{{4096, 64}, 10e6, 0.05};
  const WorkSizeMeasurement fast_short{{65536, 128}, 20e6, 0.199};
  const WorkSizeMeasurement fastest_long{{1048576, 256}, 25e6, 0.2};
  EXPECT_EQ(choose_work_size({slow_short, fastest_long, fast_short}, limit), fast_short.size);
  EXPECT_EQ(choose_work_size({slow_short}, limit), slow_short.size);
  EXPECT_EQ(choose_work_size({fastest_long}, limit), std::nullopt) << "every launch too long";
  EXPECT_EQ(choose_work_size({fastest_long}, 1.0), fastest_long.size) << "a larger limit";
  EXPECT_EQ(choose_work_size({}, limit), std::nullopt);
}

TEST(AutotuneSavedChoice, ReadsBackWhatWasWrittenAndNothingElse) {
  const WorkSize size{65536, 128};
  EXPECT_EQ(encode_work_size(size), "65536 128\n");
  EXPECT_EQ(decode_work_size(encode_work_size(size)), size);
  for (const char* text : {"", "65536\n", "65536 128", "65536 128\nx", "65536  128\n", "0 128\n", "65536 -1\n",
                           "x 128\n", "99999999999 128\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(decode_work_size(text), std::nullopt);
  }
}

}  // namespace
