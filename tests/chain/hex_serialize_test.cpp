#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "chain/hex.h"
#include "chain/serialize.h"
#include "support/test_support.h"

namespace {

using test_support::to_hex;

TEST(Hex, EncodeWritesTwoLowerCaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(hex_encode(bytes, sizeof bytes), "000fa0ff");
  EXPECT_EQ(hex_encode(bytes, 0), "");
}

TEST(Hex, DecodeReadsPairsLikeStrtol) {
  struct Case {
    const char* name;
    std::string text;
    const char* bytes;
  };
  const Case cases[] = {
      {"lower case", "000fa0ff", "000fa0ff"},
      {"upper case", "000FA0FF", "000fa0ff"},
      {"odd final character ignored", "0FA", "0f"},
      {"pair without a hex digit gives 0", "zz12", "0012"},
      {"conversion stops at a non-digit", "1z", "01"},
      {"leading blank accepted", " f", "0f"},
      {"minus sign keeps the low 8 bits", "-1", "ff"},
      {"empty", "", ""},
      {"single character", "a", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(to_hex(hex_decode(c.text)), c.bytes) << c.name;
}

TEST(Hex, RoundTripsEveryByteValue) {
  ByteVector all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(hex_decode(hex_encode(all.data(), all.size())), all);
}

TEST(Hex, HashFromTextReversesTheNodesDisplayOrder) {
  // Genesis block hash as the node shows it; in internal order it starts 6f e2 8c 0a and ends
  // with the zero bytes, so a text ending in 00 gives a first byte of 00.
  const ByteVector hash = hash_from_text("000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f");
  EXPECT_EQ(to_hex(hash), "6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000");

  const ByteVector leaf = hash_from_text("ff" + std::string(60, '1') + "00");
  ASSERT_EQ(leaf.size(), 32u);
  EXPECT_EQ(leaf.front(), 0x00);
  EXPECT_EQ(leaf.back(), 0xff);
}

TEST(Serialize, CompactSizeUsesTheShortestForm) {
  struct Case {
    std::uint64_t value;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {252, "fc"},
      {253, "fdfd00"},
      {0xffff, "fdffff"},
      {0x10000, "fe00000100"},
      {0xffffffff, "feffffffff"},
      {0x100000000, "ff0000000001000000"},
      {std::numeric_limits<std::uint64_t>::max(), "ffffffffffffffffff"},
  };
  for (const Case& c : cases) {
    ByteVector out{0xaa};  // appends after what is already there
    append_compact_size(out, c.value);
    EXPECT_EQ(to_hex(out), std::string("aa") + c.bytes) << c.value;
  }
}

TEST(Serialize, U64IsLittleEndianTwosComplement) {
  ByteVector out;
  append_u64_le(out, 4950000000);
  append_u64_le(out, static_cast<std::uint64_t>(std::int64_t{-2}));
  EXPECT_EQ(to_hex(out), "80010b2701000000feffffffffffffff");
}

}  // namespace
