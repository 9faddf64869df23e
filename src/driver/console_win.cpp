#include <windows.h>

#include "driver/console.h"

namespace {

BOOL WINAPI handle_console_event(DWORD event) { return console_ctrl_handler(event) ? TRUE : FALSE; }

}  // namespace

void install_stop_handler() { SetConsoleCtrlHandler(handle_console_event, TRUE); }

void configure_console() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input != INVALID_HANDLE_VALUE) {
    // Quick-edit mode freezes the program while the user has text selected in the window.
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    mode &= ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
    mode |= ENABLE_EXTENDED_FLAGS;
    SetConsoleMode(input, mode);
  }
  SetConsoleOutputCP(CP_UTF8);
}
