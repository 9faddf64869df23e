#include <sys/wait.h>

#include "support/command_pipe.h"

namespace test_support {

std::FILE* open_command_pipe(const char* command) { return popen(command, "r"); }

int close_command_pipe(std::FILE* pipe) {
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace test_support
