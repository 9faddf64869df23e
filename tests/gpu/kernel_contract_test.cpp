// The kernel on the OpenCL device against the CPU's pow_hash. All tests share one miner, as
// each kernel build costs seconds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "cpu_search.h"
#include "gpu/autotune.h"
#include "gpu/gpu_miner.h"
#include "gpu/kernel_cache.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "support/test_support.h"

namespace {

constexpr std::int32_t contract_global_size = 64;
constexpr std::int32_t contract_local_size = 16;
constexpr std::uint32_t batch_nonces = contract_global_size * nonces_per_item;

using cpu_search::hash_with_nonce;
using cpu_search::less_than;
using cpu_search::lowest_hash;
using cpu_search::LowestHash;
using cpu_search::random_header;

// Uploads the header's job and searches one batch from base.
BatchResult search(GpuMiner& gpu, const BlockHeader& header, const Target256& target, std::uint32_t base) {
  const Midstate midstate = compute_midstate(header);
  gpu_set_job(gpu, midstate.state, target);
  return gpu_run_batch(gpu, midstate.tail0, midstate.tail1, base);
}

class KernelContract : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all");
    testing::internal::CaptureStdout();
    gpu_ = gpu_miner_create(0, 0, contract_global_size, contract_local_size,
                            VELTRANE_BINARY_DIR "/whirlpool_opencl.cl");
    setup_output_ = testing::internal::GetCapturedStdout();
  }
  static void TearDownTestSuite() {
    gpu_miner_release(gpu_);
    gpu_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(gpu_, nullptr) << setup_output_; }

  static BatchResult search(const BlockHeader& header, const Target256& target, std::uint32_t base) {
    return ::search(*gpu_, header, target, base);
  }

  inline static GpuMiner* gpu_ = nullptr;
  inline static std::string setup_output_;
};

// With the lowest hash of the batch as the target, exactly that nonce hits: every nonce of the
// range is searched and hash == target counts. One below it, nothing hits.
TEST_F(KernelContract, ReportsTheLowestHashOfTheBatchFromAnyBase) {
  struct Case {
    const char* name;
    std::uint32_t base;
  };
  const Case cases[] = {
      {"aligned at zero", 0},
      {"unaligned, items cross nonce byte 1", 0x00000a3d},
      {"unaligned, crossing nonce byte 2", 0x0000f0a3},
      {"unaligned, crossing nonce byte 3", 0x00fff0a3},
      {"aligned, wrapping past 2^32", 0xfffff000},
      {"unaligned, wrapping past 2^32", 0xffffef5b},
  };
  std::mt19937_64 random(2024);
  for (const Case& c : cases) {
    for (int header_number = 0; header_number < 8; ++header_number) {
      const BlockHeader header = random_header(random);
      const LowestHash lowest = lowest_hash(header, c.base, batch_nonces);
      SCOPED_TRACE(std::string(c.name) + ", header " + test_support::to_hex(header));

      const BatchResult hit = search(header, lowest.hash, c.base);
      EXPECT_TRUE(hit.found);
      EXPECT_EQ(hit.nonce, lowest.nonce);
      EXPECT_EQ(hit.nonces_done, batch_nonces);

      Target256 below = lowest.hash;
      // The lowest hash's limb 0 is zero with negligible chance; then the test proves less.
      if (below.limbs[0] != 0) --below.limbs[0];
      EXPECT_FALSE(search(header, below, c.base).found);
    }
  }
}

// Limb 3 is compared first, and only on equality do the lower limbs decide.
TEST_F(KernelContract, ComparesTheLimbsMostSignificantFirst) {
  std::mt19937_64 random(99);
  const BlockHeader header = random_header(random);
  const std::uint32_t base = 0x12345600;
  const LowestHash lowest = lowest_hash(header, base, batch_nonces);
  const std::uint64_t all_ones = ~std::uint64_t{0};
  const std::uint64_t limb2 = lowest.hash.limbs[2];
  ASSERT_NE(limb2, 0u);
  struct Case {
    const char* name;
    Target256 target;
    bool hits;
  };
  const Case cases[] = {
      {"limb 3 equal, limb 2 one below, lower limbs all ones",
       {{all_ones, all_ones, limb2 - 1, lowest.hash.limbs[3]}}, false},
      {"limb 3 equal, limb 2 equal, lower limbs all ones", {{all_ones, all_ones, limb2, lowest.hash.limbs[3]}}, true},
      {"limb 3 one above, lower limbs zero", {{0, 0, 0, lowest.hash.limbs[3] + 1}}, true},
      {"all-zero target", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BatchResult result = search(header, c.target, base);
    EXPECT_EQ(result.found, c.hits);
    if (result.found) {
      EXPECT_TRUE(hash_meets_target(hash_with_nonce(header, result.nonce), c.target));
    }
    EXPECT_EQ(result.nonces_done, batch_nonces);
  }
}

// Many nonces hit an easy target at once; whichever is reported must be one of them.
TEST_F(KernelContract, ReportsOnlyANonceThatHits) {
  std::mt19937_64 random(5);
  Target256 easy;
  easy.limbs[3] = std::uint64_t{1} << 56;  // about 1 in 256 hashes hits
  for (int header_number = 0; header_number < 4; ++header_number) {
    const BlockHeader header = random_header(random);
    const std::uint32_t base = static_cast<std::uint32_t>(random());
    const BatchResult result = search(header, easy, base);
    ASSERT_TRUE(result.found);
    EXPECT_LT(result.nonce - base, batch_nonces);
    EXPECT_TRUE(hash_meets_target(hash_with_nonce(header, result.nonce), easy)) << result.nonce;
  }
}

// The host clears the found flag before each batch; the nonce buffer keeps the last hit, which
// must not be reported again by a batch without one.
TEST_F(KernelContract, ClearsTheFoundFlagForEachBatch) {
  std::mt19937_64 random(11);
  const BlockHeader header = random_header(random);
  LowestHash first = lowest_hash(header, 0, batch_nonces);
  LowestHash second = lowest_hash(header, batch_nonces, batch_nonces);
  std::uint32_t first_base = 0;
  std::uint32_t second_base = batch_nonces;
  if (less_than(second.hash, first.hash)) {
    std::swap(first, second);
    std::swap(first_base, second_base);
  }
  const BatchResult hit = search(header, first.hash, first_base);
  ASSERT_TRUE(hit.found);
  EXPECT_EQ(hit.nonce, first.nonce);
  const BatchResult miss = search(header, first.hash, second_base);
  EXPECT_FALSE(miss.found);
  EXPECT_EQ(miss.nonces_done, batch_nonces);
}

// Queued launches: each searches its own range with its own result, the results come back in
// queue order, and a batch split into launches of whole work-groups finds what the batch finds.
TEST_F(KernelContract, QueuedLaunchesReportEachTheirOwnRange) {
  std::mt19937_64 random(17);
  const BlockHeader header = random_header(random);
  constexpr std::uint32_t half_items = contract_global_size / 2;
  constexpr std::uint32_t half_nonces = half_items * nonces_per_item;
  const LowestHash lowest = lowest_hash(header, 0, batch_nonces);
  const bool in_first_half = lowest.nonce < half_nonces;
  const Midstate midstate = compute_midstate(header);
  gpu_set_job(*gpu_, midstate.state, lowest.hash);

  std::string error;
  ASSERT_TRUE(gpu_queue_launch(*gpu_, midstate.tail0, midstate.tail1, 0, half_items, error)) << error;
  ASSERT_TRUE(gpu_queue_launch(*gpu_, midstate.tail0, midstate.tail1, half_nonces, half_items, error)) << error;
  EXPECT_FALSE(gpu_queue_launch(*gpu_, midstate.tail0, midstate.tail1, batch_nonces, half_items, error))
      << "every slot is taken until the oldest launch is collected";
  EXPECT_EQ(error, "") << "a full queue is no failure of the device";
  const BatchResult first = gpu_collect_launch(*gpu_);
  const BatchResult second = gpu_collect_launch(*gpu_);
  EXPECT_EQ(first.nonces_done, half_nonces);
  EXPECT_EQ(second.nonces_done, half_nonces);
  EXPECT_EQ(first.found, in_first_half);
  EXPECT_EQ(second.found, !in_first_half);
  EXPECT_EQ((in_first_half ? first : second).nonce, lowest.nonce);
  EXPECT_EQ(gpu_collect_launch(*gpu_).nonces_done, 0u) << "nothing left to collect";

  // The single-batch call still works after queued launches rebound the result buffers.
  const BatchResult batch = gpu_run_batch(*gpu_, midstate.tail0, midstate.tail1, 0);
  EXPECT_TRUE(batch.found);
  EXPECT_EQ(batch.nonce, lowest.nonce);
}


// The kernel shares its tables and round keys within a work-group; any group size must work,
// including one item alone, sizes that do not divide 256 and sizes above it.
TEST(KernelWorkGroups, SearchesTheWholeBatchWithAnyGroupSize) {
  test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all");
  const std::pair<std::int32_t, std::int32_t> sizes[] = {{1, 1}, {24, 24}, {520, 260}};
  std::mt19937_64 random(31);
  for (const auto& [global_size, local_size] : sizes) {
    SCOPED_TRACE(std::to_string(global_size) + " global, " + std::to_string(local_size) + " local");
    testing::internal::CaptureStdout();
    GpuMiner* gpu = gpu_miner_create(0, 0, global_size, local_size, VELTRANE_BINARY_DIR "/whirlpool_opencl.cl");
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_NE(gpu, nullptr) << output;
    const std::uint32_t nonces = static_cast<std::uint32_t>(global_size) * nonces_per_item;
    const BlockHeader header = random_header(random);
    const auto base = static_cast<std::uint32_t>(random());
    const LowestHash lowest = lowest_hash(header, base, nonces);
    const Midstate midstate = compute_midstate(header);
    gpu_set_job(*gpu, midstate.state, lowest.hash);
    const BatchResult result = gpu_run_batch(*gpu, midstate.tail0, midstate.tail1, base);
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.nonce, lowest.nonce);
    EXPECT_EQ(result.nonces_done, nonces);
    gpu_miner_release(gpu);
  }
}

// The kernel cache with a cache folder of the test's own: what a start writes, the next loads,
// and whatever is wrong with an entry or the folder costs only a source build.
class KernelCache : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_folder_ = std::make_unique<test_support::TemporaryDirectory>();
    // PoCL keeps its own compiler cache under XDG_CACHE_HOME, read once per process: give it a
    // folder that outlives the tests' cache folders.
    test_support::set_environment_variable("POCL_CACHE_DIR", (suite_folder_->path / "pocl").string().c_str());
  }
  static void TearDownTestSuite() {
    test_support::set_environment_variable("POCL_CACHE_DIR", nullptr);
    suite_folder_.reset();
  }
  void SetUp() override {
    test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all");
    use_cache_home(cache_home_.path);
  }
  void TearDown() override {
    test_support::set_environment_variable("XDG_CACHE_HOME", nullptr);
    test_support::set_environment_variable("LOCALAPPDATA", nullptr);
  }
  // Linux reads the one, Windows the other.
  static void use_cache_home(const std::filesystem::path& folder) {
    test_support::set_environment_variable("XDG_CACHE_HOME", folder.string().c_str());
    test_support::set_environment_variable("LOCALAPPDATA", folder.string().c_str());
  }

  struct Start {
    GpuMiner* gpu = nullptr;
    std::string output;
  };
  static Start start() {
    testing::internal::CaptureStdout();
    GpuMiner* gpu = gpu_miner_create(0, 0, contract_global_size, contract_local_size,
                                     VELTRANE_BINARY_DIR "/whirlpool_opencl.cl", true);
    return {gpu, testing::internal::GetCapturedStdout()};
  }

  std::vector<std::filesystem::path> entries() const {
    std::vector<std::filesystem::path> found;
    const std::filesystem::path folder = cache_home_.path / "veltrane-miner";
    if (!std::filesystem::exists(folder)) return found;
    for (const auto& item : std::filesystem::directory_iterator(folder)) found.push_back(item.path());
    return found;
  }

  // The started miner finds the lowest hash of a batch, as the CPU does.
  static void expect_mines_like_the_cpu(GpuMiner& gpu) {
    std::mt19937_64 random(41);
    const BlockHeader header = random_header(random);
    const LowestHash lowest = lowest_hash(header, 0x5000, batch_nonces);
    const BatchResult hit = search(gpu, header, lowest.hash, 0x5000);
    EXPECT_TRUE(hit.found);
    EXPECT_EQ(hit.nonce, lowest.nonce);
  }

  inline static std::unique_ptr<test_support::TemporaryDirectory> suite_folder_;
  test_support::TemporaryDirectory cache_home_;
};

TEST_F(KernelCache, TheFirstStartWritesTheEntryAndTheSecondLoadsIt) {
  const Start first = start();
  ASSERT_NE(first.gpu, nullptr) << first.output;
  gpu_miner_release(first.gpu);
  const std::vector<std::filesystem::path> written = entries();
  ASSERT_EQ(written.size(), 1u) << first.output;
  EXPECT_NE(first.output.find("  [*] Kernel cached for the next start: " + path_text(written[0]) + "\n"),
            std::string::npos)
      << first.output;

  const Start second = start();
  ASSERT_NE(second.gpu, nullptr) << second.output;
  EXPECT_NE(second.output.find("  [*] Kernel loaded from the cache: " + path_text(written[0]) + "\n"),
            std::string::npos)
      << second.output;
  expect_mines_like_the_cpu(*second.gpu);
  gpu_miner_release(second.gpu);
  EXPECT_EQ(entries(), written);
}

TEST_F(KernelCache, AnEntryThatCannotBeUsedIsReplacedByASourceBuild) {
  const Start first = start();
  ASSERT_NE(first.gpu, nullptr) << first.output;
  gpu_miner_release(first.gpu);
  ASSERT_EQ(entries().size(), 1u) << first.output;
  const std::filesystem::path entry_path = entries()[0];
  const std::string good_entry = test_support::read_file(entry_path);
  KernelCacheKey key{};
  ASSERT_GT(good_entry.size(), 8 + key.size());
  std::copy_n(good_entry.begin() + 8, key.size(), key.begin());
  KernelCacheKeyParts other_driver;
  other_driver.driver_version = "an older driver";

  struct Case {
    const char* name;
    std::string entry;
    std::string reason;  // the start of the reason the line gives
  };
  std::string flipped = good_entry;
  flipped[good_entry.size() / 2] = static_cast<char>(flipped[good_entry.size() / 2] ^ 0x20);
  const Case cases[] = {
      {"corrupt entry", flipped, "checksum mismatch"},
      {"entry of another driver version in its place", encode_kernel_cache_entry(kernel_cache_key(other_driver), "x"),
       "made for another kernel, device or driver"},
      {"intact entry whose binary the driver refuses", encode_kernel_cache_entry(key, "no program at all"), "cl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(entry_path, std::ios::binary | std::ios::trunc) << c.entry;
    const Start fallback = start();
    ASSERT_NE(fallback.gpu, nullptr) << fallback.output;
    EXPECT_NE(fallback.output.find("  [!] Kernel cache entry not used (" + c.reason), std::string::npos)
        << fallback.output;
    EXPECT_NE(fallback.output.find("): building from source and replacing it\n"), std::string::npos)
        << fallback.output;
    expect_mines_like_the_cpu(*fallback.gpu);
    gpu_miner_release(fallback.gpu);

    const Start after = start();
    EXPECT_NE(after.output.find("  [*] Kernel loaded from the cache: "), std::string::npos)
        << "the entry was rewritten:\n" << after.output;
    gpu_miner_release(after.gpu);
  }
}

TEST_F(KernelCache, AFolderThatCannotBeWrittenCostsOnlyTheBuild) {
  // A file where the cache folder would be: no permission bits to rely on, which root ignores.
  const std::filesystem::path blocker = cache_home_.path / "file";
  std::ofstream(blocker) << "not a folder";
  use_cache_home(blocker);
  const Start blocked = start();
  ASSERT_NE(blocked.gpu, nullptr) << blocked.output;
  EXPECT_NE(blocked.output.find("  [!] Kernel cache not written (cannot create "), std::string::npos)
      << blocked.output;
  EXPECT_NE(blocked.output.find("): the next start builds from source again\n"), std::string::npos)
      << blocked.output;
  expect_mines_like_the_cpu(*blocked.gpu);
  gpu_miner_release(blocked.gpu);
}

// The autotune keeps its choice beside the kernel cache; a later start reuses it unless a size
// from the command line differs from it.
TEST_F(KernelCache, TheAutotuneChoiceIsKeptAndReusedWhileItFitsTheGivenSizes) {
  const Start first = start();
  ASSERT_NE(first.gpu, nullptr) << first.output;
  // What is kept and reused is the point here, not the launch limit, which a loaded machine may
  // miss with every size: the limits below leave room for that (one size alone is timed for the
  // last case).
  const AutotuneSettings local_given{0.3, 0, 64, 0.6};
  testing::internal::CaptureStdout();
  const bool tuned = gpu_autotune(*first.gpu, local_given);
  const std::string tune_output = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(tuned) << tune_output;
  const WorkSize chosen{gpu_global_size(*first.gpu), gpu_local_size(*first.gpu)};
  EXPECT_EQ(chosen.local_size, 64);
  EXPECT_EQ(tune_output.rfind("  [*] Autotune: " + std::to_string(chosen.global_size) + " global, 64 local (fastest of ",
                              0),
            0u)
      << tune_output;
  EXPECT_EQ(test_support::read_file(gpu_work_size_file(*first.gpu)), encode_work_size(chosen));
  gpu_miner_release(first.gpu);

  struct Case {
    const char* name;
    AutotuneSettings settings;
    bool reused;
  };
  const std::int32_t other_global = chosen.global_size == 1024 ? 4096 : 1024;
  const Case cases[] = {
      {"nothing given", {0.3, 0, 0}, true},
      {"the chosen global size given", {0.3, chosen.global_size, 0}, true},
      {"another global size given", {0.3, other_global, 64, 5.0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Start later = start();
    ASSERT_NE(later.gpu, nullptr) << later.output;
    testing::internal::CaptureStdout();
    gpu_autotune(*later.gpu, c.settings);
    const std::string output = testing::internal::GetCapturedStdout();
    if (c.reused) {
      EXPECT_EQ(output, "  [*] Autotune: " + std::to_string(chosen.global_size) +
                            " global, 64 local, as chosen at an earlier start\n");
      EXPECT_EQ(gpu_global_size(*later.gpu), chosen.global_size);
    } else {
      EXPECT_EQ(output.rfind("  [*] Autotune: " + std::to_string(other_global) + " global, 64 local (", 0), 0u)
          << output;
    }
    EXPECT_EQ(gpu_local_size(*later.gpu), 64);
    gpu_miner_release(later.gpu);
  }
}

}  // namespace
