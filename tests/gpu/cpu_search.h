#pragma once
// The CPU's answers that the kernel tests compare the device with: hashes of one header over a
// range of nonces, as 256-bit numbers.

#include <cstdint>
#include <random>

#include "pow/block_header.h"
#include "pow/target.h"

namespace cpu_search {

// The hash read as a little-endian 256-bit number, as the kernel compares it with the target.
inline Target256 as_number(const PowHash& hash) {
  Target256 number;
  for (std::size_t k = 0; k < hash.size(); ++k) number.limbs[k / 8] |= std::uint64_t{hash[k]} << (8 * (k % 8));
  return number;
}

inline bool less_than(const Target256& left, const Target256& right) {
  for (int limb = 3; limb >= 0; --limb) {
    const auto index = static_cast<std::size_t>(limb);
    if (left.limbs[index] != right.limbs[index]) return left.limbs[index] < right.limbs[index];
  }
  return false;
}

inline PowHash hash_with_nonce(BlockHeader header, std::uint32_t nonce) {
  store_u32_le(header.data() + header_nonce_offset, nonce);
  return pow_hash(header);
}

struct LowestHash {
  std::uint32_t nonce = 0;
  Target256 hash;
};

// The nonce with the lowest hash among base .. base + count - 1 (modulo 2^32).
inline LowestHash lowest_hash(const BlockHeader& header, std::uint32_t base, std::uint32_t count) {
  LowestHash lowest{base, as_number(hash_with_nonce(header, base))};
  for (std::uint32_t offset = 1; offset < count; ++offset) {
    const std::uint32_t nonce = base + offset;
    const Target256 hash = as_number(hash_with_nonce(header, nonce));
    if (less_than(hash, lowest.hash)) lowest = {nonce, hash};
  }
  return lowest;
}

inline BlockHeader random_header(std::mt19937_64& random) {
  BlockHeader header{};
  for (auto& byte : header) byte = static_cast<std::uint8_t>(random());
  return header;
}

}  // namespace cpu_search
