#pragma once
// The mining mode: templates from the node become jobs for every device until the stop flag is
// set. The calling thread owns the node connection; each device mines on a thread of its own.

#include <vector>

#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "stats/mining_stats.h"

// Mines until a stop is requested; releases every GPU. Returns 0 after a stop, 1 when the
// payout address does not decode or the RPC client cannot be opened. Each device's hashes, found
// blocks and the node's state are recorded in stats as they happen.
int run_mining(const MinerOptions& options, const std::vector<MiningDevice>& devices, MiningStats& stats);
