#pragma once
// The shared fixtures folder in a test: CI always has it, so there (CI set) a missing folder
// fails the test instead of skipping it, and a broken checkout cannot pass unnoticed.

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_support.h"

namespace test_support {

inline bool fixtures_required() { return std::getenv("CI") != nullptr; }

}  // namespace test_support

// Ends the test when found (an optional) is empty: a failure under CI, a skip elsewhere.
#define VELTRANE_REQUIRE_FIXTURES(found)                                          \
  if (!(found)) {                                                                 \
    if (test_support::fixtures_required()) {                                      \
      FAIL() << "shared fixtures missing under CI: " VELTRANE_FIXTURES_DIR;       \
    }                                                                             \
    GTEST_SKIP() << "shared fixtures folder not found: " VELTRANE_FIXTURES_DIR;   \
  }
