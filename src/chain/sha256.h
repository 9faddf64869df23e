#pragma once
// SHA-256 (FIPS 180-4), one-shot. Double SHA-256 is sha256 applied to a 32-byte digest.

#include <array>
#include <cstdint>

// Compresses one 64-byte block (message words read big-endian) into the eight state words.
void sha256_transform(std::array<std::uint32_t, 8>& state, const std::uint8_t* block);

// Writes the 32-byte digest of data[0..length) into digest; each state word big-endian.
void sha256(const std::uint8_t* data, std::uint64_t length, std::uint8_t* digest);
