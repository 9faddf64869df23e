#pragma once
// The Stratum client's state: messages from the pool in, lines to send and things to tell the
// user or the miner out. No sockets and no clock (the caller passes the time, in monotonic
// nanoseconds), so every path is testable line by line.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "program_version.h"
#include "stratum/stratum_message.h"

// A share found by a device: everything mining.submit needs, kept until the pool answers.
struct FoundShare {
  int device = 0;
  std::string job_id;
  ByteVector extranonce1;  // of the connection the work came from
  std::string extranonce2_text;
  std::string time_text;
  std::string nonce_text;
  bool is_block = false;  // the hash also meets the job's nbits target
  double difficulty = 1.0;  // the share difficulty of the job it was found on
};

enum class StratumRequest { subscribe, authorize, extranonce_subscribe, submit };

struct SentRequest {
  StratumRequest kind = StratumRequest::subscribe;
  std::int64_t sent_ns = 0;
};

// How long a pool may take, in seconds; a connection whose pool takes longer is a failed attempt.
struct SessionLimits {
  double start = 30;         // the subscribe and authorize answers, each, and the first job after connecting
  double share_answer = 60;  // the answer to a share
};

struct StratumSession {
  std::string agent = "veltrane-miner/" + std::string(program_version);
  std::string user;
  std::string password;
  std::string pool_name;        // the pool's URL, for console lines
  std::string subscription_id;  // offered on the next subscribe, so the pool may resume the session

  // Per connection. Jobs are mined and shares sent only once all three hold (session_ready).
  std::optional<std::int64_t> connected_ns;  // when the connection came up; empty while there is none
  bool subscribed = false;         // the pool's subscribe answer was usable
  bool authorized = false;
  bool job_since_connect = false;  // a job arrived on this connection
  // Between sending a request (subscribe, authorize, share) and its answer, the latest one.
  std::optional<std::int64_t> last_round_trip_ns;
  std::int64_t next_id = 1;
  std::map<std::int64_t, SentRequest> requests;
  std::map<std::int64_t, FoundShare> submitted;  // sent, not yet answered

  ByteVector extranonce1;
  std::int32_t extranonce2_size = 0;
  double difficulty = 1.0;
  std::optional<StratumJob> job;  // the latest job
  std::vector<FoundShare> held;   // found while no connection could take them

  std::uint64_t accepted = 0;
  std::uint64_t rejected = 0;  // every share the pool refused, stale ones included
  std::uint64_t stale = 0;     // refused as stale (code 21), or dropped because their job ended unsent
  std::uint64_t blocks = 0;    // accepted shares that were blocks
};

// The pool's answer to one share.
struct ShareVerdict {
  int device = 0;
  bool accepted = false;
  std::string reason;  // why it was refused: the pool's message or its code's meaning
};

struct StratumActions {
  std::vector<std::string> send;     // lines for the pool, without the line feed
  std::vector<std::string> console;  // complete console lines, with their line feed
  std::vector<ShareVerdict> verdicts;
  bool new_job = false;              // session.job or the extra nonces changed
  bool clean = false;                // work on older jobs must end now
  struct Reconnect {
    std::string host;  // empty: the same host
    std::uint16_t port = 0;  // 0: the same port
    std::int32_t wait_seconds = 0;
  };
  std::optional<Reconnect> reconnect;
  // End this connection as a failed attempt, for this reason: the pool cannot be mined on.
  std::optional<std::string> close_as_failed;
  // "Pool sent a malformed message: ..." (without "  [!] " and line end): a pool that sends one
  // may send thousands, so the caller shows it with its repeats counted.
  std::optional<std::string> malformed;
};

// Subscribed, authorized and given a job on this connection: jobs go to the devices and shares
// to the pool.
bool session_ready(const StratumSession& session);

// A new connection: forgets the previous one's requests (unanswered shares go back to held, to
// be sent again if their job is still current) and sends mining.subscribe.
StratumActions session_connected(StratumSession& session, std::int64_t now_ns);

// The connection is gone: shares that were sent but not answered are held again.
void session_disconnected(StratumSession& session);

StratumActions session_receive(StratumSession& session, const StratumMessage& message, std::int64_t now_ns);

// Sends the share when the session is ready and the share was made with its extranonce1 and
// extranonce2 size (one made with earlier ones is dropped as stale); holds it for the next
// connection while the session is not ready.
StratumActions session_share_found(StratumSession& session, FoundShare share, std::int64_t now_ns);

// The moment the pool is late on this connection: the first unanswered subscribe, authorize or
// share past its limit, or no job by the start limit. The caller ends the connection then as a
// failed attempt, with missing for the console.
struct SessionDeadline {
  std::int64_t at_ns = 0;
  std::string missing;
};
// Nothing while there is no connection, or nothing is awaited (extranonce subscriptions are never
// awaited: pools that do not know them may stay silent).
std::optional<SessionDeadline> session_deadline(const StratumSession& session, const SessionLimits& limits);

// The console's name for a rejection: the pool's message, or the standard meaning of its code.
std::string rejection_reason(const StratumError& error);
