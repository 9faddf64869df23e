#pragma once
// The Stratum message reader: one line of the pool's text (a JSON-RPC object) to a plain struct.
// It checks every field a miner relies on, so that the rest of the program sees only
// well-formed jobs, and never throws.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chain/bytes.h"

// A job as mining.notify sends it, with its hex fields decoded.
struct StratumJob {
  std::string job_id;
  // The header's 32 previous-hash bytes with each 4-byte word's bytes reversed, as pools send them.
  ByteVector previous_hash_words;
  ByteVector coinbase_part1;  // coinb1: the coinbase up to extranonce1
  ByteVector coinbase_part2;  // coinb2: the coinbase after extranonce2
  std::vector<ByteVector> merkle_branch;  // 32-byte hashes in internal order, the coinbase's side first
  std::uint32_t version = 0;  // the 8 hex digits read as a big-endian number
  std::uint32_t bits = 0;
  std::uint32_t time = 0;
  std::string time_text;  // ntime as sent; shares carry it back unchanged
  bool clean_jobs = false;
};

struct StratumError {
  std::int64_t code = 0;
  std::string message;
};

enum class StratumMessageType {
  invalid,          // not a JSON object, or a known method with malformed parameters
  response,         // an answer to one of our requests
  notify,           // mining.notify
  set_difficulty,   // mining.set_difficulty
  set_extranonce,   // mining.set_extranonce
  reconnect,        // client.reconnect
  show_message,     // client.show_message
  unknown_method,   // any other request or notification from the pool
  http_reply,       // an HTTP status line or an HTML page: a web server answers, not a pool
};

struct StratumMessage {
  StratumMessageType type = StratumMessageType::invalid;
  std::string problem;             // invalid: what was wrong, for the console
  std::optional<std::int64_t> id;  // absent for notifications and for ids that are not integers
  std::string method;              // requests and notifications
  // response
  bool result_true = false;            // the result is the JSON value true
  std::optional<StratumError> error;   // the error member, when it is not null
  bool subscribe_result = false;  // the result is a usable mining.subscribe answer
  std::string subscribe_problem;  // a result that is a list but not a usable subscribe answer: why
  std::string subscription_id;    // from a subscribe answer: what a later subscribe may resume
  // subscribe answers and mining.set_extranonce
  ByteVector extranonce1;
  std::int32_t extranonce2_size = 0;  // 0 to max_extranonce2_size bytes
  // mining.notify
  StratumJob job;
  // mining.set_difficulty
  double difficulty = 0;
  // client.reconnect: empty host and port 0 mean the same pool
  std::string reconnect_host;
  std::uint16_t reconnect_port = 0;
  std::int32_t reconnect_wait_seconds = 0;
  // client.show_message
  std::string text;
};

inline constexpr std::int32_t max_extranonce2_size = 32;

// Reads one line (without its line feed; a trailing carriage return is tolerated).
StratumMessage read_stratum_message(std::string_view line);

// Text from outside (a pool, a configuration file) made fit for the console and the monitoring
// API: control characters (C0, DEL and C1) and bytes that are not well-formed UTF-8 become '?',
// so the text cannot move the cursor or rewrite the screen, and text beyond longest bytes is cut
// (between characters) and marked with "...".
std::string printable_pool_text(std::string_view text, std::size_t longest = 200);
