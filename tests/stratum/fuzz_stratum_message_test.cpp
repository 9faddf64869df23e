// Replays the kept inputs of the Stratum message fuzz target (tests/fuzz/corpus/stratum_message
// and tests/fuzz/regressions/stratum_message) so that a fixed fault stays fixed without clang.

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "fuzz_stratum_message.h"
#include "support/test_support.h"

namespace {

const std::filesystem::path fuzz_dir = std::filesystem::path(VELTRANE_SOURCE_DIR) / "tests" / "fuzz";

TEST(StratumMessageFuzz, KeptInputsPassEveryCheck) {
  std::size_t replayed = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::filesystem::path folder = fuzz_dir / kind / "stratum_message";
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string input = test_support::read_file(entry.path());
      try {
        fuzz_stratum_message(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
      } catch (const std::exception& failure) {
        ADD_FAILURE() << entry.path().string() << ": " << failure.what();
      }
      ++replayed;
    }
  }
  // A missing corpus would make this test pass without replaying anything.
  EXPECT_GT(replayed, 0u);
}

}  // namespace
