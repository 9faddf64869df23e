// libFuzzer's entry point for one target, chosen at build time (VELTRANE_FUZZ_TARGET).
// A property that does not hold aborts, so that libFuzzer keeps the input as a crash.

#include <cstdio>
#include <cstdlib>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    VELTRANE_FUZZ_TARGET(data, size);
  } catch (const FuzzCheckFailure& failure) {
    std::fprintf(stderr, "failed check: %s\n", failure.what());
    std::abort();
  }
  return 0;
}
