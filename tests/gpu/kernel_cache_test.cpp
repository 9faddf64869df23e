// The kernel cache's key, entry format and files, without a device.
#include "gpu/kernel_cache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/test_support.h"

namespace {

KernelCacheKeyParts sample_parts() {
  return {"__kernel void k() {}", "-cl-mad-enable", "Portable Computing Language", "cpu-haswell", "6.0", "1.1"};
}

// Every part shapes the key, and the parts cannot run into each other.
TEST(KernelCacheKey, ChangesWithEveryPart) {
  struct Case {
    const char* name;
    std::string KernelCacheKeyParts::*part;
    std::string value;
  };
  const Case cases[] = {
      {"kernel source", &KernelCacheKeyParts::source, "__kernel void k() { }"},
      {"build options", &KernelCacheKeyParts::build_options, "-cl-mad-enable -cl-fast-relaxed-math"},
      {"platform", &KernelCacheKeyParts::platform_name, "NVIDIA CUDA"},
      {"device", &KernelCacheKeyParts::device_name, "cpu-skylake"},
      {"driver version", &KernelCacheKeyParts::driver_version, "6.1"},
      {"miner version", &KernelCacheKeyParts::miner_version, "1.2"},
  };
  const KernelCacheKey base = kernel_cache_key(sample_parts());
  EXPECT_EQ(kernel_cache_key(sample_parts()), base);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KernelCacheKeyParts parts = sample_parts();
    parts.*(c.part) = c.value;
    EXPECT_NE(kernel_cache_key(parts), base);
  }
  KernelCacheKeyParts shifted = sample_parts();
  shifted.driver_version = "6.01";
  shifted.miner_version = ".1";
  EXPECT_NE(kernel_cache_key(shifted), base) << "a boundary moved between two parts";

  const std::string name = kernel_cache_file_name(base);
  EXPECT_EQ(name.size(), 64u + 4u);
  EXPECT_EQ(name.substr(64), ".bin");
}

TEST(KernelCacheEntry, DecodesWhatWasEncodedAndRefusesDamage) {
  const KernelCacheKey key = kernel_cache_key(sample_parts());
  KernelCacheKeyParts other_driver = sample_parts();
  other_driver.driver_version = "5.0";
  const KernelCacheKey other_key = kernel_cache_key(other_driver);
  const std::string binary = std::string("\x7f" "ELF binary\0with zeros", 22);
  const std::string entry = encode_kernel_cache_entry(key, binary);

  const DecodedCacheEntry good = decode_kernel_cache_entry(entry, key);
  EXPECT_EQ(good.problem, "");
  EXPECT_EQ(good.binary, binary);
  EXPECT_EQ(decode_kernel_cache_entry(encode_kernel_cache_entry(key, ""), key).problem, "") << "empty binary";

  const auto flipped = [&entry](std::size_t offset) {
    std::string damaged = entry;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x01);
    return damaged;
  };
  struct Case {
    const char* name;
    std::string entry;
    KernelCacheKey expected_key;
    std::string problem;
  };
  const Case cases[] = {
      {"empty file", "", key, "not a kernel cache entry"},
      {"header cut short", entry.substr(0, 40), key, "not a kernel cache entry"},
      {"other magic", flipped(0), key, "not a kernel cache entry"},
      {"entry of another driver version", encode_kernel_cache_entry(other_key, binary), key,
       "made for another kernel, device or driver"},
      {"key byte flipped", flipped(8), key, "made for another kernel, device or driver"},
      {"binary cut short", entry.substr(0, entry.size() - 1), key, "wrong length"},
      {"bytes appended", entry + "x", key, "wrong length"},
      {"length byte flipped", flipped(8 + 32), key, "wrong length"},
      {"checksum byte flipped", flipped(8 + 32 + 8 + 5), key, "checksum mismatch"},
      {"binary byte flipped", flipped(entry.size() - 3), key, "checksum mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedCacheEntry decoded = decode_kernel_cache_entry(c.entry, c.expected_key);
    EXPECT_EQ(decoded.problem, c.problem);
    EXPECT_EQ(decoded.binary, "");
  }
}

TEST(KernelCacheFile, WritesThroughARenameAndReadsBack) {
  test_support::TemporaryDirectory directory;
  const std::filesystem::path path = directory.path / "veltrane-miner" / "entry.bin";
  EXPECT_FALSE(read_kernel_cache_file(path).found);

  ASSERT_EQ(write_kernel_cache_file(path, "first"), "");
  ASSERT_EQ(write_kernel_cache_file(path, std::string("second\0entry", 12)), "") << "an existing entry is replaced";
  const CacheFileRead read = read_kernel_cache_file(path);
  EXPECT_TRUE(read.found);
  EXPECT_EQ(read.problem, "");
  EXPECT_EQ(read.contents, std::string("second\0entry", 12));
  // Only the entry is left: no temporary file stays behind.
  std::size_t files = 0;
  for (const auto& item : std::filesystem::directory_iterator(path.parent_path())) files += item.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST(KernelCacheFile, AFolderThatCannotBeMadeGivesTheReason) {
  test_support::TemporaryDirectory directory;
  const std::filesystem::path blocker = directory.path / "not-a-folder";
  std::ofstream(blocker) << "a file where the cache folder should be";
  const std::string problem = write_kernel_cache_file(blocker / "veltrane-miner" / "entry.bin", "bytes");
  EXPECT_NE(problem.find("cannot create " + path_text(blocker / "veltrane-miner")), std::string::npos) << problem;
}

}  // namespace
