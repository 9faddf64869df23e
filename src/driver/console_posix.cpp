#include <csignal>

#include "driver/console.h"

namespace {

// Async-signal-safe: only a lock-free atomic exchange happens inside.
void handle_stop_signal(int signal_number) {
  console_ctrl_handler(signal_number == SIGINT ? console_event_interrupt : console_event_close);
}

}  // namespace

void install_stop_handler() {
  struct sigaction action{};
  action.sa_handler = handle_stop_signal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps blocking reads and writes going; no SA_RESETHAND, so a second Ctrl-C is
  // handled like the first instead of killing the process.
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

// Terminals have no quick-edit mode to switch off, and Linux consoles are UTF-8 already.
void configure_console() {}
