#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "pow/block_header.h"
#include "support/test_support.h"

namespace {

BlockHeader counting_header() {
  BlockHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i);
  return header;
}

BlockHeader random_header(std::mt19937_64& random) {
  BlockHeader header{};
  for (auto& byte : header) byte = static_cast<std::uint8_t>(random());
  return header;
}

TEST(PowHash, KnownHeaders) {
  EXPECT_EQ(test_support::to_hex(pow_hash(BlockHeader{})),
            "829d0b00f746ef2907cead38ab4e8320dd98440f9351eba05b33057406e115ae");
  EXPECT_EQ(test_support::to_hex(pow_hash(counting_header())),
            "01e9274cf09e478d9bffe75c46f2a65cb75c2ff2e17153155381f5b1624ef223");
  const Midstate midstate = compute_midstate(counting_header());
  EXPECT_EQ(midstate.tail0, 0x4746454443424140ULL);
  EXPECT_EQ(midstate.tail1, 0x000000004b4a4948ULL);
}

// The GPU's relation: one compression from the midstate with the per-nonce block, folded.
TEST(PowHash, EqualsOneCompressionFromTheMidstate) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 50; ++round) {
    BlockHeader header = random_header(random);
    const auto nonce = static_cast<std::uint32_t>(random());
    store_u32_le(header.data() + header_nonce_offset, nonce);
    const Midstate midstate = compute_midstate(header);
    WhirlpoolWords state = midstate.state;
    whirlpool_compress(state, final_block(midstate.tail0, midstate.tail1, nonce));
    ASSERT_EQ(fold_digest(state), pow_hash(header)) << "header " << test_support::to_hex(header);
    ASSERT_EQ(midstate.tail1 >> 32, 0u);
  }
}

// Which midstate parts each header field reaches.
TEST(Midstate, DependsOnlyOnTheFieldsItCovers) {
  struct Case {
    const char* name;
    std::size_t offset;
    bool state_changes, tail0_changes, tail1_changes;
  };
  const Case cases[] = {
      {"version byte", 0, true, false, false},       {"previous hash", 20, true, false, false},
      {"merkle root head", 63, true, false, false},  {"merkle root tail", 64, false, true, false},
      {"time", 70, false, true, false},              {"bits", 75, false, false, true},
      {"nonce", 76, false, false, false},            {"nonce high byte", 79, false, false, false},
  };
  const BlockHeader base = counting_header();
  const Midstate reference = compute_midstate(base);
  for (const Case& c : cases) {
    BlockHeader changed = base;
    changed[c.offset] ^= 0x5a;
    const Midstate midstate = compute_midstate(changed);
    EXPECT_EQ(midstate.state != reference.state, c.state_changes) << c.name;
    EXPECT_EQ(midstate.tail0 != reference.tail0, c.tail0_changes) << c.name;
    EXPECT_EQ(midstate.tail1 != reference.tail1, c.tail1_changes) << c.name;
  }
}

TEST(BlockHeader, LaysOutTheFieldsLittleEndian) {
  Hash256 previous{};
  Hash256 merkle{};
  previous[0] = 0x01;  // a display text ending in 01, already reversed by the caller
  for (std::size_t i = 0; i < merkle.size(); ++i) merkle[i] = static_cast<std::uint8_t>(0xa0 + i);
  const BlockHeader header = build_header(0x20000002, previous, merkle, 0x5f5e1000, 0x1d00ffff);
  EXPECT_EQ(test_support::to_hex(header),
            "02000020"
            "0100000000000000000000000000000000000000000000000000000000000000"
            "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
            "00105e5f"
            "ffff001d"
            "00000000");
  BlockHeader with_nonce = header;
  store_u32_le(with_nonce.data() + header_nonce_offset, 0x01020304);
  EXPECT_EQ(test_support::to_hex(with_nonce).substr(152), "04030201");
}

// An independent Whirlpool: OpenSSL's, on random headers, folded here.
TEST(PowHash, AgreesWithOpenSsl) {
  const std::string openssl = "openssl dgst -provider legacy -provider default -whirlpool -r";
  if (test_support::run_command("printf '' | " + openssl + " 2>/dev/null").exit_code != 0) {
    GTEST_SKIP() << "openssl has no Whirlpool here";
  }
  std::mt19937_64 random(11);
  std::vector<BlockHeader> headers;
  std::vector<std::unique_ptr<test_support::TemporaryFile>> files;
  std::string command = openssl;
  for (int i = 0; i < 24; ++i) {
    headers.push_back(random_header(random));
    files.push_back(std::make_unique<test_support::TemporaryFile>(
        std::string_view(reinterpret_cast<const char*>(headers.back().data()), headers.back().size())));
    command += " " + files.back()->path.string();
  }
  const auto result = test_support::run_command(command);
  ASSERT_EQ(result.exit_code, 0);
  std::istringstream lines(result.output);
  for (const BlockHeader& header : headers) {
    std::string digest_hex;
    std::string file_name;
    ASSERT_TRUE(lines >> digest_hex >> file_name);
    const auto digest = test_support::from_hex(digest_hex);
    ASSERT_EQ(digest.size(), 64u);
    PowHash folded{};
    for (std::size_t k = 0; k < 32; ++k) folded[k] = digest[k] ^ digest[k + 32];
    EXPECT_EQ(test_support::to_hex(pow_hash(header)), test_support::to_hex(folded)) << test_support::to_hex(header);
  }
}

}  // namespace
