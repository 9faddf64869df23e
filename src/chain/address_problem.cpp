#include "chain/address_problem.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>

#include "chain/address.h"
#include "chain/sha256.h"

namespace {

constexpr std::string_view bech32_charset = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::size_t base58_checksum_size = 4;

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char expected, char c) { return std::tolower(static_cast<unsigned char>(c)) == expected; });
}

AddressDecoding problem(AddressProblem kind, std::string explanation) { return {{}, kind, std::move(explanation)}; }

std::string quoted_character(char c) {
  if (std::isprint(static_cast<unsigned char>(c))) return std::string("'") + c + "'";
  return "a control character";
}

AddressDecoding explain_segwit(std::string_view address) {
  const bool has_upper = std::any_of(address.begin(), address.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool has_lower = std::any_of(address.begin(), address.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (has_upper && has_lower) return problem(AddressProblem::mixed_case, "it mixes upper and lower case letters");
  if (has_upper) return problem(AddressProblem::mixed_case, "it is in upper case; write it in lower case");
  const std::string_view data_part = address.substr(address.rfind('1') + 1);
  for (const char c : data_part) {
    if (bech32_charset.find(c) == std::string_view::npos) {
      return problem(AddressProblem::character, quoted_character(c) + " does not occur in vtr1/tvtr1 addresses");
    }
  }
  const ByteVector decoded = segwit_address_decode(address);
  if (decoded.empty()) {
    return problem(AddressProblem::checksum, "its checksum does not match; a character is mistyped or missing");
  }
  return problem(AddressProblem::length, "witness version " + std::to_string(decoded[0]) + " with a " +
                                             std::to_string(decoded.size() - 1) +
                                             "-byte program (20 or 32 bytes for version 0, 32 for version 1)");
}

AddressDecoding explain_base58(std::string_view address) {
  for (const char c : address) {
    if (base58_decode(std::string_view(&c, 1)).empty()) {
      return problem(AddressProblem::character, quoted_character(c) + " does not occur in Base58 addresses");
    }
  }
  const ByteVector decoded = base58_decode(address);
  if (decoded.size() <= base58_checksum_size) return problem(AddressProblem::length, "it is too short");
  const std::size_t payload_size = decoded.size() - base58_checksum_size;
  std::array<std::uint8_t, 32> digest{};
  double_sha256(decoded.data(), payload_size, digest.data());
  if (!std::equal(digest.begin(), digest.begin() + base58_checksum_size,
                  decoded.begin() + static_cast<std::ptrdiff_t>(payload_size))) {
    return problem(AddressProblem::checksum, "its checksum does not match; a character is mistyped or missing");
  }
  // A version byte and a 20-byte hash: the length is right, so the version is not one of this coin's.
  if (payload_size == 21) {
    char version[8];
    std::snprintf(version, sizeof version, "0x%02x", decoded[0]);
    return problem(AddressProblem::prefix, std::string("its version byte ") + version +
                                               " belongs to another coin or network");
  }
  return problem(AddressProblem::length, "it holds " + std::to_string(payload_size) +
                                             " bytes before its checksum; a Base58 address holds 21");
}

}  // namespace

AddressDecoding decode_address_explained(std::string_view address) {
  AddressDecoding decoding{address_to_script(address), AddressProblem::none, {}};
  if (!decoding.script.empty()) return decoding;
  if (address.empty()) return problem(AddressProblem::empty, "it is empty");
  if (starts_with_ignoring_case(address, "vtr1") || starts_with_ignoring_case(address, "tvtr1")) {
    return explain_segwit(address);
  }
  // A well-formed bech32 address of another coin or network (such as "bc1...").
  const std::size_t separator = address.rfind('1');
  if (separator != std::string_view::npos && !segwit_address_decode(address).empty()) {
    return problem(AddressProblem::prefix, "prefix \"" + std::string(address.substr(0, separator + 1)) +
                                               "\" is another coin's or network's; Veltrane uses vtr1 (main "
                                               "network) and tvtr1 (test network)");
  }
  return explain_base58(address);
}
