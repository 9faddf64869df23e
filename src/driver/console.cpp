#include "driver/console.h"

#include <mutex>
#include <utility>

std::atomic<bool> g_stop_requested{false};

namespace {

std::mutex stop_listener_mutex;
std::function<void()> stop_listener;  // under stop_listener_mutex

}  // namespace

void set_stop_listener(std::function<void()> listener) {
  std::lock_guard lock(stop_listener_mutex);
  stop_listener = std::move(listener);
}

void call_stop_listener() {
  std::lock_guard lock(stop_listener_mutex);
  if (stop_listener) stop_listener();
}

bool console_ctrl_handler(std::uint32_t event) {
  switch (event) {
    case console_event_interrupt:
    case console_event_break:
    case console_event_close:
      if (g_stop_requested.exchange(true)) end_process_now(stop_again_exit_code);
      write_to_console_now(stop_notice, sizeof stop_notice - 1);
      wake_stop_listener();
      return true;
    default:
      return false;
  }
}
