#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pow/whirlpool.h"
#include "support/test_support.h"

namespace {

// Whirlpool of a whole message through whirlpool_compress and the standard's padding:
// 0x80, zeros, 256-bit big-endian bit length ending on a 64-byte boundary.
std::string whirlpool_hex(const std::string& message) {
  std::string padded = message;
  padded += static_cast<char>(0x80);
  while (padded.size() % 64 != 32) padded += '\0';
  const std::uint64_t bits = std::uint64_t{message.size()} * 8;
  padded.append(24, '\0');
  for (int i = 7; i >= 0; --i) padded += static_cast<char>(bits >> (8 * i));

  WhirlpoolWords state{};
  for (std::size_t offset = 0; offset < padded.size(); offset += 64) {
    WhirlpoolWords block{};
    std::memcpy(block.data(), padded.data() + offset, 64);  // little-endian words, as the hash reads them
    whirlpool_compress(state, block);
  }
  return test_support::to_hex(reinterpret_cast<const std::uint8_t*>(state.data()), 64);
}

// The S-box from the standard's definition: mini-boxes E, E^-1 and R.
std::array<std::uint8_t, 256> standard_sbox() {
  const std::uint8_t e[16] = {0x1, 0xB, 0x9, 0xC, 0xD, 0x6, 0xF, 0x3, 0xE, 0x8, 0x7, 0x4, 0xA, 0x2, 0x5, 0x0};
  const std::uint8_t r[16] = {0x7, 0xC, 0xB, 0xD, 0xE, 0x4, 0x9, 0xF, 0x6, 0x3, 0x8, 0xA, 0x2, 0x5, 0x1, 0x0};
  std::uint8_t e_inverse[16] = {};
  for (std::uint8_t i = 0; i < 16; ++i) e_inverse[e[i]] = i;
  std::array<std::uint8_t, 256> sbox{};
  for (unsigned u = 0; u < 256; ++u) {
    const std::uint8_t left = e[u >> 4];
    const std::uint8_t right = e_inverse[u & 15];
    const std::uint8_t mixed = r[left ^ right];
    sbox[u] = static_cast<std::uint8_t>((e[left ^ mixed] << 4) | e_inverse[right ^ mixed]);
  }
  return sbox;
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1.
std::uint8_t gf_multiply(std::uint8_t a, std::uint8_t b) {
  unsigned product = 0;
  unsigned value = a;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= value;
    value <<= 1;
    if (value & 0x100) value ^= 0x11D;
  }
  return static_cast<std::uint8_t>(product);
}

TEST(Whirlpool, ReproducesTheIsoTestVectors) {
  struct Case {
    const char* name;
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"empty", "",
       "19fa61d75522a4669b44e39c1d2e1726c530232130d407f89afee0964997f7a73e83be698b288febcf88e3e03c4f0757ea8964e59b63d93708b138cc42a66eb3"},
      {"a", "a",
       "8aca2602792aec6f11a67206531fb7d7f0dff59413145e6973c45001d0087b42d11bc645413aeff63a42391a39145a591a92200d560195e53b478584fdae231a"},
      {"abc", "abc",
       "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c7181eebdb6c57e277d0e34957114cbd6c797fc9d95d8b582d225292076d4eef5"},
      {"message digest", "message digest",
       "378c84a4126e2dc6e56dcc7458377aac838d00032230f53ce1f5700c0ffb4d3b8421557659ef55c106b4b52ac5a4aaa692ed920052838f3362e86dbd37a8903e"},
      {"alphabet (two blocks with padding)", "abcdefghijklmnopqrstuvwxyz",
       "f1d754662636ffe92c82ebb9212a484a8d38631ead4238f5442ee13b8054e41b08bf2a9251c30b6a0b8aae86177ab4a6f68f673e7207865d5d9819a3dba4eb3b"},
      {"eighty digits (two blocks)", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "466ef18babb0154d25b9d38a6414f5c08784372bccb204d6549c4afadb6014294d5bd8df2a6c44e538cd047b2681a51a2c60481e88c5a20b2c2a80cf3a9a083b"},
  };
  for (const Case& c : cases) EXPECT_EQ(whirlpool_hex(c.message), c.digest) << c.name;
}

TEST(Whirlpool, TableImageMatchesTheStandardsDefinition) {
  const auto sbox = standard_sbox();
  ASSERT_EQ(sbox[0], 0x18);
  const std::uint8_t circulant_row[8] = {1, 1, 4, 1, 8, 5, 2, 9};
  for (unsigned x = 0; x < 256; ++x) {
    std::uint8_t entry_bytes[8];
    std::memcpy(entry_bytes, &whirlpool_c0()[x], 8);  // memory order must be the standard's printed order
    for (unsigned column = 0; column < 8; ++column) {
      ASSERT_EQ(entry_bytes[column], gf_multiply(sbox[x], circulant_row[column])) << "C0[" << x << "] byte " << column;
    }
  }
  std::uint8_t round_constant_bytes[80];
  std::memcpy(round_constant_bytes, whirlpool_round_constants(), 80);
  for (unsigned i = 0; i < 80; ++i) ASSERT_EQ(round_constant_bytes[i], sbox[i]) << "round constant byte " << i;
  EXPECT_EQ(whirlpool_table_image_size, 2128u);
  EXPECT_EQ(whirlpool_c0()[0], 0xd83078c018601818ULL);
  EXPECT_EQ(whirlpool_round_constants()[9], 0x33835aad07bf2dcaULL);
}

}  // namespace
