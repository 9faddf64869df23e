#pragma once
// Runs a program as a child process with its output captured in a file, for tests that
// drive the real executable or a helper server.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

struct ChildProcess {
  // Starts argv[0] (searched in PATH) with standard output and error going to one file.
  // Environment entries with an empty value are removed from the child's environment.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {},
               const std::filesystem::path& working_directory = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::string output() const;
  // Waits until the output holds needle at least count times; false on time-out or exit.
  bool wait_for_output(std::string_view needle, double timeout_seconds, std::size_t count = 1);
  void send_signal(int signal_number) const;
  // The exit code once the child has ended (-1 for death by signal), or nothing on time-out.
  std::optional<int> wait_exit(double timeout_seconds);
  // Reaps the child if it has ended; true once it has.
  bool has_exited();

  pid_t pid = -1;
  std::filesystem::path output_path;
  std::optional<int> exit_code;
};

// Number of times needle occurs in text.
std::size_t count_occurrences(std::string_view text, std::string_view needle);

}  // namespace test_support
