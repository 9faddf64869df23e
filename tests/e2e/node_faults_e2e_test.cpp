// The real executable against a test node that misbehaves the way real nodes, proxies and
// networks do: no found block is lost or spoiled, and the user is told why nothing happens.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;
using namespace e2e;

// Node faults and what the miner must show for them, run side by side, with the 5 s wait before
// the node is asked again shortened.
struct Scenario {
  std::string name;
  std::vector<std::string> node_options;
  std::string fault;  // a control.py failnext command line, or empty
  std::vector<std::string> miner_options;
  std::string url_suffix;  // appended to the node's URL
  std::string wait_for;    // the miner's output holds this ...
  std::size_t wait_count;  // ... this many times once the scenario has played out
  std::vector<std::string> expected_in_order;
};

struct Played {
  TestNode node;
  std::unique_ptr<ChildProcess> miner;
  std::string output;
};

// Starts every scenario, waits for each to play out, stops the miners and checks their output.
std::vector<Played> play(const std::vector<Scenario>& scenarios) {
  std::vector<Played> played;
  for (const Scenario& scenario : scenarios) {
    TestNode node = start_node(scenario.node_options);
    if (!scenario.fault.empty()) node_control(node, "failnext " + scenario.fault);
    auto miner = start_miner(node.url + scenario.url_suffix, scenario.miner_options, shortened_timings("node_retry=0.5"));
    played.push_back({std::move(node), std::move(miner), ""});
  }
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    const Scenario& scenario = scenarios[i];
    ChildProcess& miner = *played[i].miner;
    SCOPED_TRACE(scenario.name);
    EXPECT_TRUE(miner.wait_for_output(scenario.wait_for, miner_start_seconds + 30, scenario.wait_count))
        << miner.output();
    EXPECT_EQ(interrupt(miner), 0);
    played[i].output = miner.output();
    expect_in_order(played[i].output, scenario.expected_in_order);
  }
  return played;
}

TEST(NodeFaultsEndToEnd, IncompleteOrEndlessTemplateRepliesAreNeverMinedOn) {
  std::vector<Scenario> scenarios;
  const std::pair<const char*, const char*> faults[] = {
      {"cut-short", "was cut short"},
      {"cut-chunked", "was cut short"},
      {"endless", "was larger than any block template (larger than 64 MiB) and was dropped"},
  };
  for (const auto& [fault, cause] : faults) {
    scenarios.push_back({fault, {}, std::string(fault) + " 1 --method getblocktemplate", {}, "", "[+] ACCEPTED!", 1,
                         {"  [!] Invalid template\n", "  [!] Cause: the reply from 127.0.0.1:", cause,
                          "  [*] Mining h=", "  [+] ACCEPTED!\n\n"}});
  }
  const std::vector<Played> played = play(scenarios);
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    // Mined on, the cut template (it ends before the witness commitment) gives a block the node
    // rejects.
    EXPECT_EQ(count_occurrences(played[i].output, "REJECTED"), 0u) << scenarios[i].name << "\n" << played[i].output;
    EXPECT_GE(node_accepted_blocks(played[i].node), 1u) << scenarios[i].name;
  }
}

TEST(NodeFaultsEndToEnd, TheUserIsToldWhyThereIsNoTemplateOncePerCause) {
  const ReservedPort unreachable;  // no node there: the port refuses connections
  const std::vector<Scenario> scenarios = {
      {"wrong password", {}, "", {"-p", "wrong"}, "", "  [!] Invalid template\n", 2,
       {"  [!] Invalid template\n", "  [!] Cause: the node refused the RPC credentials (HTTP 401): check -u and -p"}},
      {"node still starting", {}, "rpc-error 2 --method getblocktemplate --code -10 --message \"Loading block index...\"",
       {}, "", "  [*] Mining h=", 1,
       {"  [!] Invalid template\n",
        "  [!] Cause: the node answered RPC error -10: Loading block index...; the node is still starting or syncing",
        "  [!] Invalid template\n", "  [+] Height "}},
      {"a proxy's error page", {}, "html 2 --method getblocktemplate", {}, "", "  [*] Mining h=", 1,
       {"  [!] Invalid template\n", "  [!] Cause: HTTP 503 from 127.0.0.1:", "  [!] Invalid template\n",
        "  [+] Height "}},
      {"not the RPC path", {}, "", {}, "/nope", "  [!] Invalid template\n", 2,
       {"  [!] Invalid template\n", "  [!] Cause: the node answered HTTP 404: the URL is not the coin's RPC endpoint"}},
  };
  std::vector<std::string> outputs;
  for (const Played& played : play(scenarios)) outputs.push_back(played.output);
  // And a node that is not there at all.
  auto miner = start_miner(unreachable.url("http"), {}, shortened_timings("node_retry=0.5"));
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [!] Invalid template\n", "  [!] Cause: cannot reach the node at 127.0.0.1:" +
                                                                    unreachable.port + " (", "is it running, with its RPC server on"});
  outputs.push_back(miner->output());
  // Said when it first appears, not again on every retry.
  for (const std::string& output : outputs) EXPECT_EQ(count_occurrences(output, "  [!] Cause: "), 1u) << output;
}

TEST(NodeFaultsEndToEnd, ARejectedBlockComesWithTheNodesReason) {
  const std::vector<Scenario> scenarios = {
      {"reason", {}, "reject 1 --message bad-txnmrklroot", {}, "", "[!] REJECTED", 1,
       {"  [*] Submitting...\n", "  [!] REJECTED\n\n", "  [!] Reason: bad-txnmrklroot\n"}},
      {"inconclusive", {}, "reject 1 --message inconclusive", {}, "", "[!] REJECTED", 1,
       {"  [!] REJECTED\n\n", "  [!] Reason: inconclusive: the node neither accepted nor refused the block"}},
      {"error", {}, "rpc-error 1 --method submitblock --code -22 --message \"Block decode failed\"", {}, "",
       "[!] REJECTED", 1, {"  [!] REJECTED\n\n", "  [!] Reason: Block decode failed\n"}},
  };
  play(scenarios);
}

TEST(NodeFaultsEndToEnd, AFoundBlockWhoseFirstSubmissionIsCutOffIsSentAgainAndAccepted) {
  TestNode node = start_node({});
  node_control(node, "failnext close 1 --method submitblock");
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] BLOCK FOUND! Nonce=", "  [*] Submitting...\n", "  [+] ACCEPTED!\n\n"});
  EXPECT_EQ(count_occurrences(output, "REJECTED"), 0u) << output;
  // The node answered the second request of the first block.
  EXPECT_GE(node_requests(node, "submitblock"), count_occurrences(output, "Submitting") + 1);
  EXPECT_EQ(node_accepted_blocks(node), count_occurrences(output, "ACCEPTED"));
}

TEST(NodeFaultsEndToEnd, AHungNodeNeitherIdlesTheGpuForLongNorHoldsUpAStop) {
  {
    SCOPED_TRACE("tip poll that never answers");
    TestNode node = start_node({"--difficulty", "hard"});
    node_control(node, "failnext hang 1 --method getbestblockhash");
    // The tip poll is what is tested here, so no longpoll.
    auto miner = start_miner(node.url, {"--no-longpoll"}, shortened_timings("tip_poll=1"));
    ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", miner_start_seconds)) << miner->output();
    node_control(node, "advancetip");
    // The first poll hangs and is given up after a few seconds; the next one sees the new tip.
    // Waiting out the hang instead (a minute) fails here.
    EXPECT_TRUE(miner->wait_for_output("\n  [*] New block\n", 40)) << miner->output();
    EXPECT_EQ(interrupt(*miner), 0);
  }
  {
    SCOPED_TRACE("stop while the template request hangs");
    TestNode node = start_node({});
    node_control(node, "failnext hang 1 --method getblocktemplate");
    auto miner = start_miner(node.url);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<int>(miner_start_seconds));
    while (node_requests(node, "getblocktemplate") == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_EQ(node_requests(node, "getblocktemplate"), 1u) << miner->output();
    miner->send_signal(SIGINT);
    // Without abandoning the request the miner would wait for its 60 s time-out and 5 s more.
    const auto code = miner->wait_exit(20);
    ASSERT_TRUE(code.has_value()) << miner->output();
    EXPECT_EQ(*code, 0);
    const std::string output = miner->output();
    EXPECT_NE(output.find("\n  [*] Done. 0 hashes, 0 blocks\n"), std::string::npos) << output;
    EXPECT_EQ(count_occurrences(output, "Invalid template"), 0u) << output;
  }
}

TEST(NodeFaultsEndToEnd, CookieCredentialsFollowTheNodeThroughARestart) {
  test_support::TemporaryDirectory directory;
  const std::string cookie_path = (directory.path / ".cookie").string();
  TestNode node = start_node({"--cookie-file", cookie_path});
  // The user and password given are wrong: only the cookie lets the miner in.
  auto miner = start_miner(node.url, {"-u", "nobody", "-p", "wrong", "--rpc-cookie", cookie_path});
  ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds)) << miner->output();
  // The node restarts and writes new credentials; the old ones are refused from now on.
  node_control(node, "newcookie");
  const std::size_t accepted = count_occurrences(miner->output(), "[+] ACCEPTED!");
  ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", 60, accepted + 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_EQ(count_occurrences(output, "Invalid template"), 0u) << output;
  EXPECT_EQ(count_occurrences(output, "REJECTED"), 0u) << output;
}

}  // namespace
