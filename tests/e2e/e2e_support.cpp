#include "e2e/e2e_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "support/test_support.h"

namespace e2e {

const std::string source_dir = VELTRANE_SOURCE_DIR;
const std::string payout_address = "tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf";

namespace {

// The miner runs in the build folder, where its kernel file lies beside it.
const std::string binary_dir = VELTRANE_BINARY_DIR;
const std::string miner_path = binary_dir + "/veltrane-miner";
const std::string testnode_path = source_dir + "/tools/testnode/testnode.py";
const std::string control_path = source_dir + "/tools/testnode/control.py";

}  // namespace

TestNode start_node(std::vector<std::string> options) {
  std::vector<std::string> argv = {"python3", testnode_path, "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  TestNode node{std::make_unique<test_support::ChildProcess>(argv), ""};
  EXPECT_TRUE(node.process->wait_for_output("http://127.0.0.1:", node_start_seconds)) << node.process->output();
  const std::string output = node.process->output();
  const std::string prefix = "http://127.0.0.1:";
  const std::size_t start = output.find(prefix);
  if (start != std::string::npos) {
    const std::size_t end = output.find_first_not_of("0123456789", start + prefix.size());
    node.url = output.substr(start, end - start);
  }
  return node;
}

ReservedPort::ReservedPort() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  port = std::to_string(ntohs(address.sin_port));
}

ReservedPort::~ReservedPort() { close(fd); }

std::string ReservedPort::url(const std::string& scheme) const { return scheme + "://127.0.0.1:" + port; }

std::unique_ptr<test_support::ChildProcess> ReservedPort::start_node_on_it() const {
  const int inherited = dup(fd);  // unlike the socket itself, the duplicate stays open across exec
  auto node = std::make_unique<test_support::ChildProcess>(
      std::vector<std::string>{"python3", testnode_path, "--listen-fd", std::to_string(inherited)});
  close(inherited);
  return node;
}

std::string node_control(const TestNode& node, const std::string& command) {
  return test_support::run_command("python3 " + control_path + " --url " + node.url + " " + command + " 2>&1").output;
}

std::size_t node_accepted_blocks(const TestNode& node) {
  const std::string summary = node_control(node, "summary");
  const std::size_t begin = summary.find("\"accepted\": [");
  const std::size_t end = summary.find(']', begin);
  if (begin == std::string::npos || end == std::string::npos) return 0;
  return test_support::count_occurrences(std::string_view(summary).substr(begin, end - begin), "\"hash\"");
}

std::size_t node_requests(const TestNode& node, const std::string& method) {
  const std::string summary = node_control(node, "summary");
  const std::string key = "\"" + method + "\": ";
  const std::size_t found = summary.find(key, summary.find("\"requests\""));
  if (found == std::string::npos) return 0;
  return static_cast<std::size_t>(std::strtoul(summary.c_str() + found + key.size(), nullptr, 10));
}

std::map<std::string, std::string> shortened_timings(const std::string& overrides) {
  return {{"VELTRANE_TEST_TIMINGS", overrides}};
}

std::unique_ptr<test_support::ChildProcess> start_miner(const std::string& url, std::vector<std::string> options,
                                                        std::map<std::string, std::string> environment) {
  std::vector<std::string> argv = {miner_path, "-o", url, "-u", "veltrane", "-p", "veltrane", "-G", "256", "-L", "64"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (std::find(options.begin(), options.end(), "-a") == options.end()) {
    argv.push_back("-a");
    argv.push_back(payout_address);
  }
  environment.emplace("VELTRANE_DEVICE_TYPE", "all");
  environment.emplace("XDG_CACHE_HOME", test_support::miner_cache_home().string());
  // In the sanitizer build, LeakSanitizer's exit scan crashes on the OpenCL runtime's worker
  // threads once device threads have used them; leaks stay checked by the unit tests.
  environment.emplace("ASAN_OPTIONS", "detect_leaks=0");
  return std::make_unique<test_support::ChildProcess>(argv, environment, binary_dir);
}

int interrupt(test_support::ChildProcess& miner) {
  miner.send_signal(SIGINT);
  const auto code = miner.wait_exit(30);
  EXPECT_TRUE(code.has_value()) << "the miner did not stop after SIGINT";
  return code.value_or(-99);
}

void expect_in_order(const std::string& output, const std::vector<std::string>& lines) {
  std::size_t position = 0;
  for (const std::string& line : lines) {
    const std::size_t found = output.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: \"" << line << "\" in\n" << output;
    position = found + line.size();
  }
}

}  // namespace e2e
