// Fuzz targets of block assembly and proof of work: hex decoding and hash-from-text, the payout
// address decoder, and the two target readers.

#include <algorithm>
#include <cmath>
#include <string>

#include "chain/address.h"
#include "chain/hex.h"
#include "fuzz_input.h"
#include "pow/target.h"
#include "support/address_encoding.h"

using fuzz::check;

namespace {

ByteVector bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

bool starts_with_bytes(const ByteVector& bytes, std::initializer_list<std::uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// One of the five script forms an address may pay to.
bool is_known_script(const ByteVector& script) {
  switch (script.size()) {
    case 22: return starts_with_bytes(script, {0x00, 0x14});
    case 34: return starts_with_bytes(script, {0x00, 0x20}) || starts_with_bytes(script, {0x51, 0x20});
    case 25: return starts_with_bytes(script, {0x76, 0xa9, 0x14}) && script[23] == 0x88 && script[24] == 0xac;
    case 23: return starts_with_bytes(script, {0xa9, 0x14}) && script[22] == 0x87;
    default: return false;
  }
}

ByteVector expected_witness_script(std::uint8_t version, const ByteVector& program) {
  const bool known = (version == 0 && (program.size() == 20 || program.size() == 32)) ||
                     (version == 1 && program.size() == 32);
  if (!known) return {};
  ByteVector script{static_cast<std::uint8_t>(version == 0 ? 0x00 : 0x51), static_cast<std::uint8_t>(program.size())};
  script.insert(script.end(), program.begin(), program.end());
  return script;
}

// Texts the decoder must read: a segwit address or a Base58Check address built from the input.
void check_encoded_addresses(std::string_view input) {
  constexpr std::string_view name = "address";
  if (input.size() < 2) return;
  const auto selector = static_cast<std::uint8_t>(input[0]);
  const ByteVector body = bytes_of(input.substr(1));
  if ((selector & 1) == 0) {
    const auto version = static_cast<std::uint8_t>((selector >> 1) % 17);
    const std::string hrp = (selector & 0x40) != 0 ? "tvtr" : "vtr";
    const std::uint32_t constant = (selector & 0x80) != 0 ? test_support::bech32m : test_support::bech32;
    const ByteVector expected = expected_witness_script(version, body);
    if (!expected.empty()) {
      check(address_to_script(test_support::segwit_address(hrp, version, body, constant)) == expected, name,
            "a segwit address of a known version and length pays to its program");
    }
    return;
  }
  const std::uint8_t version = (selector & 2) != 0 ? 0x1c : 0x12;
  ByteVector payload{version};
  payload.insert(payload.end(), body.begin(), body.end());
  const ByteVector script = address_to_script(test_support::base58check_encode(payload));
  if (body.size() == 20) {
    ByteVector expected = version == 0x1c ? ByteVector{0x76, 0xa9, 0x14} : ByteVector{0xa9, 0x14};
    expected.insert(expected.end(), body.begin(), body.end());
    if (version == 0x1c) expected.insert(expected.end(), {0x88, 0xac});
    if (version == 0x12) expected.push_back(0x87);
    check(script == expected, name, "a Base58Check address with a 20-byte hash pays to that hash");
  } else if (body.size() < 20) {
    check(script.empty(), name, "a Base58Check address shorter than 25 bytes does not decode");
  }
}

std::string target_as_hex(const Target256& target) {
  std::string text;
  for (std::size_t limb = 4; limb-- > 0;) {
    for (int shift = 56; shift >= 0; shift -= 8) {
      const auto byte = static_cast<std::uint8_t>(target.limbs[limb] >> shift);
      text += hex_encode(&byte, 1);
    }
  }
  return text;
}

PowHash target_image(const Target256& target) {
  PowHash image{};
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(target.limbs[i / 8] >> (8 * (i % 8)));
  return image;
}

// target plus or minus one, wrapping.
Target256 step(Target256 target, bool up) {
  for (std::uint64_t& limb : target.limbs) {
    const bool carries = up ? limb == ~std::uint64_t{0} : limb == 0;
    limb = up ? limb + 1 : limb - 1;
    if (!carries) break;
  }
  return target;
}

// The compact form of a target as the node computes it: the three most significant bytes as
// mantissa (left-aligned below three bytes), one more byte of exponent when the top bit would
// read as a sign.
std::uint32_t compact_from_target(const Target256& target) {
  const std::string hex = target_as_hex(target);
  const ByteVector big_endian = hex_decode(hex);
  std::size_t first = 0;
  while (first < big_endian.size() && big_endian[first] == 0) ++first;
  std::uint32_t size = static_cast<std::uint32_t>(big_endian.size() - first);
  std::uint32_t mantissa = 0;
  for (std::size_t i = first; i < first + 3; ++i) mantissa = (mantissa << 8) | (i < big_endian.size() ? big_endian[i] : 0);
  if ((mantissa & 0x00800000U) != 0) {
    mantissa >>= 8;
    ++size;
  }
  return (size << 24) | mantissa;
}

bool is_zero(const Target256& target) {
  return std::all_of(target.limbs.begin(), target.limbs.end(), [](std::uint64_t limb) { return limb == 0; });
}

void check_target(const Target256& target, std::string_view property_source) {
  constexpr std::string_view name = "target";
  check(target_from_hex(target_as_hex(target)) == target, name, property_source);
  const double difficulty = difficulty_from_target(target);
  check(std::isfinite(difficulty) && difficulty >= 0.0 && (difficulty == 0.0) == is_zero(target), name,
        "the difficulty is finite, not negative, and zero only for the zero target");
  check(hash_meets_target(target_image(target), target), name, "a hash equal to the target meets it");
  const Target256 above = step(target, true);
  if (!is_zero(above)) check(!hash_meets_target(target_image(above), target), name, "a hash one above does not");
  if (!is_zero(target)) check(hash_meets_target(target_image(step(target, false)), target), name, "one below does");
}

}  // namespace

void fuzz_hex(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "hex";
  const std::string_view text = fuzz::as_text(data, size);
  const ByteVector bytes = hex_decode(text);
  check(bytes.size() == text.size() / 2, name, "one byte per pair of characters");
  ByteVector reversed = hash_from_text(text);
  std::reverse(reversed.begin(), reversed.end());
  check(reversed == bytes, name, "a hash text decodes to the reversed bytes");
  if (fuzz::is_hex_text(text) && text.size() % 2 == 0) {
    check(hex_encode(bytes.data(), bytes.size()) == fuzz::lower_case(text), name, "hex decodes and encodes back");
  }
  const ByteVector raw = bytes_of(text);
  check(hex_decode(hex_encode(raw.data(), raw.size())) == raw, name, "bytes encode and decode back");
}

void fuzz_address(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "address";
  const std::string_view text = fuzz::as_text(data, size);
  const ByteVector script = address_to_script(text);
  check(script.empty() || is_known_script(script), name, "an address pays to one of the known script forms");
  const ByteVector witness = segwit_address_decode(text);
  check(witness.empty() || witness[0] < 32, name, "a witness version is a 5-bit value");
  // Addresses are short; the quadratic Base58 round trips look at the first 64 bytes only.
  const std::string_view head = text.substr(0, 64);
  const ByteVector raw = bytes_of(head);
  check(base58_decode(test_support::base58_encode(raw)) == raw, name, "Base58 encodes and decodes back");
  check_encoded_addresses(head);
}

void fuzz_target(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "target";
  const std::string_view text = fuzz::as_text(data, size);
  const Target256 from_text = target_from_hex(text);
  check_target(from_text, "a target from hex written back as 64 digits reads the same");
  if (text.size() == 64 && fuzz::is_hex_text(text)) {
    check(target_as_hex(from_text) == fuzz::lower_case(text), name, "64 hex digits are the target's digits");
  }

  const auto bits = static_cast<std::uint32_t>(fuzz::leading_u64(text));
  const Target256 from_bits = target_from_bits(bits);
  check_target(from_bits, "a target from bits written as 64 hex digits reads the same");
  if ((bits & 0x00800000U) != 0 || (bits >> 24) > 32) check(is_zero(from_bits), name, "sign or oversized exponent: zero");
  if (!is_zero(from_bits)) {
    check(target_from_bits(compact_from_target(from_bits)) == from_bits, name, "a target's compact form reads back");
  }
}
