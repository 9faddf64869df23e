// The real executable against the local test node, on whatever OpenCL device is there.

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;
using namespace e2e;

// Every block the node decoded, accepted or not, in the order it got them.
std::vector<nlohmann::json> node_submitted_blocks(const TestNode& node) {
  const nlohmann::json summary = nlohmann::json::parse(node_control(node, "summary"));
  std::vector<nlohmann::json> blocks;
  for (const char* decision : {"accepted", "rejected"}) {
    for (const nlohmann::json& block : summary.at(decision)) blocks.push_back(block);
  }
  return blocks;
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
    expect_in_order(output, {"  Veltrane OpenCL Miner v1.1\n", "  [*] Payout address: " + payout_address + "\n",
                             "  [*] Node: " + node.url + "\n", "  [*] Dev fee: 1% per block (22-byte script)\n",
                             "  [*] Requesting block template...\n", "  [+] Height 1", "  [*] Mining h=",
                             "\n  [*] BLOCK FOUND! Nonce=", "  [*] Submitting...\n", "  [+] ACCEPTED!\n\n",
                             "  [*] Requesting block template...\n", "  [+] Height ",
                             "\n  [*] Stopping after the current batch (press Ctrl-C again to quit at once)\n",
                             "\n  [*] Done. ", " blocks\n  [*] Ran 0:", ", average "});
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
  auto miner = start_miner(node.url, {"-d", "all"}, {{"POCL_DEVICES", "pthread pthread"}});
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

// The longpoll hears of the new tip at once; without it the tip is polled every few seconds.
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
    auto miner = start_miner(node.url, c.miner_options, shortened_timings("tip_poll=1"));
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
  const ReservedPort reserved;  // the node is down: its port refuses connections
  auto miner = start_miner(reserved.url("http"), {}, shortened_timings("node_retry=0.5"));
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds, 2)) << miner->output();

  const auto node = reserved.start_node_on_it();
  ASSERT_TRUE(node->wait_for_output("testnode: listening on", node_start_seconds)) << node->output();
  ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30)) << miner->output() << node->output();
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", 30)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [!] Invalid template\n", "  [*] Requesting block template...\n",
                                    "  [!] Invalid template\n", "  [+] Height ", "\n  [*] Done. "});
}

TEST(MiningEndToEnd, StopDuringTheFiveSecondWaitStillEndsCleanly) {
  const ReservedPort reserved;
  auto miner = start_miner(reserved.url("http"));
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_NE(output.find("\n  [*] Done. 0 hashes, 0 blocks\n"), std::string::npos) << output;
  EXPECT_EQ(count_occurrences(output, "  [!] Invalid template\n"), 1u) << "the wait is finished, not repeated";
}

// A node that stops answering the best-block poll is reported once, with the cause, and again
// once when it answers; mining goes on meanwhile. No block is found at this difficulty, so the
// job and its polls run on. The best-block poll is what watches the tip without a longpoll.
TEST(MiningEndToEnd, TipPollFailureAndRecoveryAreReportedOncePerChange) {
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url, {"--no-longpoll"}, shortened_timings("tip_poll=1"));
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", miner_start_seconds)) << miner->output();
  node_control(node, "failnext close 2 --method getbestblockhash");
  ASSERT_TRUE(miner->wait_for_output("\n  [*] Best-block poll works again\n", 60)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] Mining h=", "\n  [!] Best-block poll failed: the node at 127.0.0.1:",
                           " closed the connection without an answer", "\n  [*] Best-block poll works again\n",
                           "\n  [*] Done. "});
  EXPECT_EQ(count_occurrences(output, "Best-block poll failed"), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "Best-block poll works again"), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "[*] Requesting block template"), 1u) << "the job went on: " << output;
}

TEST(MiningEndToEnd, PayoutAddressThatDoesNotDecodeEndsWithExitCodeOne) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-a", "vtr1notanaddress"});
  const auto code = miner->wait_exit(miner_start_seconds);
  ASSERT_TRUE(code.has_value()) << miner->output();
  EXPECT_EQ(*code, 1);
  // Found at start-up, before the node is asked.
  expect_in_order(miner->output(), {"  [!] Bad address\n", "  [!] The payout address vtr1notanaddress does not decode: "});
  EXPECT_EQ(count_occurrences(miner->output(), "Requesting"), 0u) << miner->output();
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
// error is named once, its repeats are counted, and after the device-lost time (30 s, 3 s here,
// with the counts every 1 s instead of 10 s) the miner gives up with exit code 1 so that a
// supervisor can restart it.
TEST(MiningEndToEnd, DeviceThatFailsEveryBatchStopsTheMinerWithExitCodeOne) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-k", source_dir + "/tests/e2e/argument_mismatch_kernel.cl"},
                           shortened_timings("device_lost=3,failure_report_interval=1"));
  const auto code = miner->wait_exit(miner_start_seconds + 120);
  ASSERT_TRUE(code.has_value()) << miner->output();
  EXPECT_EQ(*code, 1);
  const std::string output = miner->output();
  const std::string named = "  [!] clSetKernelArg: CL_UNKNOWN_ERROR\n";
  const std::string lost = "\n  [!] Device lost: every batch failed for 3 s. Stopping with exit code 1; ";
  expect_in_order(output, {"  [*] Mining h=", named, "clSetKernelArg: CL_UNKNOWN_ERROR (repeated ", lost});
  EXPECT_EQ(count_occurrences(output, named), 1u) << output;
  // A count every report interval and one at the end, not a line per batch.
  EXPECT_LE(count_occurrences(output, "clSetKernelArg"), 6u) << output;
  EXPECT_EQ(count_occurrences(output, "Done."), 0u) << output;
  EXPECT_EQ(output.substr(output.rfind('\n', output.size() - 2) + 1).rfind("  [!] Device lost", 0), 0u)
      << "the give-up message is the last line:\n" << output;
}

// A launch that does not complete, as on a hung driver: the slow kernel on 4096 work items, a
// launch of many minutes. The watchdog (1 s here) names the device and ends the miner with exit
// code 3; a stop before the watchdog noticed ends the miner without waiting for the launch.
TEST(MiningEndToEnd, HungLaunchIsReportedAndNeverHoldsUpTheEnd) {
  TestNode node = start_node({});
  const std::vector<std::string> endless = {"-G", "4096", "-L", "1", "-k", source_dir + "/tests/driver/slow_kernel.cl"};
  {
    SCOPED_TRACE("noticed by the watchdog");
    auto miner = start_miner(node.url, endless, shortened_timings("hung_launch=1"));
    const auto code = miner->wait_exit(miner_start_seconds + 30);
    ASSERT_TRUE(code.has_value()) << miner->output();
    EXPECT_EQ(*code, 3);
    const std::string output = miner->output();
    expect_in_order(output, {"  [*] Mining h=", "\n  [!] Device 0 (",
                             ", PCI unknown) hung: a launch has not completed in 1 s\n",
                             "\n  [!] No working device left. Stopping with exit code 3; restart the miner"});
    EXPECT_EQ(count_occurrences(output, "Done."), 0u) << output;
  }
  {
    SCOPED_TRACE("stop before the watchdog's limit");
    auto miner = start_miner(node.url, endless, shortened_timings("device_stop_wait=0.5"));
    ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", miner_start_seconds)) << miner->output();
    miner->send_signal(SIGINT);
    // The launch runs for minutes: an end within seconds shows the miner did not wait for it.
    const auto code = miner->wait_exit(10);
    ASSERT_TRUE(code.has_value()) << miner->output();
    EXPECT_EQ(*code, 0);
    expect_in_order(miner->output(), {"  [*] Mining h=",
                                      " did not finish its launch within 0.5 s of the stop; left behind\n",
                                      "\n  [*] Done. 0 hashes, 0 blocks\n"});
  }
}

// The kernel cache through the command line: a start keeps the kernel, the next loads it, and
// --no-kernel-cache neither loads nor writes. The benchmark needs no node, so each start is short.
TEST(KernelCacheE2E, KeepsTheKernelForTheNextStartUnlessTurnedOff) {
  const test_support::TemporaryDirectory cache_home;
  std::map<std::string, std::string> environment = shortened_timings("benchmark=0.2");
  environment["XDG_CACHE_HOME"] = cache_home.path.string();
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string cache_line;  // empty: no line about the cache at all
  };
  const Case cases[] = {
      {"off", {"--benchmark", "--no-kernel-cache"}, ""},
      {"first start", {"--benchmark"}, "  [*] Kernel cached for the next start: "},
      {"second start", {"--benchmark"}, "  [*] Kernel loaded from the cache: "},
      {"off after the entry was written", {"--benchmark", "--no-kernel-cache"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto miner = start_miner("http://127.0.0.1:1", c.options, environment);
    ASSERT_EQ(miner->wait_exit(miner_start_seconds), 0) << miner->output();
    const std::string output = miner->output();
    if (c.cache_line.empty()) {
      EXPECT_EQ(output.find("Kernel c"), std::string::npos) << output;
      EXPECT_EQ(output.find("Kernel loaded"), std::string::npos) << output;
    } else {
      expect_in_order(output, {c.cache_line, "  Work size: ", "Result: "});
    }
    const std::filesystem::path folder = cache_home.path / "veltrane-miner";
    const std::ptrdiff_t entries =
        std::filesystem::exists(folder)
            ? std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator())
            : 0;
    EXPECT_EQ(entries, std::string(c.name) == "off" ? 0 : 1);
  }
}

// --autotune through the command line: the first start times and says what it chose, the next
// reuses it, and -G with -L leave nothing to choose.
TEST(AutotuneE2E, ChoosesOnceReusesLaterAndYieldsToTheCommandLine) {
  const test_support::TemporaryDirectory cache_home;
  std::map<std::string, std::string> environment = shortened_timings("benchmark=0.2,autotune=0.5");
  environment["XDG_CACHE_HOME"] = cache_home.path.string();
  environment["VELTRANE_DEVICE_TYPE"] = "all";
  environment["ASAN_OPTIONS"] = "detect_leaks=0";  // as start_miner does, for the OpenCL runtime's threads
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string autotune_line;  // empty: no autotune line at all
  };
  const Case cases[] = {
      {"both sizes given", {"-G", "256", "-L", "64"}, ""},
      {"first start", {"-L", "64"}, " global, 64 local (fastest of "},
      {"second start", {"-L", "64"}, " global, 64 local, as chosen at an earlier start"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Not start_miner: it always gives both sizes.
    std::vector<std::string> argv = {VELTRANE_BINARY_DIR "/veltrane-miner", "--benchmark", "--autotune"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    auto miner = std::make_unique<ChildProcess>(argv, environment, VELTRANE_BINARY_DIR);
    ASSERT_EQ(miner->wait_exit(miner_start_seconds), 0) << miner->output();
    const std::string output = miner->output();
    if (c.autotune_line.empty()) {
      EXPECT_EQ(output.find("Autotune"), std::string::npos) << output;
      expect_in_order(output, {"  Work size: 256 global, 64 local"});
    } else {
      expect_in_order(output, {"  [*] Autotune: ", c.autotune_line, "  Work size: ", " global, 64 local", "Result: "});
    }
  }
}

}  // namespace
