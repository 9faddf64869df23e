#pragma once
// Hands a found block to the node and reduces its answer to accepted or not.

#include <string>

#include "rpc/rpc_client.h"

// Attempts of a submission whose request does not get through before it counts as lost.
inline constexpr int submit_attempts = 3;

struct SubmitResult {
  bool accepted = false;
  // Why not, when not accepted: the node's result text or error message, or what kept the
  // request from the node.
  std::string reason;
  // The node looked at the block: a result (null or a reason), or an error about the block
  // itself (-22, it could not be decoded). An HTTP error page, a 401 or the error of a node that
  // is still starting says nothing about the block.
  bool judged = false;
};

// block_hex: the whole serialised block as hex. Accepted when the node accepted the block (result
// null, error null) or already had it as a valid block ("duplicate", but not
// "duplicate-invalid" or another rejection). A request that did not get through is sent again,
// submit_retry_delay apart, so that a found block is not lost to a dropped connection, and so is
// one whose reply is no verdict on the block; a verdict is final. A stop request does not abandon
// it. Never throws.
SubmitResult submit_block(RpcClient& client, const std::string& block_hex);

// The node's answer to one submitblock request; endpoint ("host:port") names the node in a reason.
SubmitResult judge_submit_reply(const HttpReply& reply, const std::string& endpoint);
