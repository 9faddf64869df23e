#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "driver/console.h"

namespace {

// The stop thread waits on this pipe; the signal handler writes a byte into it, which is
// async-signal-safe where calling the listener is not.
int stop_pipe[2] = {-1, -1};

void run_stop_thread() {
  char byte = 0;
  while (true) {
    const ssize_t count = read(stop_pipe[0], &byte, 1);
    if (count == 1) {
      call_stop_listener();
    } else if (count == 0 || errno != EINTR) {
      return;
    }
  }
}

// Async-signal-safe: only a lock-free atomic exchange happens inside.
void handle_stop_signal(int signal_number) {
  console_ctrl_handler(signal_number == SIGINT ? console_event_interrupt : console_event_close);
}

}  // namespace

void install_stop_handler() {
  struct sigaction action{};
  action.sa_handler = handle_stop_signal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps blocking reads and writes going; no SA_RESETHAND, so a second Ctrl-C reaches
  // the handler too, which decides what it means.
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
  if (pipe(stop_pipe) == 0) std::thread(run_stop_thread).detach();
}

void wake_stop_listener() {
  if (stop_pipe[1] < 0) return;
  const char byte = 1;
  // Nothing to do about a full or closed pipe inside a signal handler: a wake is already waiting.
  [[maybe_unused]] const ssize_t written = write(stop_pipe[1], &byte, 1);
}

void write_to_console_now(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, text, length);
    if (written <= 0) return;  // nothing sensible to do about a closed output inside a signal handler
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void end_process_now(int exit_code) { _exit(exit_code); }

// Terminals have no quick-edit mode to switch off, and Linux consoles are UTF-8 already.
void configure_console() {}
