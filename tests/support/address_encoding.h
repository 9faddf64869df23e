#pragma once
// Address encoders written for the tests, to build addresses the decoder must read: bech32 and
// bech32m (BIP 173, BIP 350) and Base58Check.

#include <cstdint>
#include <string>
#include <vector>

#include "chain/bytes.h"

namespace test_support {

inline constexpr std::uint32_t bech32 = 1;
inline constexpr std::uint32_t bech32m = 0x2bc830a3;

// Program bytes as 5-bit groups, the last one padded with zero bits.
std::vector<std::uint8_t> to_five_bit(const ByteVector& bytes);

// hrp, "1", the data values (each below 32) and a checksum made with the given constant.
std::string bech32_encode(const std::string& hrp, const std::vector<std::uint8_t>& data, std::uint32_t constant);

// A segwit address: the version value followed by the program's 5-bit groups.
std::string segwit_address(const std::string& hrp, std::uint8_t version, const ByteVector& program,
                           std::uint32_t constant);

// The payload (version byte and body) with its 4-byte double SHA-256 checksum, in Base58.
std::string base58check_encode(ByteVector payload);

// Base58 of the bytes, one "1" per leading zero byte.
std::string base58_encode(const ByteVector& bytes);

}  // namespace test_support
