// The test HTTP server as a child process of the test.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <stdexcept>

#include "rpc/test_http_server.h"

namespace test_http {

const HttpClientTraits platform_http_client{"HTTP connect failed", "HTTP receive failed", {},
                                            NodeFailureKind::stratum_server, NodeFailureKind::not_http};

namespace {

// Reads the port line that the server prints once it listens.
std::uint16_t read_port(int fd) {
  std::string line;
  char c = 0;
  while (line.find('\n') == std::string::npos) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 10'000) <= 0 || read(fd, &c, 1) != 1) {
      throw std::runtime_error("test HTTP server did not start");
    }
    line += c;
  }
  return static_cast<std::uint16_t>(std::stoi(line));
}

}  // namespace

void TestHttpServer::start(const std::string& script_json) {
  static std::atomic<int> serial{0};
  directory = std::filesystem::temp_directory_path() /
              ("veltrane-http-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
  std::filesystem::create_directories(directory);
  const std::string script_path = (directory / "script.json").string();
  std::ofstream(script_path) << script_json;
  const std::string record_dir = (directory / "requests").string();
  std::filesystem::create_directories(record_dir);
  const std::string server_path = VELTRANE_SOURCE_DIR "/tests/rpc/http_test_server.py";

  int port_pipe[2];
  if (pipe(port_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(port_pipe[1], STDOUT_FILENO);
    close(port_pipe[0]);
    close(port_pipe[1]);
    execlp("python3", "python3", server_path.c_str(), script_path.c_str(), record_dir.c_str(),
           ipv6 ? "ipv6" : "ipv4", static_cast<char*>(nullptr));
    _exit(127);
  }
  server_id = pid;
  close(port_pipe[1]);
  try {
    port = read_port(port_pipe[0]);
  } catch (...) {
    close(port_pipe[0]);
    stop();
    throw;
  }
  close(port_pipe[0]);
}

void TestHttpServer::stop() {
  if (server_id <= 0) return;
  const auto pid = static_cast<pid_t>(server_id);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  server_id = -1;
}

}  // namespace test_http
