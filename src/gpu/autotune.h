#pragma once
// Opt-in choice of the work size per device: a few candidate local and global sizes are timed
// on the queued launch path, and the fastest whose launch stays short enough is kept in the
// cache folder per device, driver and kernel, for later starts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct GpuMiner;

struct WorkSize {
  std::int32_t global_size = 0;
  std::int32_t local_size = 0;
  bool operator==(const WorkSize&) const = default;
};

struct WorkSizeMeasurement {
  WorkSize size;
  double hashes_per_second = 0;
  double longest_launch_seconds = 0;
};

// The sizes to time: local sizes 64, 128 and 256 and global sizes from 1,024 to 1,048,576 work
// items, unless fixed (a value > 0, from -G or -L); only sizes the device can run.
std::vector<WorkSize> autotune_candidates(std::int32_t fixed_global, std::int32_t fixed_local,
                                          std::size_t work_group_limit);

// The fastest measurement whose longest launch stayed under the limit; nothing when none did.
std::optional<WorkSize> choose_work_size(const std::vector<WorkSizeMeasurement>& measurements,
                                         double launch_limit_seconds);

// The saved choice as text ("65536 128\n") and back; nothing for text that is not two positive numbers.
std::string encode_work_size(const WorkSize& size);
std::optional<WorkSize> decode_work_size(std::string_view text);

struct AutotuneSettings {
  double seconds = 4;            // the whole timing of one device
  std::int32_t fixed_global = 0;  // > 0: -G was given and wins
  std::int32_t fixed_local = 0;   // > 0: -L was given and wins
  double launch_limit_seconds = 0.2;  // a longer launch would hold new work back too long
};

// Applies the saved choice for this device, driver and kernel when there is one that fits the
// fixed sizes, or times the candidates and saves the choice. Sets the miner's work size and
// prints one line that says what it chose. Returns false when nothing could be chosen (the
// sizes stay as they were).
bool gpu_autotune(GpuMiner& gpu, const AutotuneSettings& settings);
