#pragma once
// The console and the user's stop request. The operating system delivers a stop (Ctrl-C,
// Ctrl-Break, the console window or terminal closing) on a thread or in a signal handler of its
// own. The first one sets g_stop_requested and says so, and the loops wind down after the batch
// under way; a second one ends the process at once, for a user who will not wait.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

// Set once by the stop handler and never cleared. Lock-free, so a signal handler may set it.
extern std::atomic<bool> g_stop_requested;
static_assert(std::atomic<bool>::is_always_lock_free);

// Console control event codes, numbered as the Windows console numbers them.
inline constexpr std::uint32_t console_event_interrupt = 0;  // Ctrl-C
inline constexpr std::uint32_t console_event_break = 1;      // Ctrl-Break
inline constexpr std::uint32_t console_event_close = 2;      // the console window is closing

// Exit code of a process ended by a second stop event, as shells report an interrupted program.
inline constexpr int stop_again_exit_code = 130;

// What the first stop event prints: the progress line may be open, so it starts a new line.
inline constexpr const char stop_notice[] =
    "\n  [*] Stopping after the current batch (press Ctrl-C again to quit at once)\n";

// For interrupt, break and close: the first such event sets g_stop_requested, prints
// stop_notice and reports the event handled; a later one ends the process with
// stop_again_exit_code. Any other event (log-off, shut-down) is left to the system's default.
bool console_ctrl_handler(std::uint32_t event);

// Routes the platform's stop events to console_ctrl_handler. On POSIX these are SIGINT, SIGTERM
// and SIGHUP.
void install_stop_handler();

// Runs listener on an ordinary thread (never inside a signal handler) after the first stop event,
// so that a wait ends at once instead of looking at g_stop_requested now and then. Replaces the
// listener set before; an empty one removes it. A stop that came before the listener was set
// does not call it: whoever sets one reads g_stop_requested before waiting.
void set_stop_listener(std::function<void()> listener);

// Calls the stop listener, if any (the platform's stop thread does).
void call_stop_listener();

// The platform side of console_ctrl_handler; all three are safe inside a signal handler. The
// first writes straight to standard output, the second ends the process without any clean-up,
// the third has call_stop_listener run on an ordinary thread.
void write_to_console_now(const char* text, std::size_t length);
[[noreturn]] void end_process_now(int exit_code);
void wake_stop_listener();

// Keeps a click in the console from pausing output (no quick-edit selection) and switches the
// output to UTF-8. Failures are ignored.
void configure_console();
