// The Windows side of the console and the clock, under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "driver/console.h"
#include "run/monotonic_clock.h"

namespace {

// The handler as Windows calls it, with Windows' own event codes. The program never clears
// the flag; each case here starts from a clear one.
TEST(ConsoleCtrlHandlerTest, StopEventsSetTheFlagOthersAreLeftToWindows) {
  struct Case {
    const char* name;
    DWORD event;
    bool handled;
  };
  const Case cases[] = {
      {"Ctrl-C", CTRL_C_EVENT, true},          {"Ctrl-Break", CTRL_BREAK_EVENT, true},
      {"window closed", CTRL_CLOSE_EVENT, true}, {"log-off", CTRL_LOGOFF_EVENT, false},
      {"shut-down", CTRL_SHUTDOWN_EVENT, false},
  };
  for (const Case& c : cases) {
    g_stop_requested.store(false);
    EXPECT_EQ(console_ctrl_handler(c.event), c.handled) << c.name;
    EXPECT_EQ(g_stop_requested.load(), c.handled) << c.name;
  }
  g_stop_requested.store(false);
}

// Needs a console: CTest gives none, so a separate run under a terminal sets
// VELTRANE_EXPECT_CONSOLE, and there a missing console is a failure, not a skip.
TEST(ConsoleSetup, SwitchesOffQuickEditAndSetsUtf8Output) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode_before = 0;
  if (!GetConsoleMode(input, &mode_before)) {
    if (std::getenv("VELTRANE_EXPECT_CONSOLE") != nullptr) FAIL() << "no console on standard input";
    GTEST_SKIP() << "standard input is not a console";
  }
  // Quick-edit on, as the console's default is, so that clearing it shows.
  ASSERT_TRUE(SetConsoleMode(input, mode_before | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS));
  ASSERT_TRUE(SetConsoleOutputCP(437));

  configure_console();

  DWORD mode = 0;
  ASSERT_TRUE(GetConsoleMode(input, &mode));
  EXPECT_EQ(mode & ENABLE_QUICK_EDIT_MODE, 0u);
  EXPECT_EQ(mode & ENABLE_EXTENDED_FLAGS, static_cast<DWORD>(ENABLE_EXTENDED_FLAGS));
  // The other flags stay as they were.
  EXPECT_EQ(mode | ENABLE_QUICK_EDIT_MODE, mode_before | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS);
  EXPECT_EQ(GetConsoleOutputCP(), 65001u);
  SetConsoleMode(input, mode_before);
}

// The performance-counter arithmetic gives nanoseconds: over a one-second sleep the clock
// agrees with the standard library's steady clock.
TEST(MonotonicClockTest, CountsNanosecondsAndSleepsTheWholeTime) {
  const auto steady_start = std::chrono::steady_clock::now();
  const std::int64_t start_ns = monotonic_now_ns();
  sleep_seconds(1);
  const std::int64_t slept_ns = monotonic_now_ns() - start_ns;
  const std::int64_t steady_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - steady_start).count();
  EXPECT_GE(slept_ns, 1'000'000'000);
  EXPECT_NEAR(static_cast<double>(slept_ns), static_cast<double>(steady_ns), 50e6);
}

}  // namespace
