#include "support/command_pipe.h"

namespace test_support {

// Binary mode: the output arrives byte for byte, without line-end translation.
std::FILE* open_command_pipe(const char* command) { return _popen(command, "rb"); }

// _pclose hands back the command's exit code itself.
int close_command_pipe(std::FILE* pipe) { return _pclose(pipe); }

}  // namespace test_support
