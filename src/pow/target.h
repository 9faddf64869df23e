#pragma once
// 256-bit targets: from compact bits or the node's hex text, difficulty, and the hash test.

#include <array>
#include <cstdint>
#include <string_view>

#include "pow/block_header.h"

// Unsigned 256-bit number, limb 0 least significant. Its 32-byte little-endian image is what
// the GPU receives.
struct Target256 {
  std::array<std::uint64_t, 4> limbs{};
  bool operator==(const Target256&) const = default;
};

// Compact bits: exponent in bits 24..31, sign in bit 23, mantissa in bits 0..22.
// A set sign bit or an exponent above 32 gives the zero target.
Target256 target_from_bits(std::uint32_t bits);

// Big-endian hex text as the node sends it; pairs are read leniently (strtol rules), short text
// gives the low-order bytes and text beyond 64 digits is ignored.
Target256 target_from_hex(std::string_view text);

// 131070 * 2^208 / target as a double; 0.0 for the zero target.
double difficulty_from_target(const Target256& target);

// True when the hash, read little-endian as a 256-bit number, is at most the target.
bool hash_meets_target(const PowHash& hash, const Target256& target);
