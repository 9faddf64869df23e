#include <sys/wait.h>

#include <cstdlib>

#include "support/platform.h"
#include "support/test_support.h"

namespace test_support {

std::FILE* open_command_pipe(const char* command) { return popen(command, "r"); }

int close_command_pipe(std::FILE* pipe) {
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void set_environment_variable(const std::string& name, const char* value) {
  if (value == nullptr) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value, 1);
  }
}

}  // namespace test_support
