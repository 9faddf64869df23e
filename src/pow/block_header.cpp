#include "pow/block_header.h"

#include <algorithm>

namespace {

std::uint64_t load_u64_le(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

std::uint32_t load_u32_le(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

WhirlpoolWords compress_first_block(const BlockHeader& header) {
  WhirlpoolWords state{};
  WhirlpoolWords block{};
  for (std::size_t i = 0; i < 8; ++i) block[i] = load_u64_le(header.data() + 8 * i);
  whirlpool_compress(state, block);
  return state;
}

}  // namespace

void store_u32_le(std::uint8_t* buffer, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

BlockHeader build_header(std::int32_t version, const Hash256& previous_block_hash, const Hash256& merkle_root,
                         std::uint32_t time, std::uint32_t bits) {
  BlockHeader header{};
  store_u32_le(header.data(), static_cast<std::uint32_t>(version));
  std::copy(previous_block_hash.begin(), previous_block_hash.end(), header.begin() + 4);
  std::copy(merkle_root.begin(), merkle_root.end(), header.begin() + 36);
  store_u32_le(header.data() + 68, time);
  store_u32_le(header.data() + 72, bits);
  return header;
}

Midstate compute_midstate(const BlockHeader& header) {
  Midstate midstate;
  midstate.state = compress_first_block(header);
  midstate.tail0 = load_u64_le(header.data() + 64);
  midstate.tail1 = load_u32_le(header.data() + 72);
  return midstate;
}

WhirlpoolWords final_block(std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce) {
  return {tail0, tail1 | (std::uint64_t{nonce} << 32), 0x80, 0, 0, 0, 0, 0x8002000000000000ULL};
}

PowHash fold_digest(const WhirlpoolWords& digest) {
  PowHash hash{};
  for (std::size_t k = 0; k < hash.size(); ++k) {
    const std::size_t high = k + 32;
    hash[k] = static_cast<std::uint8_t>((digest[k / 8] >> (8 * (k % 8))) ^ (digest[high / 8] >> (8 * (high % 8))));
  }
  return hash;
}

PowHash pow_hash(const BlockHeader& header) {
  WhirlpoolWords state = compress_first_block(header);
  const std::uint64_t tail1 = load_u32_le(header.data() + 72);
  const std::uint32_t nonce = load_u32_le(header.data() + header_nonce_offset);
  whirlpool_compress(state, final_block(load_u64_le(header.data() + 64), tail1, nonce));
  return fold_digest(state);
}
