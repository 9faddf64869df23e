#pragma once
// Pool mining over Stratum: the pool hands out jobs, the device searches them, shares go back.

#include "driver/miner_options.h"
#include "gpu/gpu_miner.h"

// Mines for the pools in options.pool_urls until the stop flag is set; releases the GPU.
// Returns the exit code: 0 after a stop, 1 when no pool URL or worker name is usable.
int run_pool_mining(const MinerOptions& options, GpuMiner* gpu);
