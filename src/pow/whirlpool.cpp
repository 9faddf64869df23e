#include "pow/whirlpool.h"

#include <bit>

namespace {

// One round of the dedicated block cipher W on eight rows: the standard's gamma, pi and
// theta folded into one C0 look-up per byte, with the seven other tables as rotations.
WhirlpoolWords whirlpool_round(const WhirlpoolWords& in, const std::uint64_t* c0) {
  WhirlpoolWords out{};
  for (unsigned row = 0; row < 8; ++row) {
    std::uint64_t value = 0;
    for (unsigned t = 0; t < 8; ++t) {
      const std::uint64_t source = in[(row + 8 - t) % 8];
      const auto byte = static_cast<std::uint8_t>(source >> (8 * t));
      value ^= std::rotl(c0[byte], static_cast<int>(8 * t));
    }
    out[row] = value;
  }
  return out;
}

}  // namespace

void whirlpool_compress(WhirlpoolWords& state, const WhirlpoolWords& block) {
  const std::uint64_t* c0 = whirlpool_c0();
  const std::uint64_t* round_constants = whirlpool_round_constants();
  WhirlpoolWords key = state;
  WhirlpoolWords cipher_state{};
  for (unsigned i = 0; i < 8; ++i) cipher_state[i] = block[i] ^ key[i];

  // Key schedule and cipher state advance together; sigma adds the round key.
  for (std::size_t round = 0; round < whirlpool_round_count; ++round) {
    key = whirlpool_round(key, c0);
    key[0] ^= round_constants[round];
    cipher_state = whirlpool_round(cipher_state, c0);
    for (unsigned i = 0; i < 8; ++i) cipher_state[i] ^= key[i];
  }
  for (unsigned i = 0; i < 8; ++i) state[i] ^= cipher_state[i] ^ block[i];
}
