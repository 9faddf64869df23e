#pragma once
// Whirlpool-512 compression function (ISO/IEC 10118-3:2004, the final 2003 revision).
//
// State and message blocks are eight 64-bit words. Word i is row i of the standard's 8x8
// byte matrix: the little-endian reading of bytes 8i..8i+7 of the standard's byte string.
// So the 64-byte memory image of the state on a little-endian machine is exactly the
// standard's chaining value; no byte swapping happens anywhere in the hash.

#include <array>
#include <cstddef>
#include <cstdint>

using WhirlpoolWords = std::array<std::uint64_t, 8>;

inline constexpr std::size_t whirlpool_round_count = 10;

// The table image that the CPU reads and the GPU receives byte for byte:
// 256 words of C0 followed by the 10 round constants, 2,128 bytes in all.
inline constexpr std::size_t whirlpool_table_words = 256 + whirlpool_round_count;
inline constexpr std::size_t whirlpool_table_image_size = whirlpool_table_words * sizeof(std::uint64_t);
extern const std::uint64_t whirlpool_table_image[whirlpool_table_words];

// Entry x of C0: the standard's row C0[x] with its first byte in bits 0..7.
// C_t[x] is this word rotated left by 8t bits.
inline const std::uint64_t* whirlpool_c0() { return whirlpool_table_image; }
// Round constant of round r (1..10) at index r - 1: S[8(r-1)] .. S[8(r-1)+7], little-endian.
inline const std::uint64_t* whirlpool_round_constants() { return whirlpool_table_image + 256; }

// One Miyaguchi-Preneel compression: state <- state ^ W_state(block) ^ block.
void whirlpool_compress(WhirlpoolWords& state, const WhirlpoolWords& block);
