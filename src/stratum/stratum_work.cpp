#include "stratum/stratum_work.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "chain/sha256.h"

Target256 difficulty_one_target() {
  Target256 target;
  target.limbs[3] = std::uint64_t{0x1fffe} << 16;  // 0x1fffe x 2^208: bits 208 and up
  return target;
}

Target256 share_target(double difficulty) {
  // quotient = 131070 / difficulty, so the target is quotient x 2^208. Split the quotient into
  // its 53-bit mantissa and a power of two, then place the mantissa's bits.
  const double quotient = 131070.0 / difficulty;
  int exponent = 0;
  const double fraction = std::frexp(quotient, &exponent);  // quotient = fraction x 2^exponent
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int shift = exponent - 53 + 208;  // the target is mantissa x 2^shift
  Target256 target;
  if (!std::isfinite(quotient) || shift + 53 > 256) {
    target.limbs.fill(UINT64_MAX);
    return target;
  }
  if (shift < 0) {
    if (shift <= -64) return target;
    mantissa >>= -shift;
    shift = 0;
  }
  const int limb = shift / 64;
  const int offset = shift % 64;
  target.limbs[static_cast<std::size_t>(limb)] = mantissa << offset;
  if (offset != 0 && limb + 1 < 4) target.limbs[static_cast<std::size_t>(limb + 1)] = mantissa >> (64 - offset);
  return target;
}

ByteVector assemble_coinbase(const StratumJob& job, const ByteVector& extranonce1, const ByteVector& extranonce2) {
  ByteVector coinbase = job.coinbase_part1;
  coinbase.insert(coinbase.end(), extranonce1.begin(), extranonce1.end());
  coinbase.insert(coinbase.end(), extranonce2.begin(), extranonce2.end());
  coinbase.insert(coinbase.end(), job.coinbase_part2.begin(), job.coinbase_part2.end());
  return coinbase;
}

Hash256 merkle_root_from_branch(const ByteVector& coinbase, const std::vector<ByteVector>& branch) {
  Hash256 root{};
  double_sha256(coinbase.data(), coinbase.size(), root.data());
  std::uint8_t pair[64];
  for (const ByteVector& hash : branch) {
    std::copy(root.begin(), root.end(), pair);
    std::copy_n(hash.begin(), std::min<std::size_t>(hash.size(), 32), pair + 32);
    double_sha256(pair, sizeof pair, root.data());
  }
  return root;
}

BlockHeader job_header(const StratumJob& job, const Hash256& merkle_root) {
  Hash256 previous{};
  for (std::size_t word = 0; word < 8; ++word) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      previous[4 * word + byte] = job.previous_hash_words[4 * word + 3 - byte];
    }
  }
  return build_header(static_cast<std::int32_t>(job.version), previous, merkle_root, job.time, job.bits);
}

ByteVector extranonce2_bytes(std::uint64_t value, std::int32_t size) {
  ByteVector bytes(static_cast<std::size_t>(std::max(size, 0)), 0);
  for (std::size_t index = 0; index < bytes.size() && index < 8; ++index) {
    bytes[bytes.size() - 1 - index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
  return bytes;
}

std::string nonce_text(std::uint32_t nonce) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", nonce);
  return text;
}

Extranonce2Range extranonce2_range(std::int32_t size, int device_index, int device_count) {
  if (device_count <= 0 || device_index < 0 || device_index >= device_count) return {};
  // 2^(8 x size) values, at most 2^64 - 1 of them: the counter is 64 bits wide, and no run uses
  // up that many.
  const std::uint64_t values = size >= 8 ? UINT64_MAX : std::uint64_t{1} << (8 * std::max(size, 0));
  const auto devices = static_cast<std::uint64_t>(device_count);
  const auto index = static_cast<std::uint64_t>(device_index);
  if (values < devices) {
    // Devices index, index + values, index + 2 x values, ... share a value and split its nonces.
    const std::uint64_t value = index % values;
    const std::uint64_t sharing = (devices - value + values - 1) / values;
    const std::uint64_t place = index / values;
    return {value, 1, place * nonce_space / sharing, (place + 1) * nonce_space / sharing};
  }
  // An even split; the first values % devices devices take one more, so that every value is used.
  const std::uint64_t per_device = values / devices;
  const std::uint64_t more = values % devices;
  return {index * per_device + std::min(index, more), per_device + (index < more ? 1 : 0)};
}
