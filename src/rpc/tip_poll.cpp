#include "rpc/tip_poll.h"

#include "rpc/json_scan.h"

std::string get_best_block_hash(RpcClient& client) {
  return json_get(rpc_call(client, "getbestblockhash", "[]", RpcRequestKind::tip_poll), "result");
}
