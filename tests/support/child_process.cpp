#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

#include "support/test_support.h"

namespace test_support {

namespace {

bool running_past(std::chrono::steady_clock::time_point deadline) { return std::chrono::steady_clock::now() > deadline; }

std::chrono::steady_clock::time_point deadline_after(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                           const std::filesystem::path& working_directory) {
  std::random_device random;
  output_path = std::filesystem::temp_directory_path() /
                ("veltrane-child-" + std::to_string(getpid()) + "-" + std::to_string(random()) + ".log");
  const int output_fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (output_fd < 0) throw std::runtime_error("cannot create " + output_path.string());

  pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(output_fd, STDOUT_FILENO);
    dup2(output_fd, STDERR_FILENO);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    // The child starts in its own process group so a signal sent to it reaches only it, and
    // with the default signal dispositions, whatever the test runner ignores or blocks.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (!working_directory.empty() && chdir(working_directory.c_str()) != 0) _exit(126);
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    execvp(arguments[0], arguments.data());
    _exit(127);
  }
  close(output_fd);
}

ChildProcess::~ChildProcess() {
  if (pid > 0 && !exit_code) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove(output_path, ignored);
}

std::string ChildProcess::output() const { return read_file(output_path); }

bool ChildProcess::wait_for_output(std::string_view needle, double timeout_seconds, std::size_t count) {
  const auto deadline = deadline_after(timeout_seconds);
  while (!running_past(deadline)) {
    if (count_occurrences(output(), needle) >= count) return true;
    if (has_exited()) return count_occurrences(output(), needle) >= count;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void ChildProcess::send_signal(int signal_number) const {
  if (pid > 0 && !exit_code) kill(pid, signal_number);
}

bool ChildProcess::has_exited() {
  if (exit_code) return true;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return false;
  exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

std::optional<int> ChildProcess::wait_exit(double timeout_seconds) {
  const auto deadline = deadline_after(timeout_seconds);
  while (!has_exited() && !running_past(deadline)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return exit_code;
}

std::size_t count_occurrences(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t position = text.find(needle); position != std::string_view::npos;
       position = text.find(needle, position + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace test_support
