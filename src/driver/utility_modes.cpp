#include "driver/utility_modes.h"

#include <cstdio>
#include <string>
#include <thread>

#include "driver/batch_failures.h"
#include "driver/console.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"

void print_gpu_list() {
  const int platform_count = count_platforms();
  std::printf("OpenCL platforms: %d\n", platform_count);
  for (int platform = 0; platform < platform_count; ++platform) {
    const int device_count = count_gpu_devices(platform);
    for (int device = 0; device < device_count; ++device) {
      char name[256] = "";
      char vendor[256] = "";
      std::uint64_t memory_size = 0;
      get_gpu_device_info(platform, device, name, sizeof name, vendor, sizeof vendor, &memory_size);
      std::printf("  Platform %d, Device %d: %s (%s, %zu MB)\n", platform, device, name, vendor,
                  static_cast<std::size_t>(memory_size / 1048576));
    }
  }
}

namespace {

// Arbitrary fixed input; only the amount of work matters, not what it hashes.
constexpr WhirlpoolWords benchmark_state = {0xA5C3, 0x3E8F, 0x92E4, 0x6F0B, 0xD17E, 0x84A0, 0x4B6F, 0xF593};
constexpr std::uint64_t benchmark_tail0 = 0xDEAD;
constexpr std::uint64_t benchmark_tail1 = 0xBEEF;

}  // namespace

int run_benchmark(const MinerOptions& options, GpuMiner* gpu) {
  // The zero target lets (almost) nothing hit, so every batch does its full work.
  gpu_set_job(*gpu, benchmark_state, Target256{});
  BatchFailures failures;
  // Runs one batch, prints what its failure means, and gives its nonce count.
  const auto run_batch = [&](std::uint32_t nonce_base) {
    const BatchResult result = gpu_run_batch(*gpu, benchmark_tail0, benchmark_tail1, nonce_base);
    for (const std::string& line : record_batch(failures, result.error, monotonic_now_ns())) {
      std::fputs(line.c_str(), stdout);
    }
    if (!result.error.empty()) std::this_thread::sleep_for(failed_batch_pause);
    return result.nonces_done;
  };

  const std::uint32_t batch_nonces = static_cast<std::uint32_t>(options.global_work_size) * nonces_per_item;
  for (std::uint32_t batch = 0; batch < benchmark_warm_up_batches; ++batch) run_batch(batch * batch_nonces);

  const std::int64_t start_ns = monotonic_now_ns();
  std::uint64_t hashes = 0;
  std::uint32_t nonce = 0;
  bool lost = false;
  if (!g_stop_requested.load()) {
    while (true) {
      const std::uint32_t done = run_batch(nonce);
      hashes += done;
      nonce += done;  // wraps modulo 2^32
      const std::int64_t now_ns = monotonic_now_ns();
      const double seconds = elapsed_seconds(start_ns, now_ns);
      std::printf("\r  [%.1fs] %s  ", seconds, format_hash_rate(static_cast<double>(hashes) / seconds).c_str());
      std::fflush(stdout);
      lost = device_lost(failures, now_ns);
      if (lost || seconds >= benchmark_duration_seconds || g_stop_requested.load()) break;
    }
  }

  const double seconds = elapsed_seconds(start_ns, monotonic_now_ns());
  std::printf("\n\n  Result: %s (%llu hashes in %.1fs)\n\n", format_hash_rate(static_cast<double>(hashes) / seconds).c_str(),
              static_cast<unsigned long long>(hashes), seconds);
  gpu_miner_release(gpu);
  for (const std::string& line : unreported_failures(failures)) std::fputs(line.c_str(), stdout);
  if (!lost) return 0;
  std::fputs(device_lost_line, stdout);
  return 1;
}
