#pragma once
// Hands a found block to the node and reduces its answer to accepted or not.

#include <string>
#include <string_view>

#include "rpc/rpc_client.h"

// Attempts of a submission whose request does not get through before it counts as lost.
inline constexpr int submit_attempts = 3;

// block_hex: the whole serialised block as hex. True when the node accepted the block (result
// null, error null) or already had it as a valid block ("duplicate", but not
// "duplicate-invalid" or another rejection). A request that did not get through is sent again,
// submit_retry_delay apart, so that a found block is not lost to a dropped connection; a reply
// from the node is final. Never throws.
bool submit_block(RpcClient& client, const std::string& block_hex);

// The node's verdict in a submitblock reply, by the rules of submit_block above.
bool submit_reply_accepts_block(std::string_view reply);
