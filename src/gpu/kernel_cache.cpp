#include "gpu/kernel_cache.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <system_error>

#include "chain/hex.h"
#include "chain/serialize.h"
#include "chain/sha256.h"

namespace {

constexpr std::string_view entry_magic = "VTRKCB01";
constexpr std::size_t length_size = 8;
constexpr std::size_t header_size = entry_magic.size() + 32 + length_size + 32;

using Digest = std::array<std::uint8_t, 32>;

Digest sha256_of(const std::string& bytes) {
  Digest digest{};
  sha256(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

void append_length(std::string& out, std::uint64_t length) {
  ByteVector bytes;
  append_u64_le(bytes, length);
  out.append(bytes.begin(), bytes.end());
}

std::uint64_t read_u64_le(const std::string& bytes, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < length_size; ++k) {
    value |= std::uint64_t{static_cast<std::uint8_t>(bytes[offset + k])} << (8 * k);
  }
  return value;
}

template <std::size_t size>
void append_bytes(std::string& out, const std::array<std::uint8_t, size>& bytes) {
  out.append(reinterpret_cast<const char*>(bytes.data()), size);
}

template <std::size_t size>
bool bytes_equal(const std::string& bytes, std::size_t offset, const std::array<std::uint8_t, size>& expected) {
  return std::equal(expected.begin(), expected.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                    [](std::uint8_t left, char right) { return left == static_cast<std::uint8_t>(right); });
}

}  // namespace

KernelCacheKey kernel_cache_key(const KernelCacheKeyParts& parts) {
  std::string material;
  for (const std::string* part : {&parts.source, &parts.build_options, &parts.platform_name, &parts.device_name,
                                  &parts.driver_version, &parts.miner_version}) {
    append_length(material, part->size());
    material += *part;
  }
  return sha256_of(material);
}

std::string kernel_cache_file_name(const KernelCacheKey& key) {
  return hex_encode(key.data(), key.size()) + ".bin";
}

std::string encode_kernel_cache_entry(const KernelCacheKey& key, const std::string& binary) {
  std::string entry(entry_magic);
  append_bytes(entry, key);
  append_length(entry, binary.size());
  append_bytes(entry, sha256_of(binary));
  entry += binary;
  return entry;
}

DecodedCacheEntry decode_kernel_cache_entry(const std::string& entry, const KernelCacheKey& expected_key) {
  if (entry.size() < header_size || entry.compare(0, entry_magic.size(), entry_magic) != 0) {
    return {{}, "not a kernel cache entry"};
  }
  if (!bytes_equal(entry, entry_magic.size(), expected_key)) {
    return {{}, "made for another kernel, device or driver"};
  }
  const std::uint64_t length = read_u64_le(entry, entry_magic.size() + 32);
  if (length != entry.size() - header_size) return {{}, "wrong length"};
  std::string binary = entry.substr(header_size);
  if (!bytes_equal(entry, entry_magic.size() + 32 + length_size, sha256_of(binary))) {
    return {{}, "checksum mismatch"};
  }
  return {std::move(binary), {}};
}

CacheFileRead read_kernel_cache_file(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return {};
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return {true, {}, error.message()};
  if (size > kernel_cache_entry_limit) return {true, {}, "larger than any kernel binary"};
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return {true, {}, "cannot open it"};
  std::string contents(static_cast<std::size_t>(size), '\0');
  file.read(contents.data(), static_cast<std::streamsize>(size));
  if (file.gcount() != static_cast<std::streamsize>(size)) return {true, {}, "cannot read it"};
  return {true, std::move(contents), {}};
}

std::string write_kernel_cache_file(const std::filesystem::path& path, const std::string& contents) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return "cannot create " + path_text(path.parent_path()) + ": " + error.message();
  // A name of its own per writer: two miners starting together never write into one temporary file.
  std::filesystem::path temporary = path;
  temporary += ".tmp" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) return "cannot create " + path_text(temporary);
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    file.close();
    if (file.fail()) {
      std::filesystem::remove(temporary, error);
      return "cannot write " + path_text(temporary);
    }
  }
  std::filesystem::rename(temporary, path, error);
  if (error) {
    const std::string reason = "cannot rename " + path_text(temporary) + ": " + error.message();
    std::filesystem::remove(temporary, error);
    return reason;
  }
  return {};
}

std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
