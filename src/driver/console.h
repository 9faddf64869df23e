#pragma once
// The console and the user's stop request. The operating system delivers a stop (Ctrl-C,
// Ctrl-Break, the console window or terminal closing) on a thread or in a signal handler of its
// own; all it does is set g_stop_requested, and the loops wind down at their next check.

#include <atomic>
#include <cstdint>

// Set once by the stop handler and never cleared. Lock-free, so a signal handler may set it.
extern std::atomic<bool> g_stop_requested;
static_assert(std::atomic<bool>::is_always_lock_free);

// Console control event codes, numbered as the Windows console numbers them.
inline constexpr std::uint32_t console_event_interrupt = 0;  // Ctrl-C
inline constexpr std::uint32_t console_event_break = 1;      // Ctrl-Break
inline constexpr std::uint32_t console_event_close = 2;      // the console window is closing

// Sets g_stop_requested for interrupt, break and close and reports them handled, so the process
// is not ended; any other event (log-off, shut-down) is left to the system's default.
bool console_ctrl_handler(std::uint32_t event);

// Routes the platform's stop events to console_ctrl_handler. On POSIX these are SIGINT, SIGTERM
// and SIGHUP; none of them ends the process, however often it arrives.
void install_stop_handler();

// Keeps a click in the console from pausing output (no quick-edit selection) and switches the
// output to UTF-8. Failures are ignored.
void configure_console();
