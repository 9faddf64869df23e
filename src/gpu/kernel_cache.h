#pragma once
// The kernel binary cache: built program binaries kept on disk so that later starts skip the
// source build. An entry is named after a hash of everything that shapes the binary, and carries
// that key and a checksum of the binary in its header, so that a corrupt or foreign file is
// refused before the driver sees it.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

// Everything the built binary depends on.
struct KernelCacheKeyParts {
  std::string source;
  std::string build_options;
  std::string platform_name;
  std::string device_name;
  std::string driver_version;
  std::string miner_version;
};

using KernelCacheKey = std::array<std::uint8_t, 32>;

// SHA-256 of the parts, each preceded by its length so that no two sets of parts run together.
KernelCacheKey kernel_cache_key(const KernelCacheKeyParts& parts);

// The entry's file name in the cache folder: the key in hex and ".bin".
std::string kernel_cache_file_name(const KernelCacheKey& key);

// An entry: magic, the key, the binary's length (little-endian 64-bit) and its SHA-256, then the binary.
std::string encode_kernel_cache_entry(const KernelCacheKey& key, const std::string& binary);

struct DecodedCacheEntry {
  std::string binary;   // the program binary when problem is empty
  std::string problem;  // why the entry cannot be used ("checksum mismatch"); empty when it can
};
DecodedCacheEntry decode_kernel_cache_entry(const std::string& entry, const KernelCacheKey& expected_key);

// Entries beyond this size are not read: no program binary of this kernel comes near it.
inline constexpr std::uintmax_t kernel_cache_entry_limit = std::uintmax_t{256} << 20;

struct CacheFileRead {
  bool found = false;    // the file exists
  std::string contents;  // its bytes when it could be read
  std::string problem;   // why an existing file could not be read; empty otherwise
};
CacheFileRead read_kernel_cache_file(const std::filesystem::path& path);

// Writes the file through a temporary file in the same folder and a rename, so that a reader never
// sees half an entry; creates the folder. Returns the reason on failure, empty on success.
std::string write_kernel_cache_file(const std::filesystem::path& path, const std::string& contents);

// A path as console text (UTF-8).
std::string path_text(const std::filesystem::path& path);
