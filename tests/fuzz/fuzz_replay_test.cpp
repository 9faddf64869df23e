// Replays every kept fuzz input (the seed corpus and the regression cases, each a file under
// tests/fuzz/corpus/<target>/ or tests/fuzz/regressions/<target>/) through the same targets the
// libFuzzer build runs, so that a fixed fault stays fixed without clang.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "support/test_support.h"

// Test names and failures show the target by its name.
void PrintTo(const FuzzTarget& target, std::ostream* out) { *out << target.name; }

namespace {

const std::filesystem::path fuzz_dir = std::filesystem::path(VELTRANE_SOURCE_DIR) / "tests" / "fuzz";

std::vector<std::filesystem::path> inputs_of(std::string_view target, std::string_view kind) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path folder = fuzz_dir / kind / target;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

void replay(const FuzzTarget& target, const std::filesystem::path& file) {
  const std::string input = test_support::read_file(file);
  try {
    target.run(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  } catch (const std::exception& failure) {
    ADD_FAILURE() << file.string() << ": " << failure.what();
  }
}

class FuzzReplay : public testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzReplay, SeedsAndRegressionInputsPassEveryCheck) {
  const std::vector<std::filesystem::path> seeds = inputs_of(GetParam().name, "corpus");
  // Every target has seeds; a missing folder would make this test pass without replaying anything.
  ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << GetParam().name;
  for (const auto& file : seeds) replay(GetParam(), file);
  for (const auto& file : inputs_of(GetParam().name, "regressions")) replay(GetParam(), file);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(fuzz_targets),
                         [](const testing::TestParamInfo<FuzzTarget>& target) { return std::string(target.param.name); });

}  // namespace
