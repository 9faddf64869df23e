#include <gtest/gtest.h>

#include "pow/target.h"

namespace {

Target256 limbs(std::uint64_t l3, std::uint64_t l2, std::uint64_t l1, std::uint64_t l0) {
  return Target256{{l0, l1, l2, l3}};
}

TEST(Target, FromCompactBits) {
  struct Case {
    std::uint32_t bits;
    Target256 expected;
  };
  const Case cases[] = {
      {0x1d00ffff, limbs(0x00000000ffff0000, 0, 0, 0)},
      {0x1d80ffff, limbs(0, 0, 0, 0)},  // sign bit
      {0x03123456, limbs(0, 0, 0, 0x123456)},
      {0x02123456, limbs(0, 0, 0, 0x1234)},
      {0x01123456, limbs(0, 0, 0, 0x12)},
      {0x00123456, limbs(0, 0, 0, 0)},
      {0x04123456, limbs(0, 0, 0, 0x12345600)},
      {0x0a123456, limbs(0, 0, 0x1234, 0x5600000000000000)},  // straddles limbs 0 and 1
      {0x20123456, limbs(0x1234560000000000, 0, 0, 0)},
      {0x207fffff, limbs(0x7fffff0000000000, 0, 0, 0)},
      {0x21000001, limbs(0, 0, 0, 0)},  // exponent 33
      {0xff7fffff, limbs(0, 0, 0, 0)},
  };
  for (const Case& c : cases) EXPECT_EQ(target_from_bits(c.bits), c.expected) << std::hex << c.bits;
}

TEST(Target, FromHexText) {
  struct Case {
    const char* text;
    Target256 expected;
  };
  const Case cases[] = {
      {"ff", limbs(0, 0, 0, 0xff)},
      {"00000000ffff0000000000000000000000000000000000000000000000000000", target_from_bits(0x1d00ffff)},
      {"7FFFFF0000000000000000000000000000000000000000000000000000000000", limbs(0x7fffff0000000000, 0, 0, 0)},
      {"", limbs(0, 0, 0, 0)},
      {"f", limbs(0, 0, 0, 0)},           // a lone final digit is ignored
      {"1234f", limbs(0, 0, 0, 0x1234)},  // so is the odd one at the end
      {"zz01", limbs(0, 0, 0, 0x0001)},   // a pair without a digit is 0
      {"1z", limbs(0, 0, 0, 0x01)},       // reading stops at the first non-digit
      // Beyond 64 digits only the first 64 count.
      {"0000000000000000000000000000000000000000000000000000000000000001ff", limbs(0, 0, 0, 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(target_from_hex(c.text), c.expected) << c.text;
}

TEST(Target, Difficulty) {
  EXPECT_DOUBLE_EQ(difficulty_from_target(target_from_bits(0x1d00ffff)), 2.0);
  EXPECT_DOUBLE_EQ(difficulty_from_target(target_from_bits(0x1c00ffff)), 512.0);
  EXPECT_EQ(difficulty_from_target(Target256{}), 0.0);
  EXPECT_LT(difficulty_from_target(target_from_bits(0x207fffff)), 1e-9);
}

TEST(Target, HashMeetsTargetAtTheBoundary) {
  PowHash target_bytes{};
  for (std::size_t i = 0; i < 32; ++i) target_bytes[i] = static_cast<std::uint8_t>(0x40 + i);
  Target256 target;
  for (std::size_t i = 0; i < 32; ++i) target.limbs[i / 8] |= std::uint64_t{target_bytes[i]} << (8 * (i % 8));

  struct Case {
    const char* name;
    std::size_t byte;
    int delta;
    bool meets;
  };
  const Case cases[] = {
      {"equal", 0, 0, true},
      {"one more in byte 0", 0, +1, false},
      {"one less in byte 0", 0, -1, true},
      {"one more in byte 8 (limb 1)", 8, +1, false},
      {"one less in byte 16 (limb 2)", 16, -1, true},
      {"one more in byte 31", 31, +1, false},
      {"one less in byte 31", 31, -1, true},
  };
  for (const Case& c : cases) {
    PowHash hash = target_bytes;
    hash[c.byte] = static_cast<std::uint8_t>(hash[c.byte] + c.delta);
    EXPECT_EQ(hash_meets_target(hash, target), c.meets) << c.name;
  }
  PowHash smaller_top = target_bytes;
  smaller_top[31] = 0;
  for (std::size_t i = 0; i < 31; ++i) smaller_top[i] = 0xff;
  EXPECT_TRUE(hash_meets_target(smaller_top, target)) << "a smaller byte 31 decides whatever follows";
  EXPECT_TRUE(hash_meets_target(PowHash{}, Target256{}));
  PowHash one{};
  one[0] = 1;
  EXPECT_FALSE(hash_meets_target(one, Target256{}));
}

}  // namespace
