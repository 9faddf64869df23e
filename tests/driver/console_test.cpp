#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/console.h"
#include "run/monotonic_clock.h"

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

// Waits until the process is blocked in a system call (state S in /proc), which for the sleeper
// below can only be its sleep. False when it ends first.
bool wait_until_blocked(pid_t pid) {
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  while (true) {
    std::ifstream stat_file(stat_path);
    std::string stat;
    std::getline(stat_file, stat);
    // "pid (command) state ...": the command may hold blanks and parentheses, so look after the last ")".
    const std::size_t command_end = stat.rfind(')');
    if (command_end == std::string::npos || command_end + 2 >= stat.size()) return false;
    const char state = stat[command_end + 2];
    if (state == 'S') return true;
    if (state == 'Z' || state == 'X') return false;
    usleep(1'000);
  }
}

// The signal is sent only once the sleeper is seen inside its wait, so it lands within the wait
// however fast or busy the machine is. An attempt in which the signal still came after the wait
// (the signaller was held up for the whole second) proves nothing and is made again.
TEST(MonotonicClockTest, SleepIsNotCutShortByAStopSignal) {
  constexpr int cut_short = 1;
  constexpr int signal_came_after = 2;
  const ChildOutcome outcome = run_in_child([] {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const pid_t sleeper = fork();
      if (sleeper == 0) {
        install_stop_handler();
        const std::int64_t start_ns = monotonic_now_ns();
        sleep_seconds(1);
        const std::int64_t slept_ns = monotonic_now_ns() - start_ns;
        int result = slept_ns < 1'000'000'000 ? cut_short : 0;
        if (!g_stop_requested.load()) result |= signal_came_after;
        _exit(result);
      }
      const bool signalled = wait_until_blocked(sleeper);
      if (signalled) kill(sleeper, SIGINT);
      int status = 0;
      waitpid(sleeper, &status, 0);
      if (!WIFEXITED(status) || (WEXITSTATUS(status) & cut_short) != 0) return 1;
      if (signalled && (WEXITSTATUS(status) & signal_came_after) == 0) return 0;
    }
    return 2;  // the signal never reached the sleeper during its wait
  });
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 0) << "1: the wait was cut short or the sleeper died; 2: no signal within the wait";
}

}  // namespace
