#pragma once
// The platform's way to run a shell command with its standard output piped back.

#include <cstdio>

namespace test_support {

// Starts the command (sh on POSIX, cmd.exe on Windows); nullptr when it cannot be started.
std::FILE* open_command_pipe(const char* command);
// Waits for the command and closes the pipe; the command's exit code, -1 when it did not exit.
int close_command_pipe(std::FILE* pipe);

}  // namespace test_support
