#include "driver/utility_modes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "work/batch_failures.h"
#include "driver/console.h"
#include "driver/device_workers.h"
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

// One device's benchmark: the timed hashes, or nothing when a stop came during the warm-up, and
// whether the device was given up because every batch failed.
struct DeviceBenchmarkOutcome {
  std::optional<std::uint64_t> hashes;
  bool lost = false;
};

// Warm-up, then timed batches until the duration is over, a stop is requested or the device is
// lost; after each timed batch on_batch gets the hashes and seconds so far. Failed batches are
// told through the device's failure tracker.
template <typename OnBatch>
DeviceBenchmarkOutcome benchmark_device(const MinerOptions& options, GpuMiner& gpu, std::int64_t& start_ns,
                                        BatchFailures& failures, OnBatch on_batch) {
  // The zero target lets (almost) nothing hit, so every batch does its full work.
  gpu_set_job(gpu, benchmark_state, Target256{});
  // Runs one batch, prints what its failure means, and gives its nonce count.
  const auto run_batch = [&](std::uint32_t nonce_base) {
    const BatchResult result = gpu_run_batch(gpu, benchmark_tail0, benchmark_tail1, nonce_base);
    for (const std::string& line : record_batch(failures, result.error, monotonic_now_ns())) {
      std::fputs(line.c_str(), stdout);
    }
    if (!result.error.empty()) std::this_thread::sleep_for(failed_batch_pause);
    return result.nonces_done;
  };

  const std::uint32_t batch_nonces = static_cast<std::uint32_t>(options.global_work_size) * nonces_per_item;
  for (std::uint32_t batch = 0; batch < benchmark_warm_up_batches && !g_stop_requested.load(); ++batch) {
    run_batch(batch * batch_nonces);
  }
  if (g_stop_requested.load()) return {};

  start_ns = monotonic_now_ns();
  DeviceBenchmarkOutcome outcome;
  std::uint64_t hashes = 0;
  std::uint32_t nonce = 0;
  while (true) {
    const std::uint32_t done = run_batch(nonce);
    hashes += done;
    nonce += done;  // wraps modulo 2^32
    const std::int64_t now_ns = monotonic_now_ns();
    const double seconds = elapsed_seconds(start_ns, now_ns);
    on_batch(hashes, seconds);
    outcome.lost = device_lost(failures, now_ns);
    if (outcome.lost || seconds >= benchmark_duration_seconds || g_stop_requested.load()) break;
  }
  outcome.hashes = hashes;
  return outcome;
}

void print_benchmark_result(double rate, std::uint64_t hashes, double seconds) {
  std::printf("\n\n  Result: %s (%llu hashes in %.1fs)\n\n", format_hash_rate(rate).c_str(),
              static_cast<unsigned long long>(hashes), seconds);
}

// Nothing was timed: a rate would be meaningless.
void print_benchmark_not_timed() { std::printf("  [*] Benchmark stopped before any batch was timed: no result\n\n"); }

// The repeats of errors not told yet, then the device-lost line when it was given up.
void print_failures_at_end(BatchFailures& failures, bool lost) {
  for (const std::string& line : unreported_failures(failures)) std::fputs(line.c_str(), stdout);
  if (lost) std::fputs(device_lost_line, stdout);
}

// Returns true when the device was lost.
bool benchmark_one(const MinerOptions& options, GpuMiner& gpu) {
  std::int64_t start_ns = 0;
  BatchFailures failures;
  const DeviceBenchmarkOutcome outcome =
      benchmark_device(options, gpu, start_ns, failures, [](std::uint64_t so_far, double seconds) {
        std::printf("\r  [%.1fs] %s  ", seconds, format_hash_rate(static_cast<double>(so_far) / seconds).c_str());
        std::fflush(stdout);
      });
  if (!outcome.hashes) {
    print_benchmark_not_timed();
  } else {
    const double seconds = elapsed_seconds(start_ns, monotonic_now_ns());
    print_benchmark_result(static_cast<double>(*outcome.hashes) / seconds, *outcome.hashes, seconds);
  }
  print_failures_at_end(failures, outcome.lost);
  return outcome.lost;
}

// What one device's benchmark thread shares with the thread that prints.
struct DeviceBenchmark {
  std::atomic<std::uint64_t> hashes{0};
  std::atomic<double> rate{0};
  std::atomic<bool> finished{false};
  std::atomic<bool> timed{false};  // a stop did not end it during the warm-up
  std::atomic<bool> lost{false};   // every batch failed for device_lost_seconds
  BatchFailures failures;          // the device thread's own until it has finished
  std::thread thread;
};

constexpr auto benchmark_progress_interval = std::chrono::milliseconds(500);

// Returns true when a device was lost.
bool benchmark_several(const MinerOptions& options, const std::vector<MiningDevice>& devices) {
  const std::int64_t start_ns = monotonic_now_ns();
  std::vector<std::unique_ptr<DeviceBenchmark>> runs;
  for (std::size_t index = 0; index < devices.size(); ++index) {
    const MiningDevice& device = devices[index];
    auto run = std::make_unique<DeviceBenchmark>();
    run->failures.device_label = failure_label(devices, index);
    DeviceBenchmark& shared = *run;
    run->thread = std::thread([&options, &shared, gpu = device.gpu] {
      std::int64_t device_start_ns = 0;
      const DeviceBenchmarkOutcome outcome =
          benchmark_device(options, *gpu, device_start_ns, shared.failures, [&shared](std::uint64_t so_far, double seconds) {
            shared.hashes = so_far;
            shared.rate = static_cast<double>(so_far) / seconds;
          });
      shared.timed = outcome.hashes.has_value();
      shared.lost = outcome.lost;
      shared.finished = true;
    });
    runs.push_back(std::move(run));
  }
  // The total rate is the sum of the devices' own rates: each has its own warm-up and clock.
  const auto total_rate = [&runs] {
    double rate = 0;
    for (const auto& run : runs) rate += run->rate;
    return rate;
  };
  while (!std::all_of(runs.begin(), runs.end(), [](const auto& run) { return run->finished.load(); })) {
    std::this_thread::sleep_for(benchmark_progress_interval);
    std::printf("\r  [%.1fs] %s  ", elapsed_seconds(start_ns, monotonic_now_ns()), format_hash_rate(total_rate()).c_str());
    std::fflush(stdout);
  }
  for (const auto& run : runs) run->thread.join();
  if (std::none_of(runs.begin(), runs.end(), [](const auto& run) { return run->timed.load(); })) {
    std::printf("\n");
    print_benchmark_not_timed();
  } else {
    std::uint64_t hashes = 0;
    std::printf("\n");
    for (std::size_t index = 0; index < runs.size(); ++index) {
      hashes += runs[index]->hashes;
      std::printf("\n  Device %d: %s (%llu hashes)", devices[index].device_id,
                  format_hash_rate(runs[index]->rate).c_str(), static_cast<unsigned long long>(runs[index]->hashes.load()));
    }
    print_benchmark_result(total_rate(), hashes, elapsed_seconds(start_ns, monotonic_now_ns()));
  }
  bool any_lost = false;
  for (std::size_t index = 0; index < runs.size(); ++index) {
    print_failures_at_end(runs[index]->failures, runs[index]->lost);
    any_lost = any_lost || runs[index]->lost;
  }
  return any_lost;
}

}  // namespace

int run_benchmark(const MinerOptions& options, const std::vector<MiningDevice>& devices) {
  const bool lost = devices.size() == 1 ? benchmark_one(options, *devices.front().gpu) : benchmark_several(options, devices);
  release_devices(devices);
  return lost ? 1 : 0;
}
