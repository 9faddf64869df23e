#pragma once
// The two modes that do not mine: the device listing and the benchmark.

#include <vector>

#include <cstdint>

#include "run/timings.h"
#include "work/mining_device.h"

// Untimed launches before the clock starts, so that kernel start-up costs stay out of the rate.
inline constexpr std::uint32_t benchmark_warm_up_launches = 5;

// "OpenCL platforms: N", then one line per device with its indices, name, vendor, memory and PCI
// address. With chosen devices (-d given), only those of the platform, in the order given; an
// index the platform lacks gets a line that says so. Empty: every device of every platform.
void print_gpu_list(int platform, const std::vector<std::int32_t>& chosen);

// Runs full-size launches on fixed dummy input, queued as mining queues them, for
// timings.benchmark seconds after each device's warm-up (or until a stop is requested). With one
// device the progress line follows every timed launch; with several, all run at once and every
// half second the progress line shows the total and each device's rate ("#1 2.50 MH/s"), once
// every device has ended a timed launch; the end shows each device's result before the total.
// A stop during the warm-up ends it with a line that says nothing was timed instead of a
// result. Releases the devices. Returns the exit code: 0, or 1 when a device failed every launch
// for timings.device_lost.
int run_benchmark(std::vector<RunDevice> devices, const Timings& timings);
