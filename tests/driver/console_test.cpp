#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/console.h"
#include "driver/monotonic_clock.h"

namespace {

// g_stop_requested is never cleared, so each check runs in a child process of its own.
// The child's exit code is the number of failed expectations; being killed fails the test.
struct ChildOutcome {
  bool exited = false;
  int exit_code = -1;
  int killing_signal = 0;
};

ChildOutcome run_in_child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  ChildOutcome outcome;
  outcome.exited = WIFEXITED(status);
  if (outcome.exited) outcome.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.killing_signal = WTERMSIG(status);
  return outcome;
}

struct EventCase {
  std::uint32_t event;
  bool handled;
};

TEST(ConsoleCtrlHandlerTest, StopEventsSetTheFlagOthersAreLeftAlone) {
  const EventCase cases[] = {
      {console_event_interrupt, true}, {console_event_break, true}, {console_event_close, true},
      {3, false},  // no event 3
      {5, false},  // log-off
      {6, false},  // shut-down
  };
  for (const EventCase& c : cases) {
    const ChildOutcome outcome = run_in_child([&c] {
      int failures = g_stop_requested.load() ? 1 : 0;
      if (console_ctrl_handler(c.event) != c.handled) ++failures;
      if (g_stop_requested.load() != c.handled) ++failures;
      return failures;
    });
    EXPECT_TRUE(outcome.exited) << "event " << c.event;
    EXPECT_EQ(outcome.exit_code, 0) << "event " << c.event;
  }
}

struct SignalCase {
  const char* name;
  std::initializer_list<int> signals;
  int exit_code;  // 0: the process went on after the signals
};

// The first stop sets the flag and leaves the process running; a second one of any kind ends it
// at once, from inside the handler.
TEST(StopHandlerTest, FirstSignalSetsTheFlagSecondEndsTheProcess) {
  const SignalCase cases[] = {
      {"SIGINT", {SIGINT}, 0},
      {"SIGTERM", {SIGTERM}, 0},
      {"SIGHUP", {SIGHUP}, 0},
      {"second Ctrl-C", {SIGINT, SIGINT}, stop_again_exit_code},
      {"Ctrl-C after SIGTERM", {SIGTERM, SIGINT}, stop_again_exit_code},
  };
  for (const SignalCase& c : cases) {
    const ChildOutcome outcome = run_in_child([&c] {
      install_stop_handler();
      int failures = g_stop_requested.load() ? 1 : 0;
      for (const int signal_number : c.signals) {
        raise(signal_number);  // the handler has run when raise returns
        if (!g_stop_requested.load()) ++failures;
      }
      return failures;
    });
    EXPECT_TRUE(outcome.exited) << c.name << " killed the process with signal " << outcome.killing_signal;
    EXPECT_EQ(outcome.exit_code, c.exit_code) << c.name;
  }
}

TEST(MonotonicClockTest, SleepIsNotCutShortByAStopSignal) {
  const ChildOutcome outcome = run_in_child([] {
    install_stop_handler();
    const pid_t sleeper = getpid();
    // A grandchild interrupts the sleep half-way through.
    if (fork() == 0) {
      usleep(300'000);
      kill(sleeper, SIGINT);
      _exit(0);
    }
    const std::int64_t start_ns = monotonic_now_ns();
    sleep_seconds(1);
    const std::int64_t slept_ns = monotonic_now_ns() - start_ns;
    wait(nullptr);
    int failures = g_stop_requested.load() ? 0 : 1;
    if (slept_ns < 1'000'000'000) ++failures;
    return failures;
  });
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 0);
}

}  // namespace
