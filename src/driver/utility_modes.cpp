#include "driver/utility_modes.h"

#include <cstdio>

#include "driver/console.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"

void print_gpu_list() {
  const int platform_count = count_platforms();
  int device_total = 0;
  std::printf("OpenCL platforms: %d\n", platform_count);
  for (int platform = 0; platform < platform_count; ++platform) {
    const int device_count = count_gpu_devices(platform);
    device_total += device_count;
    for (int device = 0; device < device_count; ++device) {
      char name[256] = "";
      char vendor[256] = "";
      std::uint64_t memory_size = 0;
      get_gpu_device_info(platform, device, name, sizeof name, vendor, sizeof vendor, &memory_size);
      std::printf("  Platform %d, Device %d: %s (%s, %zu MB)\n", platform, device, name, vendor,
                  static_cast<std::size_t>(memory_size / 1048576));
    }
  }
  if (device_total == 0) {
    const std::string hint = device_type_hint();
    if (!hint.empty()) std::printf("  %s\n", hint.c_str());
  }
}

namespace {

// Arbitrary fixed input; only the amount of work matters, not what it hashes.
constexpr WhirlpoolWords benchmark_state = {0xA5C3, 0x3E8F, 0x92E4, 0x6F0B, 0xD17E, 0x84A0, 0x4B6F, 0xF593};
constexpr std::uint64_t benchmark_tail0 = 0xDEAD;
constexpr std::uint64_t benchmark_tail1 = 0xBEEF;

}  // namespace

void run_benchmark(const MinerOptions& options, GpuMiner* gpu) {
  // The zero target lets (almost) nothing hit, so every batch does its full work.
  gpu_set_job(*gpu, benchmark_state, Target256{});

  const std::uint32_t batch_nonces = static_cast<std::uint32_t>(options.global_work_size) * nonces_per_item;
  for (std::uint32_t batch = 0; batch < benchmark_warm_up_batches && !g_stop_requested.load(); ++batch) {
    gpu_run_batch(*gpu, benchmark_tail0, benchmark_tail1, batch * batch_nonces);
  }
  if (g_stop_requested.load()) {
    // Nothing was timed: a rate would be meaningless.
    std::printf("  [*] Benchmark stopped before any batch was timed: no result\n\n");
    gpu_miner_release(gpu);
    return;
  }

  const std::int64_t start_ns = monotonic_now_ns();
  std::uint64_t hashes = 0;
  std::uint32_t nonce = 0;
  while (true) {
    const std::uint32_t done = gpu_run_batch(*gpu, benchmark_tail0, benchmark_tail1, nonce).nonces_done;
    hashes += done;
    nonce += done;  // wraps modulo 2^32
    const double seconds = elapsed_seconds(start_ns, monotonic_now_ns());
    std::printf("\r  [%.1fs] %s  ", seconds, format_hash_rate(static_cast<double>(hashes) / seconds).c_str());
    std::fflush(stdout);
    if (seconds >= benchmark_duration_seconds || g_stop_requested.load()) break;
  }

  const double seconds = elapsed_seconds(start_ns, monotonic_now_ns());
  std::printf("\n\n  Result: %s (%llu hashes in %.1fs)\n\n", format_hash_rate(static_cast<double>(hashes) / seconds).c_str(),
              static_cast<unsigned long long>(hashes), seconds);
  gpu_miner_release(gpu);
}
