// The real executable against the local test node, on whatever OpenCL device is there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;
using namespace e2e;

const std::string testnode_path = source_dir + "/tools/testnode/testnode.py";

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

}  // namespace
