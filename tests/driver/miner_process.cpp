#include "miner_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace miner_process {

std::filesystem::path executable_path() { return std::filesystem::path(VELTRANE_BINARY_DIR) / "veltrane-miner"; }

std::filesystem::path kernel_path() { return std::filesystem::path(VELTRANE_BINARY_DIR) / "whirlpool_opencl.cl"; }

std::vector<std::string> small_work_arguments() {
  return {"-G", "8192", "-L", "64", "-k", kernel_path().string()};
}

RunningMiner start_miner(const std::vector<std::string>& arguments, const std::filesystem::path& working_directory,
                         const std::string& device_type) {
  const std::string program = executable_path().string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (chdir(working_directory.c_str()) != 0) _exit(127);
    if (device_type.empty()) {
      unsetenv("VELTRANE_DEVICE_TYPE");
    } else {
      setenv("VELTRANE_DEVICE_TYPE", device_type.c_str(), 1);
    }
    // The test runner may ignore or block signals; the miner must start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  RunningMiner miner;
  miner.pid = pid;
  miner.output_fd = pipe_fds[0];
  return miner;
}

namespace {

using Clock = std::chrono::steady_clock;

// Reads what is available within the time left; false at end of output or when time is up.
bool read_some(RunningMiner& miner, Clock::time_point deadline) {
  if (miner.output_fd < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd request{miner.output_fd, POLLIN, 0};
  const int ready = poll(&request, 1, static_cast<int>(left));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  char buffer[4096];
  const ssize_t count = read(miner.output_fd, buffer, sizeof buffer);
  if (count <= 0) {
    close(miner.output_fd);
    miner.output_fd = -1;
    return false;
  }
  miner.output.append(buffer, static_cast<std::size_t>(count));
  return true;
}

}  // namespace

bool wait_for_output(RunningMiner& miner, std::string_view text, int timeout_seconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  while (miner.output.find(text) == std::string::npos) {
    if (!read_some(miner, deadline)) return false;
  }
  return true;
}

MinerResult finish_miner(RunningMiner& miner, int timeout_seconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  while (read_some(miner, deadline)) {
  }
  if (miner.output_fd >= 0) {  // still running at the deadline
    kill(miner.pid, SIGKILL);
    close(miner.output_fd);
    miner.output_fd = -1;
  }
  int status = 0;
  waitpid(miner.pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, miner.output};
}

MinerResult run_miner(const std::vector<std::string>& arguments, const std::filesystem::path& working_directory,
                      const std::string& device_type, int timeout_seconds) {
  RunningMiner miner = start_miner(arguments, working_directory, device_type);
  return finish_miner(miner, timeout_seconds);
}

}  // namespace miner_process
