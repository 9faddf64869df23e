#include <windows.h>

#include "driver/console.h"

namespace {

BOOL WINAPI handle_console_event(DWORD event) { return console_ctrl_handler(event) ? TRUE : FALSE; }

}  // namespace

void install_stop_handler() { SetConsoleCtrlHandler(handle_console_event, TRUE); }

// Windows runs console handlers on a thread of their own, where the listener may run directly.
void wake_stop_listener() { call_stop_listener(); }

void write_to_console_now(const char* text, std::size_t length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

// TerminateProcess rather than ExitProcess: no DLL shut-down code runs, so a GPU driver busy with
// a kernel on the main thread cannot hold the exit up.
void end_process_now(int exit_code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code));
  ExitProcess(static_cast<UINT>(exit_code));  // not reached: ending the own process does not return
}

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
