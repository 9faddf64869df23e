// The real executable mining for the local test pool, on whatever OpenCL device is there.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;

const std::string source_dir = VELTRANE_SOURCE_DIR;
const std::string binary_dir = VELTRANE_BINARY_DIR;
const std::string miner_path = binary_dir + "/veltrane-miner";
const std::string testpool_path = source_dir + "/tools/testpool/testpool.py";
const std::string control_path = source_dir + "/tools/testpool/control.py";
const std::string worker = "tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf.rig1";
constexpr double pool_start_seconds = 10;
// Kernel builds on a CPU device take a while; every wait below allows for that.
constexpr double miner_start_seconds = 90;
constexpr double share_seconds = 60;

struct TestPool {
  std::unique_ptr<ChildProcess> process;
  std::string url;
};

TestPool start_pool(std::vector<std::string> options = {}) {
  std::vector<std::string> argv = {"python3", testpool_path, "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  TestPool pool{std::make_unique<ChildProcess>(argv), ""};
  EXPECT_TRUE(pool.process->wait_for_output("listening on stratum+tcp://", pool_start_seconds))
      << pool.process->output();
  const std::string output = pool.process->output();
  const std::string prefix = "stratum+tcp://";
  const std::size_t start = output.find(prefix);
  if (start != std::string::npos) {
    const std::size_t end = output.find_first_of(" \r\n", start);
    pool.url = output.substr(start, end - start);
  }
  return pool;
}

std::string pool_control(const TestPool& pool, const std::string& command) {
  return test_support::run_command("python3 " + control_path + " --url " + pool.url + " " + command + " 2>&1").output;
}

// A figure from the pool's summary: a Python expression over the summary s, such as len(s['accepted']).
long pool_figure(const TestPool& pool, const std::string& expression) {
  const std::string output =
      test_support::run_command("python3 " + control_path + " --url " + pool.url +
                                " summary | python3 -c \"import json, sys; s = json.load(sys.stdin); print(" +
                                expression + ")\" 2>&1")
          .output;
  return std::atol(output.c_str());
}

// Waits until the pool's figure reaches minimum; false on time-out.
bool wait_for_pool(const TestPool& pool, const std::string& expression, long minimum, double timeout_seconds) {
  for (double waited = 0; waited < timeout_seconds; waited += 0.5) {
    if (pool_figure(pool, expression) >= minimum) return true;
    test_support::run_command("sleep 0.5");
  }
  return pool_figure(pool, expression) >= minimum;
}

std::unique_ptr<ChildProcess> start_miner(const std::vector<std::string>& pool_urls, std::vector<std::string> options = {},
                                          std::map<std::string, std::string> environment = {}) {
  std::vector<std::string> argv = {miner_path};
  for (const std::string& url : pool_urls) {
    argv.push_back("-o");
    argv.push_back(url);
  }
  for (const char* argument : {"-u", worker.c_str(), "-p", "x", "-G", "256", "-L", "64"}) argv.emplace_back(argument);
  argv.insert(argv.end(), options.begin(), options.end());
  environment["VELTRANE_DEVICE_TYPE"] = "all";
  return std::make_unique<ChildProcess>(argv, environment, binary_dir);
}

int interrupt(ChildProcess& miner) {
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

// The "Done." line's figures must be the pool's.
void expect_done_line_matches_pool(const std::string& output, const TestPool& pool) {
  const long accepted = pool_figure(pool, "len(s['accepted'])");
  const long rejected = pool_figure(pool, "len(s['rejected'])");
  EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " shares accepted, " + std::to_string(rejected) +
                        " rejected, "),
            std::string::npos)
      << output << "\npool: " << pool_control(pool, "summary");
  EXPECT_EQ(count_occurrences(output, "  [+] Share accepted (device 0)"), static_cast<std::size_t>(accepted)) << output;
}

TEST(PoolEndToEnd, SharesAreFoundSubmittedAcceptedAndCounted) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", miner_start_seconds, 3)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] Pool mining as \"" + worker + "\" on 1 pool, first " + pool.url + "\n",
                           "  [+] Pool " + pool.url + ": connected, difficulty 0.000244141\n",
                           "  [*] Mining job 1, share difficulty 0.000244141\n", "  [+] Share accepted (device 0)\n",
                           "\n  [*] Done. "});
  EXPECT_EQ(count_occurrences(output, "rejected ("), 0u) << output;
  EXPECT_EQ(output.find("Dev fee"), std::string::npos) << "the pool writes the coinbase: no fee line";
  expect_done_line_matches_pool(output, pool);
  EXPECT_EQ(pool_figure(pool, "len(s['rejected'])"), 0);
  EXPECT_EQ(pool_figure(pool, "int(s['workers'] == ['" + worker + "'])"), 1) << pool_control(pool, "summary");
}

// PoCL gives two CPU devices; each searches its own half of the extranonce2 values.
TEST(PoolEndToEnd, TwoDevicesMineSharesWithoutDuplicates) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url}, {"-d", "0,1"}, {{"POCL_DEVICES", "pthread pthread"}});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", miner_start_seconds, 2)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 1)\n", share_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_NE(output.find("  [+] 2 devices: 0 1\n"), std::string::npos) << output;
  EXPECT_EQ(pool_figure(pool, "len(s['rejected'])"), 0) << pool_control(pool, "summary");
  // The pool refuses a repeated share as a duplicate; none came, and the halves were kept.
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['extranonce2'], 16) < 0x80000000])"), 2);
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['extranonce2'], 16) >= 0x80000000])"), 2);
  const long accepted = pool_figure(pool, "len(s['accepted'])");
  EXPECT_EQ(count_occurrences(output, "  [+] Share accepted (device "), static_cast<std::size_t>(accepted)) << output;
  EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " shares accepted, 0 rejected, "), std::string::npos)
      << output;
}

TEST(PoolEndToEnd, ShareThatMeetsTheNetworkTargetIsABlock) {
  TestPool pool = start_pool({"--bits", "easy"});
  auto miner = start_miner({pool.url});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0): a block\n", miner_start_seconds, 2))
      << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"\n  [*] BLOCK FOUND! Nonce=", " (a share; the pool submits the block)\n",
                           "  [+] Share accepted (device 0): a block\n"});
  // The pool put each block on its chain and sent a clean job for the next height.
  EXPECT_GE(pool_figure(pool, "len(s['chain']['accepted'])"), 2);
  EXPECT_EQ(pool_figure(pool, "len([b for b in s['blocks'] if b['reason']])"), 0) << pool_control(pool, "summary");
  EXPECT_GE(count_occurrences(output, "  [*] Mining job "), 2u) << output;
  const long blocks = pool_figure(pool, "len([a for a in s['accepted'] if a['block']])");
  EXPECT_NE(output.find(" rejected, " + std::to_string(blocks) + " blocks\n"), std::string::npos) << output;
}

TEST(PoolEndToEnd, CleanJobEndsTheCurrentWorkAtOnce) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", miner_start_seconds)) << miner->output();
  pool_control(pool, "newblock");
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining job 2, share difficulty", share_seconds)) << miner->output();
  // Shares for the new job arrive at once, not after the old job's nonce space.
  EXPECT_TRUE(wait_for_pool(pool, "len([a for a in s['accepted'] if a['job_id'] == '2'])", 1, share_seconds))
      << miner->output() << pool_control(pool, "summary");
  EXPECT_EQ(interrupt(*miner), 0);
  expect_done_line_matches_pool(miner->output(), pool);
}

TEST(PoolEndToEnd, EveryRejectionReasonIsShownAndCounted) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url});
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining job 1", miner_start_seconds)) << miner->output();
  for (const char* code : {"21", "22", "23", "24"}) pool_control(pool, std::string("rejectnext ") + code);
  pool_control(pool, "rejectnext 30 1 \"Share above target for this worker\"");
  ASSERT_TRUE(miner->wait_for_output("  [!] Share rejected (device 0): ", share_seconds, 5)) << miner->output();
  // The status line counts one stale share among the five rejections.
  ASSERT_TRUE(miner->wait_for_output(" rej=5 stale=1 ", share_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [!] Share rejected (device 0): Job not found (21)\n",
                           "  [!] Share rejected (device 0): Duplicate share (22)\n",
                           "  [!] Share rejected (device 0): Low difficulty share (23)\n",
                           "  [!] Share rejected (device 0): Unauthorized worker (24)\n",
                           "  [!] Share rejected (device 0): Share above target for this worker (30)\n"});
  expect_done_line_matches_pool(output, pool);
}

TEST(PoolEndToEnd, LostConnectionIsResumedAndGarbageIsSurvived) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", miner_start_seconds)) << miner->output();
  pool_control(pool, "garbage");
  ASSERT_TRUE(miner->wait_for_output("  [!] Pool sent a malformed message: ", share_seconds, 4)) << miner->output();
  pool_control(pool, "message \"maintenance at noon\"");
  ASSERT_TRUE(miner->wait_for_output("  [*] Pool " + pool.url + " says: maintenance at noon\n", share_seconds))
      << miner->output();

  pool_control(pool, "disconnect");
  ASSERT_TRUE(miner->wait_for_output("  [+] Pool " + pool.url + ": connected", share_seconds, 2)) << miner->output();
  pool_control(pool, "reconnect");
  ASSERT_TRUE(miner->wait_for_output("  [+] Pool " + pool.url + ": connected", share_seconds, 3)) << miner->output();
  const std::size_t before = count_occurrences(miner->output(), "  [+] Share accepted");
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", share_seconds, before + 1)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);

  const std::string output = miner->output();
  expect_in_order(output, {"  [!] Pool " + pool.url + ": the pool closed the connection; trying again in 1 s\n",
                           "  [+] Pool " + pool.url + ": connected", "  [*] Pool " + pool.url + " asked to reconnect",
                           "  [+] Pool " + pool.url + ": connected"});
  EXPECT_EQ(pool_figure(pool, "s['subscribes']"), 3);
  // Each new connection offered the old session, and the pool resumed it.
  EXPECT_EQ(pool_figure(pool, "s['resumed']"), 2);
  expect_done_line_matches_pool(output, pool);
}

TEST(PoolEndToEnd, UnreachablePoolFailsOverToTheNext) {
  TestPool second = start_pool();
  std::string first_url;
  {
    TestPool gone = start_pool();
    first_url = gone.url;
  }  // its port refuses connections now
  auto miner = start_miner({first_url, second.url});
  ASSERT_TRUE(miner->wait_for_output("  [+] Share accepted (device 0)\n", miner_start_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] Pool mining as \"" + worker + "\" on 2 pools, first " + first_url + "\n",
                           "  [!] Pool " + first_url + ": ", "; trying " + second.url + " in 1 s\n",
                           "  [+] Pool " + second.url + ": connected"});
  expect_done_line_matches_pool(output, second);
}

TEST(PoolEndToEnd, BadPoolUrlOrMissingWorkerEndsWithExitCodeOne) {
  const struct {
    const char* name;
    std::vector<std::string> argv;
    const char* message;
  } cases[] = {
      {"no port", {miner_path, "-o", "stratum+tcp://127.0.0.1", "-u", "w", "-G", "256", "-L", "64"},
       "  [!] Bad pool URL: stratum+tcp://127.0.0.1 (expected stratum+tcp://HOST:PORT)\n"},
      {"no worker", {miner_path, "-o", "stratum+tcp://127.0.0.1:1", "-G", "256", "-L", "64"},
       "  [!] Pool worker required (-u WORKER, usually the payout address)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildProcess miner(c.argv, {{"VELTRANE_DEVICE_TYPE", "all"}}, binary_dir);
    const auto code = miner.wait_exit(miner_start_seconds);
    ASSERT_TRUE(code.has_value()) << miner.output();
    EXPECT_EQ(*code, 1);
    EXPECT_NE(miner.output().find(c.message), std::string::npos) << miner.output();
  }
}

}  // namespace
