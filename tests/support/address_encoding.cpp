#include "support/address_encoding.h"

#include <algorithm>

#include "chain/sha256.h"

namespace test_support {

namespace {

const std::string bech32_charset = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

std::uint32_t polymod(const std::vector<std::uint8_t>& values) {
  const std::uint32_t generator[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
  std::uint32_t checksum = 1;
  for (const std::uint8_t value : values) {
    const std::uint32_t top = checksum >> 25;
    checksum = ((checksum & 0x1ffffff) << 5) ^ value;
    for (int i = 0; i < 5; ++i) checksum ^= ((top >> i) & 1) ? generator[i] : 0;
  }
  return checksum;
}

}  // namespace

std::vector<std::uint8_t> to_five_bit(const ByteVector& bytes) {
  std::vector<std::uint8_t> groups;
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (const std::uint8_t byte : bytes) {
    accumulator = (accumulator << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      groups.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 31));
    }
  }
  if (bits > 0) groups.push_back(static_cast<std::uint8_t>((accumulator << (5 - bits)) & 31));
  return groups;
}

std::string bech32_encode(const std::string& hrp, const std::vector<std::uint8_t>& data, std::uint32_t constant) {
  std::vector<std::uint8_t> values;
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c >> 5));
  values.push_back(0);
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c & 31));
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), 6, 0);
  const std::uint32_t checksum = polymod(values) ^ constant;
  std::string text = hrp + "1";
  for (const std::uint8_t value : data) text += bech32_charset[value];
  for (int i = 0; i < 6; ++i) text += bech32_charset[(checksum >> (5 * (5 - i))) & 31];
  return text;
}

std::string segwit_address(const std::string& hrp, std::uint8_t version, const ByteVector& program,
                           std::uint32_t constant) {
  std::vector<std::uint8_t> data{version};
  const auto groups = to_five_bit(program);
  data.insert(data.end(), groups.begin(), groups.end());
  return bech32_encode(hrp, data, constant);
}

std::string base58_encode(const ByteVector& bytes) {
  const std::string alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::string digits;  // least significant first
  ByteVector number = bytes;
  while (std::any_of(number.begin(), number.end(), [](std::uint8_t b) { return b != 0; })) {
    std::uint32_t remainder = 0;
    for (std::uint8_t& byte : number) {
      const std::uint32_t value = remainder * 256 + byte;
      byte = static_cast<std::uint8_t>(value / 58);
      remainder = value % 58;
    }
    digits += alphabet[remainder];
  }
  for (std::size_t i = 0; i < bytes.size() && bytes[i] == 0; ++i) digits += '1';
  return {digits.rbegin(), digits.rend()};
}

std::string base58check_encode(ByteVector payload) {
  ByteVector checksum(32);
  double_sha256(payload.data(), payload.size(), checksum.data());
  payload.insert(payload.end(), checksum.begin(), checksum.begin() + 4);
  return base58_encode(payload);
}

}  // namespace test_support
