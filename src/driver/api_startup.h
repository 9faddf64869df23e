#pragma once
// Starts the monitoring API for a mining run when the options ask for it.

#include "api/api_server.h"
#include "driver/miner_options.h"
#include "run/console_writer.h"
#include "run/timings.h"
#include "stats/mining_stats.h"

// Nothing when api_listen is empty. Otherwise starts the API on it and prints where it listens,
// with a warning when that address is reachable from other machines. A port that cannot be
// bound is reported and mining goes on without the API. Returns false, after saying why, when
// api_listen is not a valid [HOST:]PORT.
bool start_monitoring_api(const MinerOptions& options, const Timings& timings, MiningStats& stats,
                          ApiServerHandle& server, ConsoleWriter& console);
