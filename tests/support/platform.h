#pragma once
// The operating system's side of the test support: one implementation file per platform
// (platform_posix.cpp, platform_win.cpp), picked by CMake.

#include <cstdio>

namespace test_support {

// Starts a shell command (sh on POSIX, cmd.exe on Windows) with its standard output piped back;
// nullptr when it cannot be started.
std::FILE* open_command_pipe(const char* command);
// Waits for the command and closes the pipe; the command's exit code, -1 when it did not exit.
int close_command_pipe(std::FILE* pipe);

}  // namespace test_support
