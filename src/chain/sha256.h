#pragma once
// SHA-256 (FIPS 180-4), one-shot, and double SHA-256.

#include <array>
#include <cstdint>

// Compresses one 64-byte block (message words read big-endian) into the eight state words.
void sha256_transform(std::array<std::uint32_t, 8>& state, const std::uint8_t* block);

// Writes the 32-byte digest of data[0..length) into digest; each state word big-endian.
void sha256(const std::uint8_t* data, std::uint64_t length, std::uint8_t* digest);

// sha256 of the 32-byte sha256 digest of data[0..length): the hash of transaction ids, merkle
// nodes and Base58Check checksums. The digest is in internal order (as produced, not reversed).
void double_sha256(const std::uint8_t* data, std::uint64_t length, std::uint8_t* digest);
