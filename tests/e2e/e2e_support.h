#pragma once
// Running the real executable against the local test node: starting both, controlling the node
// and reading what the user reads.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace e2e {

extern const std::string source_dir;
extern const std::string payout_address;
inline constexpr double node_start_seconds = 60;  // Python starts slowly on a busy machine
// Kernel builds on a CPU device take a while; every wait for the miner allows for that.
inline constexpr double miner_start_seconds = 60;

struct TestNode {
  std::unique_ptr<test_support::ChildProcess> process;
  std::string url;
};

// The test node on a free port, with the given options.
TestNode start_node(std::vector<std::string> options);

// A socket bound to a free loopback port but not listening: connections to the port are refused,
// and no other program can take the port while the test holds it, nor before a node is started
// on this very socket.
struct ReservedPort {
  ReservedPort();
  ~ReservedPort();
  ReservedPort(const ReservedPort&) = delete;
  ReservedPort& operator=(const ReservedPort&) = delete;

  std::string url(const std::string& scheme) const;  // scheme://127.0.0.1:port
  // The test node serving on this socket (it inherits a copy of it).
  std::unique_ptr<test_support::ChildProcess> start_node_on_it() const;

  int fd;
  std::string port;
};

// Runs tools/testnode/control.py with the command; its output, error output included.
std::string node_control(const TestNode& node, const std::string& command);

// Blocks the node accepted, from its summary.
std::size_t node_accepted_blocks(const TestNode& node);

// Requests of a method the node received, from its summary.
std::size_t node_requests(const TestNode& node, const std::string& method);

// The miner in the build folder, with the node's credentials, a small work size and the test
// payout address unless the options give one; environment adds to VELTRANE_DEVICE_TYPE=all.
std::unique_ptr<test_support::ChildProcess> start_miner(const std::string& url, std::vector<std::string> options = {},
                                                        std::map<std::string, std::string> environment = {});

// The environment that shortens the miner's timers for a test ("node_retry=0.5,tip_poll=1"): the
// same behaviour as a rig's, seconds sooner.
std::map<std::string, std::string> shortened_timings(const std::string& overrides);

// Stops the miner the way a user does and returns its exit code.
int interrupt(test_support::ChildProcess& miner);

// Fails the test when one of the lines is missing or out of order.
void expect_in_order(const std::string& output, const std::vector<std::string>& lines);

}  // namespace e2e
