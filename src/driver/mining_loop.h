#pragma once
// The mining mode: templates from the node become GPU jobs until the stop flag is set.

#include "driver/miner_options.h"
#include "driver/mining_stats.h"
#include "gpu/gpu_miner.h"

// Mines until a stop is requested; releases the GPU. Returns 0 after a stop, 1 when the
// payout address does not decode or the RPC client cannot be opened. Hashes, found blocks and
// the node's state are recorded in stats as they happen.
int run_mining(const MinerOptions& options, GpuMiner* gpu, MiningStats& stats);
