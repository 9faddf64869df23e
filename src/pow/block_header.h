#pragma once
// The 80-byte block header, its proof-of-work hash and the midstate split for the GPU.
//
// Layout, all integers little-endian:
//   0..3 version | 4..35 previous block hash (internal order) | 36..67 merkle root
//   68..71 time  | 72..75 compact bits | 76..79 nonce

#include <array>
#include <cstdint>

#include "pow/whirlpool.h"

using BlockHeader = std::array<std::uint8_t, 80>;
// A 32-byte hash in internal order (the order its hash function produced it).
using Hash256 = std::array<std::uint8_t, 32>;
// Whirlpool-512 digest of the header folded to 32 bytes: byte k = D[k] ^ D[k + 32].
using PowHash = std::array<std::uint8_t, 32>;

inline constexpr std::size_t header_nonce_offset = 76;
// The nonces of one header. Positions in it are 64-bit, so that its end fits.
inline constexpr std::uint64_t nonce_space = std::uint64_t{1} << 32;

// What the GPU needs for one job: the chaining value after header bytes 0..63 and the two
// header words of the final block that do not depend on the nonce.
struct Midstate {
  WhirlpoolWords state{};
  std::uint64_t tail0 = 0;  // header bytes 64..71, little-endian: merkle root tail, then time
  std::uint64_t tail1 = 0;  // header bytes 72..75 (bits), little-endian; upper half zero
};

// Writes value into buffer[0..3], least significant byte first.
void store_u32_le(std::uint8_t* buffer, std::uint32_t value);

// Lays out a header with nonce 0. Both hashes are in internal order; the caller reverses a
// node's display-order text before passing it. The 32-byte types make a short hash impossible.
BlockHeader build_header(std::int32_t version, const Hash256& previous_block_hash, const Hash256& merkle_root,
                         std::uint32_t time, std::uint32_t bits);

// Midstate of a header; reads bytes 0..75 only.
Midstate compute_midstate(const BlockHeader& header);

// The final Whirlpool block for an 80-byte message with the given nonce: header bytes 64..79,
// then the standard padding (0x80, zeros, 256-bit big-endian length of 640 bits).
WhirlpoolWords final_block(std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce);

// Folds a Whirlpool digest (eight words) to the 32-byte proof-of-work hash.
PowHash fold_digest(const WhirlpoolWords& digest);

// Proof-of-work hash of the header with its nonce in place.
PowHash pow_hash(const BlockHeader& header);
