#pragma once
// A device the run mines or benchmarks on: its handle and the index the user knows it by.

#include <cstdint>

#include "gpu/gpu_miner.h"

struct MiningDevice {
  std::int32_t device_id = 0;  // the OpenCL device index, for the console
  GpuMiner* gpu = nullptr;
};
