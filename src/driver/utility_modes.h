#pragma once
// The two modes that do not mine: the device listing and the benchmark.

#include "driver/miner_options.h"
#include "gpu/gpu_miner.h"

// Length of the timed part of the benchmark.
inline constexpr double benchmark_duration_seconds = 30.0;
// Untimed batches before the clock starts, so that kernel start-up costs stay out of the rate.
inline constexpr std::uint32_t benchmark_warm_up_batches = 5;

// "OpenCL platforms: N", then one line per device with its indices, name, vendor and memory.
void print_gpu_list();

// Runs batches on fixed dummy input for benchmark_duration_seconds (or until a stop is
// requested), printing the rate after every batch and the result at the end. Releases the GPU.
// Returns the exit code: 0, or 1 when the device failed every batch for device_lost_seconds.
int run_benchmark(const MinerOptions& options, GpuMiner* gpu);
