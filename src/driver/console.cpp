#include "driver/console.h"

std::atomic<bool> g_stop_requested{false};

bool console_ctrl_handler(std::uint32_t event) {
  switch (event) {
    case console_event_interrupt:
    case console_event_break:
    case console_event_close:
      if (g_stop_requested.exchange(true)) end_process_now(stop_again_exit_code);
      write_to_console_now(stop_notice, sizeof stop_notice - 1);
      return true;
    default:
      return false;
  }
}
