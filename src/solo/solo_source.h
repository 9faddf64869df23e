#pragma once
// Solo mining beside the node: templates from getblocktemplate become jobs (one coinbase each,
// with the payout, the developer fee and the witness commitment), a new best block (heard by
// the longpoll, or by polling the best block every few seconds) withdraws the running jobs, and
// a candidate becomes a block for submitblock.

#include <memory>
#include <string>

#include "run/mining_run.h"
#include "run/work_source.h"

struct SoloSettings {
  std::string rpc_url;
  std::string rpc_user;
  std::string rpc_password;
  std::string rpc_cookie;  // the node's .cookie file, read instead of user and password
  std::string address;     // the payout address
  std::string coinbase;    // free text for the coinbase input script
  bool longpoll = true;    // false: poll the best block instead
};

// Prints the developer-fee line and opens the node's client on the run's stop flag. Nothing,
// after saying why, when the client cannot be opened.
std::unique_ptr<WorkSource> open_solo_source(MiningRun& run, const SoloSettings& settings);
