#pragma once
// The two modes that do not mine: the device listing and the benchmark.

#include <vector>

#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "gpu/gpu_miner.h"

// Length of the timed part of the benchmark.
inline constexpr double benchmark_duration_seconds = 30.0;
// Untimed batches before the clock starts, so that kernel start-up costs stay out of the rate.
inline constexpr std::uint32_t benchmark_warm_up_batches = 5;

// "OpenCL platforms: N", then one line per device with its indices, name, vendor and memory.
void print_gpu_list();

// Runs batches on fixed dummy input for benchmark_duration_seconds (or until a stop is
// requested), printing the rate after every batch and the result at the end. With several
// devices all run at once, each on a thread of its own; the progress line shows the total and
// the end each device's result before the total. A stop during the warm-up ends
// it after the batch under way, with a line that says nothing was timed instead of a result.
// Releases the GPUs. Returns the exit code: 0, or 1 when a device failed every batch for
// device_lost_seconds.
int run_benchmark(const MinerOptions& options, const std::vector<MiningDevice>& devices);
