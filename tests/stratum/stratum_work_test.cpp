#include "stratum/stratum_work.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

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

TEST(StratumWork, ExtranonceRangesGiveEachDeviceItsHeadersAndNonces) {
  constexpr std::uint64_t half = nonce_space / 2;
  const struct {
    std::int32_t size;
    int device;
    int devices;
    Extranonce2Range expected;
  } cases[] = {
      {4, 0, 1, {0, 0x100000000u, 0, nonce_space}},
      {4, 1, 2, {0x80000000u, 0x80000000u, 0, nonce_space}},
      // 256 values on 3 devices: the first takes the one left over.
      {1, 0, 3, {0, 86, 0, nonce_space}},
      {1, 2, 3, {171, 85, 0, nonce_space}},
      {0, 0, 1, {0, 1, 0, nonce_space}},
      {8, 0, 1, {0, UINT64_MAX, 0, nonce_space}},
      {16, 1, 2, {std::uint64_t{1} << 63, UINT64_MAX / 2, 0, nonce_space}},
      // Fewer values than devices: device i takes value i mod values and a slice of its nonces.
      {0, 1, 2, {0, 1, half, nonce_space}},
      {0, 2, 3, {0, 1, 2 * nonce_space / 3, nonce_space}},
      {1, 1, 300, {1, 1, 0, half}},
      {1, 257, 300, {1, 1, half, nonce_space}},
      {1, 44, 300, {44, 1, 0, nonce_space}},  // alone on its value
      {4, 2, 2, {0, 0, 0, nonce_space}},       // no such device
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, device " << c.device << " of " << c.devices);
    const Extranonce2Range range = extranonce2_range(c.size, c.device, c.devices);
    EXPECT_EQ(range.first, c.expected.first);
    EXPECT_EQ(range.count, c.expected.count);
    EXPECT_EQ(range.nonce_begin, c.expected.nonce_begin);
    EXPECT_EQ(range.nonce_end, c.expected.nonce_end);
  }
}

// Whatever the size and the number of devices, every device gets headers and nonces to search,
// and together the devices search every header and nonce once (values past 2^64 - 1 aside).
TEST(StratumWork, ExtranonceRangesTileTheSpaceWithoutOverlap) {
  for (const std::int32_t size : {0, 1, 8}) {
    const std::uint64_t values = size >= 8 ? UINT64_MAX : std::uint64_t{1} << (8 * size);
    for (const int devices : {1, 2, 3, 7}) {
      SCOPED_TRACE(testing::Message() << size << " bytes, " << devices << " devices");
      std::vector<Extranonce2Range> ranges;
      std::vector<std::uint64_t> value_bounds = {0, values};
      for (int device = 0; device < devices; ++device) {
        const Extranonce2Range range = extranonce2_range(size, device, devices);
        EXPECT_GT(range.count, 0u) << "device " << device;
        EXPECT_LT(range.nonce_begin, range.nonce_end) << "device " << device;
        EXPECT_LE(range.nonce_end, nonce_space) << "device " << device;
        ranges.push_back(range);
        value_bounds.push_back(range.first);
        value_bounds.push_back(range.first + range.count);
      }
      std::sort(value_bounds.begin(), value_bounds.end());
      value_bounds.erase(std::unique(value_bounds.begin(), value_bounds.end()), value_bounds.end());
      ASSERT_EQ(value_bounds.back(), values) << "a device has values past the last";
      // Between two bounds every value has the same devices; their nonces must follow one another
      // from 0 to 2^32 without a gap or an overlap.
      for (std::size_t bound = 0; bound + 1 < value_bounds.size(); ++bound) {
        const std::uint64_t value = value_bounds[bound];
        std::vector<std::pair<std::uint64_t, std::uint64_t>> slices;
        for (const Extranonce2Range& range : ranges) {
          if (range.first <= value && value - range.first < range.count) {
            slices.emplace_back(range.nonce_begin, range.nonce_end);
          }
        }
        std::sort(slices.begin(), slices.end());
        std::uint64_t covered = 0;
        for (const auto& [begin, end] : slices) {
          EXPECT_EQ(begin, covered) << "value " << value << (begin < covered ? ": overlap" : ": gap");
          covered = std::max(covered, end);
        }
        EXPECT_EQ(covered, nonce_space) << "value " << value;
      }
    }
  }
}

TEST(StratumWork, ExtranonceBytesAreBigEndianInTheirSize) {
  EXPECT_EQ(to_hex(extranonce2_bytes(0x0102, 4)), "00000102");
  EXPECT_EQ(to_hex(extranonce2_bytes(0x010203, 2)), "0203");
  EXPECT_EQ(to_hex(extranonce2_bytes(0x0102030405060708u, 10)), "00000102030405060708");
  EXPECT_TRUE(extranonce2_bytes(5, 0).empty());
}

}  // namespace
