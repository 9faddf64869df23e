// The real executable against the local test node, on whatever OpenCL device is there.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;

const std::string source_dir = VELTRANE_SOURCE_DIR;
// The miner runs in the build folder, where its kernel file lies beside it.
const std::string binary_dir = VELTRANE_BINARY_DIR;
const std::string miner_path = binary_dir + "/veltrane-miner";
const std::string testnode_path = source_dir + "/tools/testnode/testnode.py";
const std::string control_path = source_dir + "/tools/testnode/control.py";
const std::string payout_address = "tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf";
constexpr double node_start_seconds = 10;
// Kernel builds on a CPU device take a while; every wait below allows for that.
constexpr double miner_start_seconds = 60;

struct TestNode {
  std::unique_ptr<ChildProcess> process;
  std::string url;
};

TestNode start_node(std::vector<std::string> options) {
  std::vector<std::string> argv = {"python3", testnode_path, "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  TestNode node{std::make_unique<ChildProcess>(argv), ""};
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

std::string node_control(const TestNode& node, const std::string& command) {
  return test_support::run_command("python3 " + control_path + " --url " + node.url + " " + command + " 2>&1").output;
}

// Blocks the node accepted, from its summary.
std::size_t node_accepted_blocks(const TestNode& node) {
  const std::string summary = node_control(node, "summary");
  const std::size_t begin = summary.find("\"accepted\": [");
  const std::size_t end = summary.find(']', begin);
  if (begin == std::string::npos || end == std::string::npos) return 0;
  return count_occurrences(std::string_view(summary).substr(begin, end - begin), "\"hash\"");
}

std::unique_ptr<ChildProcess> start_miner(const std::string& url, std::vector<std::string> options = {}) {
  std::vector<std::string> argv = {miner_path, "-o", url, "-u", "veltrane", "-p", "veltrane", "-G", "256", "-L", "64"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (std::find(options.begin(), options.end(), "-a") == options.end()) {
    argv.push_back("-a");
    argv.push_back(payout_address);
  }
  return std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{{"VELTRANE_DEVICE_TYPE", "all"}},
                                        binary_dir);
}

// Stops the miner the way a user does and returns its exit code.
int interrupt(ChildProcess& miner) {
  miner.send_signal(SIGINT);
  const auto code = miner.wait_exit(30);
  EXPECT_TRUE(code.has_value()) << "the miner did not stop after SIGINT";
  return code.value_or(-99);
}

// Positions of the lines in order; fails when one is missing or out of order.
void expect_in_order(const std::string& output, const std::vector<std::string>& lines) {
  std::size_t position = 0;
  for (const std::string& line : lines) {
    const std::size_t found = output.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: \"" << line << "\" in\n" << output;
    position = found + line.size();
  }
}

TEST(MiningEndToEnd, BlocksAreFoundSubmittedAcceptedAndCounted) {
  struct Case {
    const char* name;
    std::vector<std::string> node_options;
  };
  const Case cases[] = {
      {"segwit template with transactions", {"--transactions", "3"}},
      {"template without witness commitment", {"--transactions", "2", "--no-witness-commitment"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNode node = start_node(c.node_options);
    auto miner = start_miner(node.url);
    ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds, 2)) << miner->output();
    EXPECT_EQ(interrupt(*miner), 0);

    const std::string output = miner->output();
    expect_in_order(output, {"  Veltrane OpenCL Miner v1.1\n", "  [*] Dev fee: 1% per block (22-byte script)\n",
                             "  [*] Requesting block template...\n", "  [+] Height 1", "  [*] Mining h=",
                             "\n  [*] BLOCK FOUND! Nonce=", "  [*] Submitting...\n", "  [+] ACCEPTED!\n\n",
                             "  [*] Requesting block template...\n", "  [+] Height ", "\n  [*] Done. "});
    const std::size_t accepted = count_occurrences(output, "[+] ACCEPTED!");
    EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " blocks\n"), std::string::npos) << output;
    EXPECT_EQ(count_occurrences(output, "[!] REJECTED"), 0u) << output;
    EXPECT_EQ(node_accepted_blocks(node), accepted) << node_control(node, "summary");
  }
}

TEST(MiningEndToEnd, RejectedBlockIsNotCountedAndTheSameTipPrintsNoNewHeight) {
  TestNode node = start_node({"--reject-all"});
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[!] REJECTED", miner_start_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_EQ(count_occurrences(output, "  [+] Height "), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "ACCEPTED"), 0u) << output;
  EXPECT_NE(output.find(" hashes, 0 blocks\n"), std::string::npos) << output;
  expect_in_order(output, {"  [!] REJECTED\n\n", "  [*] Requesting block template...\n", "  [*] Mining h="});
}

TEST(MiningEndToEnd, NewBestBlockOnTheNodeEndsTheJob) {
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[*] Mining h=", miner_start_seconds)) << miner->output();
  node_control(node, "advancetip");
  // The tip is polled every 5 seconds between batches.
  ASSERT_TRUE(miner->wait_for_output("\n  [*] New block\n", 30)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [*] Mining h=", "\n  [*] New block\n", "  [*] Requesting block template...\n",
                                    "  [+] Height ", "  [*] Mining h=", "\n  [*] Done. ", " hashes, 0 blocks\n"});
}

TEST(MiningEndToEnd, NodeDownThenBackAndStopDuringTheWait) {
  std::string url;
  std::string port;
  {
    TestNode probe = start_node({});
    url = probe.url;
    port = url.substr(url.rfind(':') + 1);
  }  // the node is gone: its port refuses connections now
  auto miner = start_miner(url);
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds, 2)) << miner->output();

  std::vector<std::string> argv = {"python3", testnode_path, "--port", port};
  ChildProcess node(argv);
  ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", 30)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [!] Invalid template\n", "  [*] Requesting block template...\n",
                                    "  [!] Invalid template\n", "  [+] Height ", "\n  [*] Done. "});
}

TEST(MiningEndToEnd, StopDuringTheFiveSecondWaitStillEndsCleanly) {
  std::string url;
  {
    TestNode probe = start_node({});
    url = probe.url;
  }
  auto miner = start_miner(url);
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_NE(output.find("\n  [*] Done. 0 hashes, 0 blocks\n"), std::string::npos) << output;
  EXPECT_EQ(count_occurrences(output, "  [!] Invalid template\n"), 1u) << "the wait is finished, not repeated";
}

TEST(MiningEndToEnd, PayoutAddressThatDoesNotDecodeEndsWithExitCodeOne) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-a", "vtr1notanaddress"});
  const auto code = miner->wait_exit(miner_start_seconds);
  ASSERT_TRUE(code.has_value()) << miner->output();
  EXPECT_EQ(*code, 1);
  expect_in_order(miner->output(), {"  [*] Requesting block template...\n", "  [+] Height ", "  [!] Bad address\n"});
}

TEST(MiningEndToEnd, CandidateThatFailsTheCpuCheckIsNotSubmitted) {
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url, {"-k", source_dir + "/tests/e2e/faulty_kernel.cl"});
  ASSERT_TRUE(miner->wait_for_output("  [!] CPU rejected hash\n", miner_start_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] Mining h=", "  [!] CPU rejected hash\n", "  [*] Requesting block template...\n"});
  EXPECT_EQ(count_occurrences(output, "Submitting"), 0u) << output;
  EXPECT_EQ(node_control(node, "summary").find("\"submitblock\""), std::string::npos) << "nothing was submitted";
}

// Every batch fails after a set-up that went through, as on a device that has been lost: the
// error is named once, its repeats are counted, and after thirty seconds the miner gives up with
// exit code 1 so that a supervisor can restart it.
TEST(MiningEndToEnd, DeviceThatFailsEveryBatchStopsTheMinerWithExitCodeOne) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-k", source_dir + "/tests/e2e/argument_mismatch_kernel.cl"});
  const auto code = miner->wait_exit(miner_start_seconds + 120);
  ASSERT_TRUE(code.has_value()) << miner->output();
  EXPECT_EQ(*code, 1);
  const std::string output = miner->output();
  const std::string named = "  [!] clSetKernelArg: CL_UNKNOWN_ERROR\n";
  const std::string lost = "\n  [!] Device lost: every batch failed for 30 s. Stopping with exit code 1; ";
  expect_in_order(output, {"  [*] Mining h=", named, "clSetKernelArg: CL_UNKNOWN_ERROR (repeated ", lost});
  EXPECT_EQ(count_occurrences(output, named), 1u) << output;
  // A count every ten seconds and one at the end, not a line per batch.
  EXPECT_LE(count_occurrences(output, "clSetKernelArg"), 6u) << output;
  EXPECT_EQ(count_occurrences(output, "Done."), 0u) << output;
  EXPECT_EQ(output.substr(output.rfind('\n', output.size() - 2) + 1).rfind("  [!] Device lost", 0), 0u)
      << "the give-up message is the last line:\n" << output;
}

}  // namespace
