#include "gpu/autotune.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iterator>

#include "gpu/gpu_miner.h"
#include "gpu/kernel_cache.h"

namespace {

constexpr std::int32_t local_sizes[] = {64, 128, 256};
constexpr std::int32_t global_sizes[] = {1024, 4096, 16384, 65536, 262144, 1048576};

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Keeps launches of the size queued back to back for about the given time, on a job no nonce
// meets. Nothing when a launch failed.
std::optional<WorkSizeMeasurement> time_launches(GpuMiner& gpu, const WorkSize& size, double seconds,
                                                 double launch_limit_seconds) {
  gpu_set_job(gpu, WhirlpoolWords{}, Target256{});
  const auto items = static_cast<std::uint32_t>(size.global_size);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  WorkSizeMeasurement measurement{size, 0, 0};
  // The first launch of a size carries the driver's warm-up for it: timing starts when it ends.
  std::optional<Clock::time_point> timing_start;
  Clock::time_point last_collect = start;
  std::uint64_t hashes = 0;
  std::uint32_t nonce_base = 0;
  int queued = 0;
  bool failed = false;
  std::string error;
  // A size whose launch is already too long is not timed further.
  const auto keep_queuing = [&] {
    return !failed && measurement.longest_launch_seconds < launch_limit_seconds &&
           (hashes == 0 || Clock::now() < deadline);
  };
  for (;;) {
    // With launches queued, the time between two collects is the length of one launch.
    while (queued < gpu_launch_slots && keep_queuing()) {
      if (!gpu_queue_launch(gpu, 0, 0, nonce_base, items, error)) {
        failed = true;
        break;
      }
      nonce_base += items * nonces_per_item;
      ++queued;
    }
    if (queued == 0) break;
    const BatchResult result = gpu_collect_launch(gpu);
    --queued;
    failed = failed || result.nonces_done == 0;
    const Clock::time_point now = Clock::now();
    if (timing_start) {
      measurement.longest_launch_seconds =
          std::max(measurement.longest_launch_seconds, seconds_between(last_collect, now));
      hashes += result.nonces_done;
    } else {
      timing_start = now;
    }
    last_collect = now;
  }
  if (failed || hashes == 0) return std::nullopt;
  measurement.hashes_per_second = static_cast<double>(hashes) / std::max(seconds_between(*timing_start, last_collect), 1e-9);
  return measurement;
}
}  // namespace

std::vector<WorkSize> autotune_candidates(std::int32_t fixed_global, std::int32_t fixed_local,
                                          std::size_t work_group_limit) {
  std::vector<WorkSize> candidates;
  const auto choices = [](std::int32_t fixed, const auto& list) {
    return fixed > 0 ? std::vector<std::int32_t>{fixed} : std::vector<std::int32_t>(std::begin(list), std::end(list));
  };
  for (const std::int32_t local_size : choices(fixed_local, local_sizes)) {
    for (const std::int32_t global_size : choices(fixed_global, global_sizes)) {
      if (local_size_fits(global_size, local_size, work_group_limit)) candidates.push_back({global_size, local_size});
    }
  }
  return candidates;
}

std::optional<WorkSize> choose_work_size(const std::vector<WorkSizeMeasurement>& measurements,
                                         double launch_limit_seconds) {
  const WorkSizeMeasurement* best = nullptr;
  for (const WorkSizeMeasurement& measurement : measurements) {
    if (measurement.longest_launch_seconds >= launch_limit_seconds) continue;
    if (best == nullptr || measurement.hashes_per_second > best->hashes_per_second) best = &measurement;
  }
  if (best == nullptr) return std::nullopt;
  return best->size;
}

std::string encode_work_size(const WorkSize& size) {
  return std::to_string(size.global_size) + " " + std::to_string(size.local_size) + "\n";
}

std::optional<WorkSize> decode_work_size(std::string_view text) {
  WorkSize size;
  const char* end = text.data() + text.size();
  auto [after_global, global_error] = std::from_chars(text.data(), end, size.global_size);
  if (global_error != std::errc() || after_global == end || *after_global != ' ') return std::nullopt;
  auto [after_local, local_error] = std::from_chars(after_global + 1, end, size.local_size);
  if (local_error != std::errc() || std::string_view(after_local, static_cast<std::size_t>(end - after_local)) != "\n") {
    return std::nullopt;
  }
  if (size.global_size <= 0 || size.local_size <= 0) return std::nullopt;
  return size;
}

bool gpu_autotune(GpuMiner& gpu, const AutotuneSettings& settings) {
  const auto fits_fixed = [&settings](const WorkSize& size) {
    return (settings.fixed_global <= 0 || size.global_size == settings.fixed_global) &&
           (settings.fixed_local <= 0 || size.local_size == settings.fixed_local);
  };
  const std::filesystem::path file = gpu_work_size_file(gpu);
  if (!file.empty()) {
    const CacheFileRead saved = read_kernel_cache_file(file);
    const std::optional<WorkSize> size = saved.problem.empty() ? decode_work_size(saved.contents) : std::nullopt;
    if (size && fits_fixed(*size) && gpu_set_work_size(gpu, size->global_size, size->local_size)) {
      std::printf("  [*] Autotune: %d global, %d local, as chosen at an earlier start\n", size->global_size,
                  size->local_size);
      return true;
    }
  }

  const WorkSize original{gpu_global_size(gpu), gpu_local_size(gpu)};
  const std::vector<WorkSize> candidates =
      autotune_candidates(settings.fixed_global, settings.fixed_local, gpu_work_group_limit(gpu));
  std::vector<WorkSizeMeasurement> measurements;
  const double seconds_each = settings.seconds / static_cast<double>(std::max<std::size_t>(candidates.size(), 1));
  std::int32_t too_long_from_local = 0;  // a local size whose launches got too long: larger globals are longer still
  for (const WorkSize& candidate : candidates) {
    if (candidate.local_size == too_long_from_local) continue;
    if (!gpu_set_work_size(gpu, candidate.global_size, candidate.local_size)) continue;
    const std::optional<WorkSizeMeasurement> measurement = time_launches(gpu, candidate, seconds_each, settings.launch_limit_seconds);
    if (!measurement) continue;
    measurements.push_back(*measurement);
    if (measurement->longest_launch_seconds >= settings.launch_limit_seconds) too_long_from_local = candidate.local_size;
  }
  const std::optional<WorkSize> choice = choose_work_size(measurements, settings.launch_limit_seconds);
  if (!choice) {
    gpu_set_work_size(gpu, original.global_size, original.local_size);
    std::printf("  [!] Autotune: no work size kept a launch under %.0f ms; staying with %d global, %d local\n",
                settings.launch_limit_seconds * 1000, original.global_size, original.local_size);
    return false;
  }
  gpu_set_work_size(gpu, choice->global_size, choice->local_size);
  const auto chosen = std::find_if(measurements.begin(), measurements.end(),
                                   [&choice](const WorkSizeMeasurement& measurement) { return measurement.size == *choice; });
  std::printf("  [*] Autotune: %d global, %d local (fastest of %zu sizes, %.2f MH/s, launches up to %.0f ms)\n",
              choice->global_size, choice->local_size, measurements.size(), chosen->hashes_per_second / 1e6,
              chosen->longest_launch_seconds * 1000);
  const std::string problem = file.empty() ? std::string("the environment names no cache folder")
                                           : write_kernel_cache_file(file, encode_work_size(*choice));
  if (!problem.empty()) std::printf("  [!] Autotune choice not saved (%s): the next start times again\n", problem.c_str());
  return true;
}
