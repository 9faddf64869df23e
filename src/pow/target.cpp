#include "pow/target.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

Target256 target_from_bits(std::uint32_t bits) {
  Target256 target;
  if ((bits & 0x00800000U) != 0) return target;
  const std::uint32_t exponent = bits >> 24;
  const std::uint64_t mantissa = bits & 0x007fffffU;
  if (exponent <= 3) {
    target.limbs[0] = mantissa >> (8 * (3 - exponent));
    return target;
  }
  if (exponent > 32) return target;
  // mantissa * 256^(exponent - 3): its three bytes land at byte offsets exponent-3 .. exponent-1.
  for (std::uint32_t i = 0; i < 3; ++i) {
    const std::uint64_t byte = (mantissa >> (8 * i)) & 0xff;
    const std::uint32_t position = exponent - 3 + i;
    target.limbs[position / 8] |= byte << (8 * (position % 8));
  }
  return target;
}

Target256 target_from_hex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::string pair(text.substr(i, 2));
    bytes.push_back(static_cast<std::uint8_t>(std::strtol(pair.c_str(), nullptr, 16) & 0xff));
  }
  if (bytes.size() < 32) bytes.insert(bytes.begin(), 32 - bytes.size(), 0);
  Target256 target;
  for (std::size_t i = 0; i < 32; ++i) {
    // Byte 0 is the most significant: it ends up in the top byte of limb 3.
    const std::size_t limb = 3 - i / 8;
    target.limbs[limb] = (target.limbs[limb] << 8) | bytes[i];
  }
  return target;
}

double difficulty_from_target(const Target256& target) {
  static const double numerator = std::ldexp(1.0, 208) * 131070.0;
  const double two_64 = std::ldexp(1.0, 64);
  double value = static_cast<double>(target.limbs[3]);
  for (std::size_t limb = 3; limb-- > 0;) value = value * two_64 + static_cast<double>(target.limbs[limb]);
  if (value == 0.0) return 0.0;
  return numerator / value;
}

bool hash_meets_target(const PowHash& hash, const Target256& target) {
  for (int limb = 3; limb >= 0; --limb) {
    std::uint64_t hash_limb = 0;
    for (int i = 7; i >= 0; --i) hash_limb = (hash_limb << 8) | hash[static_cast<std::size_t>(8 * limb + i)];
    const auto target_limb = target.limbs[static_cast<std::size_t>(limb)];
    if (hash_limb != target_limb) return hash_limb < target_limb;
  }
  return true;
}
