#pragma once
// The mining mode: templates from the node, nonce search on the GPU, block submission.

#include "driver/miner_options.h"
#include "gpu/gpu_miner.h"

// Mines until a stop is requested; releases the GPU. Returns the process exit code.
int run_mining(const MinerOptions& options, GpuMiner* gpu);
