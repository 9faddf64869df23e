#include <cstdlib>

#include "support/platform.h"
#include "support/test_support.h"

namespace test_support {

// Binary mode: the output arrives byte for byte, without line-end translation.
std::FILE* open_command_pipe(const char* command) { return _popen(command, "rb"); }

// _pclose hands back the command's exit code itself.
int close_command_pipe(std::FILE* pipe) { return _pclose(pipe); }

// An empty value removes the variable.
void set_environment_variable(const std::string& name, const char* value) {
  _putenv_s(name.c_str(), value == nullptr ? "" : value);
}

}  // namespace test_support
