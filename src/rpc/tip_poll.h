#pragma once
// The node's best block hash, polled while the GPU searches to notice that the chain moved on.

#include <string>

#include "rpc/rpc_client.h"

// Hex in display order exactly as sent (the form of previous_block_hash); "null" for a null
// result, empty when the reply has none. Throws what rpc_call throws. Bounded by the connection's
// tip_poll_timeout, and abandoned on a stop request.
std::string get_best_block_hash(RpcClient& client);
