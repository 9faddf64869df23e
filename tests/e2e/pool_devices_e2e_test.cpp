// Pool mining on two devices: each thread mines its own share of the pool's work. The
// ThreadSanitizer build runs this test too.

#include <gtest/gtest.h>

#include <string>

#include "pool_process.h"
#include "support/test_support.h"

namespace {

using namespace pool_process;
using test_support::count_occurrences;

// PoCL gives two CPU devices; each searches its own half of the extranonce2 values.
TEST(PoolEndToEnd, TwoDevicesMineSharesWithoutDuplicates) {
  TestPool pool = start_pool();
  auto miner = start_miner({pool.url}, {"-d", "0,1"}, {{"POCL_DEVICES", "pthread pthread"}});
  ASSERT_TRUE(miner->wait_for_output(" accepted (device 0, diff ", miner_start_seconds, 2)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output(" accepted (device 1, diff ", share_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_NE(output.find("  [+] 2 devices: 0 1\n"), std::string::npos) << output;
  // With several devices each device's line names its index and PCI address (PoCL tells none).
  for (const char* device : {"0", "1"}) {
    const std::size_t line = output.find(std::string("\n  [+] OpenCL device ") + device + ": ");
    ASSERT_NE(line, std::string::npos) << output;
    EXPECT_EQ(output.substr(output.find('\n', line + 1) - 17, 17), " MB, PCI unknown)") << output;
  }
  EXPECT_EQ(pool_figure(pool, "len(s['rejected'])"), 0) << pool_control(pool, "summary");
  // The pool refuses a repeated share as a duplicate; none came, and the halves were kept.
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['extranonce2'], 16) < 0x80000000])"), 2);
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['extranonce2'], 16) >= 0x80000000])"), 2);
  const long accepted = pool_figure(pool, "len(s['accepted'])");
  EXPECT_EQ(count_occurrences(output, " accepted (device "), static_cast<std::size_t>(accepted)) << output;
  EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " shares accepted, 0 rejected, "), std::string::npos)
      << output;
}

// With no extranonce2 values to split (size 0) both devices mine the one header, each its own half
// of the nonces: both get shares accepted, and none is refused as a duplicate.
TEST(PoolEndToEnd, TwoDevicesSplitTheNoncesOfAHeaderTheyShare) {
  TestPool pool = start_pool({"--extranonce2-size", "0"});
  auto miner = start_miner({pool.url}, {"-d", "0,1"}, {{"POCL_DEVICES", "pthread pthread"}});
  ASSERT_TRUE(miner->wait_for_output(" accepted (device 0, diff ", miner_start_seconds, 2)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output(" accepted (device 1, diff ", share_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_EQ(pool_figure(pool, "len(s['rejected'])"), 0) << pool_control(pool, "summary");
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['nonce'], 16) < 0x80000000])"), 2)
      << pool_control(pool, "summary");
  EXPECT_GE(pool_figure(pool, "len([a for a in s['accepted'] if int(a['nonce'], 16) >= 0x80000000])"), 2)
      << pool_control(pool, "summary");
  const long accepted = pool_figure(pool, "len(s['accepted'])");
  EXPECT_EQ(count_occurrences(output, " accepted (device "), static_cast<std::size_t>(accepted)) << output;
}

}  // namespace
