// The kernel on oclgrind's simulated device, which checks every access of the kernel: data races,
// reads of uninitialised memory, accesses out of bounds, barriers not reached by every work item
// and misuse of the API. CTest runs this program under the oclgrind wrapper with those checks on.
//
// The simulator compiles the kernel for no particular processor, so neither branch is picked for
// it by the compiler: each test builds a copy of the kernel that chooses one. The GPU branch reads
// the tables through an ordinary pointer, the x86 branch (PoCL's CPU device) through a volatile one.
// Each miner gets its own simulator log, which is read after its release: any report fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cpu_search.h"
#include "gpu/gpu_miner.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "support/test_support.h"

namespace {

using cpu_search::lowest_hash;
using cpu_search::LowestHash;

// Two work items in one group: enough for the group to share its table build and round keys, small
// enough that a launch of 256 nonces takes seconds with every check on.
constexpr std::int32_t simulated_global_size = 2;
constexpr std::int32_t simulated_local_size = 2;
constexpr std::uint32_t launch_nonces = simulated_global_size * nonces_per_item;

// The installed kernel's text with `preamble` before it.
std::string kernel_text(const std::string& preamble) {
  const std::string kernel = read_kernel_file(VELTRANE_BINARY_DIR "/whirlpool_opencl.cl");
  EXPECT_FALSE(kernel.empty()) << "the kernel file is missing from the build folder";
  return preamble + kernel;
}

// "#define VOLATILE_TABLES 0" for the GPU branch, 1 for the x86 branch.
std::string branch_preamble(bool volatile_tables) {
  return "#define VOLATILE_TABLES " + std::string(volatile_tables ? "1" : "0") + "\n";
}

// A miner of the simulated device on a kernel text, logging the simulator's reports to its own
// file; the log is complete once the miner is released.
struct SimulatedMiner {
  explicit SimulatedMiner(const std::string& kernel) {
    const std::filesystem::path kernel_path = folder.path / "kernel.cl";
    std::ofstream(kernel_path, std::ios::binary) << kernel;
    test_support::set_environment_variable("VELTRANE_DEVICE_TYPE", "all");
    test_support::set_environment_variable("OCLGRIND_LOG", log_path().c_str());
    testing::internal::CaptureStdout();
    gpu = gpu_miner_create(0, 0, simulated_global_size, simulated_local_size, kernel_path.string());
    setup_output = testing::internal::GetCapturedStdout();
    test_support::set_environment_variable("OCLGRIND_LOG", nullptr);
  }
  ~SimulatedMiner() { gpu_miner_release(gpu); }
  SimulatedMiner(const SimulatedMiner&) = delete;
  SimulatedMiner& operator=(const SimulatedMiner&) = delete;

  std::filesystem::path log_path() const { return folder.path / "oclgrind.log"; }
  // Releases the miner and returns everything the simulator reported for it.
  std::string release_and_read_log() {
    gpu_miner_release(gpu);
    gpu = nullptr;
    return std::filesystem::exists(log_path()) ? test_support::read_file(log_path()) : std::string();
  }

  BatchResult search(const BlockHeader& header, const Target256& target, std::uint32_t base) {
    const Midstate midstate = compute_midstate(header);
    gpu_set_job(*gpu, midstate.state, target);
    return gpu_run_batch(*gpu, midstate.tail0, midstate.tail1, base);
  }

  test_support::TemporaryDirectory folder;
  GpuMiner* gpu = nullptr;
  std::string setup_output;
};

// Fails unless the miner was set up on oclgrind's device: anywhere else nothing is checked.
void expect_simulated_device(const SimulatedMiner& miner) {
  ASSERT_NE(miner.gpu, nullptr) << miner.setup_output;
  char name[256];
  char vendor[256];
  std::uint64_t memory = 0;
  ASSERT_TRUE(get_gpu_device_info(0, 0, name, sizeof name, vendor, sizeof vendor, &memory));
  ASSERT_NE(std::string(name).find("Oclgrind"), std::string::npos)
      << "device 0 is \"" << name << "\": run this program as  oclgrind --data-races --uninitialized "
      << "--check-api PROGRAM";
}

struct Branch {
  const char* name;
  bool volatile_tables;
};

class SimulatedKernel : public testing::TestWithParam<Branch> {};

// Found nonces, the no-find case and a hit on the last nonce of a work item, each against the
// CPU's hashes, with nothing reported by the simulator. The base makes work item 0 cross a change
// of nonce byte 1, so that it searches two runs.
TEST_P(SimulatedKernel, MatchesTheCpuHashWithoutAnyReport) {
  SimulatedMiner miner(kernel_text(branch_preamble(GetParam().volatile_tables)));
  expect_simulated_device(miner);
  if (HasFatalFailure()) return;
  std::mt19937_64 random(77);
  const std::uint32_t base = 0x1234ffa0;

  {
    SCOPED_TRACE("the lowest hash of the launch as the target, then one below it");
    const BlockHeader header = cpu_search::random_header(random);
    const LowestHash lowest = lowest_hash(header, base, launch_nonces);
    const BatchResult hit = miner.search(header, lowest.hash, base);
    EXPECT_TRUE(hit.found);
    EXPECT_EQ(hit.nonce, lowest.nonce);
    EXPECT_EQ(hit.nonces_done, launch_nonces);
    Target256 below = lowest.hash;
    ASSERT_NE(below.limbs[0], 0u);
    --below.limbs[0];
    const BatchResult miss = miner.search(header, below, base);
    EXPECT_FALSE(miss.found);
    EXPECT_EQ(miss.nonces_done, launch_nonces);
  }
  {
    SCOPED_TRACE("a header whose lowest hash is at the last nonce of a work item");
    BlockHeader header;
    LowestHash lowest;
    do {
      header = cpu_search::random_header(random);
      lowest = lowest_hash(header, base, launch_nonces);
    } while ((lowest.nonce - base) % nonces_per_item != nonces_per_item - 1);
    const BatchResult hit = miner.search(header, lowest.hash, base);
    EXPECT_TRUE(hit.found);
    EXPECT_EQ(hit.nonce, lowest.nonce);
  }
  EXPECT_EQ(miner.release_and_read_log(), "");
}

INSTANTIATE_TEST_SUITE_P(Branches, SimulatedKernel,
                         testing::Values(Branch{"gpu", false}, Branch{"x86", true}),
                         [](const testing::TestParamInfo<Branch>& branch) { return std::string(branch.param.name); });

// Without the barrier between the table build and the key schedule, work item 0 reads table
// entries that work item 1 writes: the simulator must say so, or the test above proves nothing.
TEST(SimulatedKernelFaults, ReportsTheRaceOfAKernelWithoutItsTableBarrier) {
  std::string kernel = kernel_text(branch_preamble(false));
  const std::string barrier = "barrier(CLK_LOCAL_MEM_FENCE);";
  const std::size_t first_barrier = kernel.find(barrier);
  ASSERT_NE(first_barrier, std::string::npos) << "the kernel has no barrier to remove";
  kernel.erase(first_barrier, barrier.size());

  SimulatedMiner miner(kernel);
  expect_simulated_device(miner);
  if (HasFatalFailure()) return;
  std::mt19937_64 random(78);
  const BlockHeader header = cpu_search::random_header(random);
  miner.search(header, Target256{}, 0);
  const std::string log = miner.release_and_read_log();
  EXPECT_NE(log.find("Read-write data race"), std::string::npos) << log;
}

}  // namespace
