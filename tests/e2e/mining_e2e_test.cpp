// The real executable against the local test node, on whatever OpenCL device is there.

#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
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

// Every block the node decoded, accepted or not, in the order it got them.
std::vector<nlohmann::json> node_submitted_blocks(const TestNode& node) {
  const nlohmann::json summary = nlohmann::json::parse(node_control(node, "summary"));
  std::vector<nlohmann::json> blocks;
  for (const char* decision : {"accepted", "rejected"}) {
    for (const nlohmann::json& block : summary.at(decision)) blocks.push_back(block);
  }
  return blocks;
}

std::unique_ptr<ChildProcess> start_miner(const std::string& url, std::vector<std::string> options = {},
                                          const std::string& pocl_devices = "") {
  std::vector<std::string> argv = {miner_path, "-o", url, "-u", "veltrane", "-p", "veltrane", "-G", "256", "-L", "64"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (std::find(options.begin(), options.end(), "-a") == options.end()) {
    argv.push_back("-a");
    argv.push_back(payout_address);
  }
  return std::make_unique<ChildProcess>(
      argv, std::map<std::string, std::string>{{"VELTRANE_DEVICE_TYPE", "all"}, {"POCL_DEVICES", pocl_devices}},
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

// The node refuses every block, so the tip never moves: each found nonce ends a job, and the
// next job on the same tip must search another header.
TEST(MiningEndToEnd, SuccessiveJobsOnOneTipHaveDifferentMerkleRoots) {
  TestNode node = start_node({"--reject-all"});
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[!] REJECTED", miner_start_seconds, 5)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);

  const std::vector<nlohmann::json> blocks = node_submitted_blocks(node);
  ASSERT_GE(blocks.size(), 5u);
  // Height 101 pushed alone: the first job's coinbase has no extra nonce and no text.
  EXPECT_EQ(blocks.front().at("coinbase_script_sig"), "0165");
  std::set<std::string> roots;
  for (const nlohmann::json& block : blocks) {
    EXPECT_EQ(block.at("height"), 101);
    EXPECT_TRUE(roots.insert(block.at("merkle_root").get<std::string>()).second) << block.dump();
  }
}

TEST(MiningEndToEnd, TwoDevicesMineAtOnceOnDistinctHeaders) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-d", "all"}, "pthread pthread");
  // Two kernel builds, and blocks that go to whichever device reports first: generous waits,
  // which end as soon as the line is there.
  ASSERT_TRUE(miner->wait_for_output("[+] 2 devices: 0 1\n", 2 * miner_start_seconds)) << miner->output();
  for (const char* device : {"BLOCK FOUND on device 0!", "BLOCK FOUND on device 1!"}) {
    EXPECT_TRUE(miner->wait_for_output(device, 2 * miner_start_seconds)) << miner->output();
  }
  EXPECT_EQ(interrupt(*miner), 0);

  const std::string output = miner->output();
  const std::size_t accepted = count_occurrences(output, "[+] ACCEPTED!");
  EXPECT_GE(accepted, 2u);
  EXPECT_EQ(node_accepted_blocks(node), accepted);
  EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " blocks\n"), std::string::npos) << output;

  std::map<int, std::set<std::string>> roots_by_height;
  for (const nlohmann::json& block : node_submitted_blocks(node)) {
    ASSERT_TRUE(block.contains("merkle_root")) << block.dump();
    EXPECT_TRUE(roots_by_height[block.at("height").get<int>()].insert(block.at("merkle_root")).second)
        << "two blocks on one tip share a merkle root: " << block.dump();
  }
}

// The longpoll hears of the new tip at once; without it the tip is polled every 5 seconds.
TEST(MiningEndToEnd, NewBestBlockOnTheNodeEndsTheJob) {
  struct Case {
    const char* name;
    std::vector<std::string> miner_options;
    bool polls;
  };
  const Case cases[] = {{"longpoll", {}, false}, {"tip poll", {"--no-longpoll"}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNode node = start_node({"--difficulty", "hard"});
    auto miner = start_miner(node.url, c.miner_options);
    ASSERT_TRUE(miner->wait_for_output("[*] Mining h=", miner_start_seconds)) << miner->output();
    node_control(node, "advancetip");
    ASSERT_TRUE(miner->wait_for_output("\n  [*] New block\n", 30)) << miner->output();
    ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30, 2)) << miner->output();
    EXPECT_EQ(interrupt(*miner), 0);
    expect_in_order(miner->output(), {"  [*] Mining h=", "\n  [*] New block\n", "  [*] Requesting block template...\n",
                                      "  [+] Height ", "  [*] Mining h=", "\n  [*] Done. ", " hashes, 0 blocks\n"});
    const nlohmann::json requests = nlohmann::json::parse(node_control(node, "summary")).at("requests");
    EXPECT_EQ(requests.contains("getbestblockhash"), c.polls) << requests.dump();
  }
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

}  // namespace
