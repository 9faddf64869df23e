#include "chain/address.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "chain/sha256.h"

namespace {

constexpr std::string_view base58_alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr std::string_view bech32_charset = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::uint32_t bech32_constant = 1;
constexpr std::uint32_t bech32m_constant = 0x2bc830a3;
constexpr std::size_t checksum_values = 6;

constexpr std::uint8_t base58_version_pubkey_hash = 0x1c;
constexpr std::uint8_t base58_version_script_hash = 0x12;

std::uint32_t bech32_polymod(const std::vector<std::uint8_t>& values) {
  static constexpr std::array<std::uint32_t, 5> generator = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                                             0x2a1462b3};
  std::uint32_t checksum = 1;
  for (const std::uint8_t value : values) {
    const std::uint32_t top = checksum >> 25;
    checksum = ((checksum & 0x1ffffff) << 5) ^ value;
    for (std::size_t i = 0; i < generator.size(); ++i) {
      if ((top >> i) & 1) checksum ^= generator[i];
    }
  }
  return checksum;
}

ByteVector script_for_witness_program(std::uint8_t version, const std::uint8_t* program, std::size_t length) {
  const bool known = (version == 0 && (length == 20 || length == 32)) || (version == 1 && length == 32);
  if (!known) return {};
  // OP_0 or OP_1, then a push of the program.
  ByteVector script{static_cast<std::uint8_t>(version == 0 ? 0x00 : 0x51), static_cast<std::uint8_t>(length)};
  script.insert(script.end(), program, program + length);
  return script;
}

ByteVector script_for_base58check(std::string_view address) {
  const ByteVector decoded = base58_decode(address);
  // Exactly version, 20-byte hash and checksum: a longer payload would pay to a cut-off hash that
  // nobody can spend.
  if (decoded.size() != 25) return {};
  const std::size_t payload_length = decoded.size() - 4;
  std::array<std::uint8_t, 32> digest{};
  double_sha256(decoded.data(), payload_length, digest.data());
  if (!std::equal(digest.begin(), digest.begin() + 4, decoded.begin() + static_cast<std::ptrdiff_t>(payload_length))) {
    return {};
  }
  const auto hash_begin = decoded.begin() + 1;
  const auto hash_end = hash_begin + 20;
  ByteVector script;
  if (decoded[0] == base58_version_pubkey_hash) {
    script = {0x76, 0xa9, 0x14};  // OP_DUP OP_HASH160 push(20)
    script.insert(script.end(), hash_begin, hash_end);
    script.insert(script.end(), {0x88, 0xac});  // OP_EQUALVERIFY OP_CHECKSIG
  } else if (decoded[0] == base58_version_script_hash) {
    script = {0xa9, 0x14};  // OP_HASH160 push(20)
    script.insert(script.end(), hash_begin, hash_end);
    script.push_back(0x87);  // OP_EQUAL
  }
  return script;
}

}  // namespace

ByteVector address_to_script(std::string_view address) {
  // Case-sensitive prefix test; the only network check, and either network is accepted.
  if (address.starts_with("vtr1") || address.starts_with("tvtr1")) {
    const ByteVector decoded = segwit_address_decode(address);
    if (decoded.size() >= 2) {
      ByteVector script = script_for_witness_program(decoded[0], decoded.data() + 1, decoded.size() - 1);
      if (!script.empty()) return script;
    }
  }
  return script_for_base58check(address);
}

// Bech32 as in BIP 173, deliberately lenient: either checksum constant for every version, no
// length limit, no mixed-case or human-readable-part rules, padding bits not checked, any
// program length. Upper-case data characters are outside the charset and fail.
ByteVector segwit_address_decode(std::string_view address) {
  const std::size_t separator = address.rfind('1');
  if (separator == std::string_view::npos || separator == 0) return {};
  const std::string_view human_part = address.substr(0, separator);
  const std::string_view data_part = address.substr(separator + 1);
  if (data_part.size() < checksum_values) return {};

  std::vector<std::uint8_t> values;
  values.reserve(2 * human_part.size() + 1 + data_part.size());
  for (const char c : human_part) values.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) >> 5));
  values.push_back(0);
  for (const char c : human_part) values.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) & 0x1f));
  const std::size_t data_start = values.size();
  for (const char c : data_part) {
    const std::size_t value = bech32_charset.find(c);
    if (value == std::string_view::npos) return {};
    values.push_back(static_cast<std::uint8_t>(value));
  }
  const std::uint32_t checksum = bech32_polymod(values);
  if (checksum != bech32_constant && checksum != bech32m_constant) return {};

  const std::size_t data_end = values.size() - checksum_values;
  if (data_end == data_start) return {};
  ByteVector result{values[data_start]};  // witness version, range not checked here
  std::uint32_t accumulator = 0;
  int bit_count = 0;
  for (std::size_t i = data_start + 1; i < data_end; ++i) {
    accumulator = ((accumulator << 5) | values[i]) & 0xfff;  // 12 bits hold every pending bit
    bit_count += 5;
    if (bit_count >= 8) {
      bit_count -= 8;
      result.push_back(static_cast<std::uint8_t>(accumulator >> bit_count));
    }
  }
  // Left-over bits (fewer than 8) are dropped whatever their number or value.
  return result;
}

ByteVector base58_decode(std::string_view text) {
  ByteVector little_endian;  // the number, least significant byte first
  little_endian.reserve(text.size());
  for (const char c : text) {
    const std::size_t value = base58_alphabet.find(c);
    if (value == std::string_view::npos) return {};
    std::uint32_t carry = static_cast<std::uint32_t>(value);
    for (std::uint8_t& byte : little_endian) {
      const std::uint32_t x = std::uint32_t{byte} * 58 + carry;
      byte = static_cast<std::uint8_t>(x & 0xff);
      carry = x >> 8;
    }
    while (carry != 0) {
      little_endian.push_back(static_cast<std::uint8_t>(carry & 0xff));
      carry >>= 8;
    }
  }
  for (std::size_t i = 0; i < text.size() && text[i] == '1'; ++i) little_endian.push_back(0);
  std::reverse(little_endian.begin(), little_endian.end());
  return little_endian;
}
