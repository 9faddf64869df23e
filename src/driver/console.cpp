#include "driver/console.h"

std::atomic<bool> g_stop_requested{false};

bool console_ctrl_handler(std::uint32_t event) {
  switch (event) {
    case console_event_interrupt:
    case console_event_break:
    case console_event_close:
      g_stop_requested.exchange(true);
      return true;
    default:
      return false;
  }
}
