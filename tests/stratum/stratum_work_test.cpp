#include "stratum/stratum_work.h"

#include <gtest/gtest.h>

#include <cmath>

#include "stratum_fixtures.h"
#include "support/test_support.h"

namespace {

using test_support::from_hex;
using test_support::to_hex;

// The test pool's own computation of the same job (see stratum_fixtures.h) is the oracle.
TEST(StratumWork, JobBecomesTheHeaderThePoolChecks) {
  const StratumMessage message = read_stratum_message(stratum_fixtures::notify_line);
  ASSERT_EQ(message.type, StratumMessageType::notify);
  const ByteVector extranonce2 = extranonce2_bytes(stratum_fixtures::extranonce2_value, 4);
  EXPECT_EQ(to_hex(extranonce2), "00000007");

  const ByteVector coinbase = assemble_coinbase(message.job, from_hex(stratum_fixtures::extranonce1_hex), extranonce2);
  EXPECT_EQ(to_hex(coinbase), stratum_fixtures::coinbase_hex);
  const Hash256 root = merkle_root_from_branch(coinbase, message.job.merkle_branch);
  EXPECT_EQ(to_hex(root), stratum_fixtures::merkle_root_hex);

  BlockHeader header = job_header(message.job, root);
  store_u32_le(header.data() + header_nonce_offset, stratum_fixtures::nonce);
  EXPECT_EQ(to_hex(header), stratum_fixtures::header_hex);
  EXPECT_EQ(to_hex(pow_hash(header)), stratum_fixtures::pow_hash_hex);
  EXPECT_EQ(nonce_text(stratum_fixtures::nonce), "12345678");
}

TEST(StratumWork, EmptyBranchLeavesTheCoinbaseIdAsRoot) {
  const ByteVector coinbase = from_hex("01000000");
  // Double SHA-256 of 01000000, from Python's hashlib.
  EXPECT_EQ(to_hex(merkle_root_from_branch(coinbase, {})),
            "41f758f2e5cc078d3795b4fc0cb60c2d735fa92cc020572bdc982dd2d564d11b");
}

TEST(StratumWork, ShareTargetIsDifficultyOneDividedByTheDifficulty) {
  const Target256 one = difficulty_one_target();
  EXPECT_EQ(one.limbs[3], 0x00000001fffe0000u);
  EXPECT_EQ(one.limbs[2] | one.limbs[1] | one.limbs[0], 0u);
  EXPECT_EQ(share_target(1.0), one);
  // The console's "diff=" figure of the difficulty-1 target is 1.
  EXPECT_EQ(difficulty_from_target(one), 1.0);

  const struct {
    double difficulty;
    std::array<std::uint64_t, 4> limbs;
  } cases[] = {
      {2.0, {0, 0, 0, 0x00000000ffff0000u}},
      {1.0 / 65536, {0, 0, 0, 0x0001fffe00000000u}},
      {0.5, {0, 0, 0, 0x00000003fffc0000u}},
      {131070.0 * 65536, {0, 0, 0, 1}},  // exactly 2^192
      {1e-40, {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.difficulty);
    EXPECT_EQ(share_target(c.difficulty).limbs, c.limbs);
  }
  // Any difficulty reads back as itself on the console.
  for (const double difficulty : {0.001, 0.37, 3.0, 1234.5678, 9.9e12}) {
    SCOPED_TRACE(difficulty);
    EXPECT_NEAR(difficulty_from_target(share_target(difficulty)) / difficulty, 1.0, 1e-12);
  }
}

TEST(StratumWork, ExtranonceRangesSplitTheSpaceWithoutOverlap) {
  const struct {
    std::int32_t size;
    int device;
    int devices;
    Extranonce2Range expected;
  } cases[] = {
      {4, 0, 1, {0, 0x100000000u}},
      {4, 1, 2, {0x80000000u, 0x80000000u}},
      {1, 2, 3, {170, 85}},
      {0, 0, 1, {0, 1}},
      {8, 0, 1, {0, UINT64_MAX}},
      {16, 1, 2, {UINT64_MAX / 2, UINT64_MAX / 2}},
      {1, 0, 300, {0, 0}},
      {4, 2, 2, {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, device " << c.device << " of " << c.devices);
    const Extranonce2Range range = extranonce2_range(c.size, c.device, c.devices);
    EXPECT_EQ(range.first, c.expected.first);
    EXPECT_EQ(range.count, c.expected.count);
  }
}

TEST(StratumWork, ExtranonceBytesAreBigEndianInTheirSize) {
  EXPECT_EQ(to_hex(extranonce2_bytes(0x0102, 4)), "00000102");
  EXPECT_EQ(to_hex(extranonce2_bytes(0x010203, 2)), "0203");
  EXPECT_EQ(to_hex(extranonce2_bytes(0x0102030405060708u, 10)), "00000102030405060708");
  EXPECT_TRUE(extranonce2_bytes(5, 0).empty());
}

}  // namespace
