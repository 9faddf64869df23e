#pragma once
// What the mining run asks of a source of work (solo mining beside a node, pool mining over
// Stratum). The run owns the devices, checks every reported nonce on the CPU and keeps the
// console and the statistics; the source makes the jobs, takes the candidates that passed the
// check, and does its own network work in its turns. Every call comes on the run's thread.

#include <cstdint>
#include <optional>
#include <string>

#include "pow/block_header.h"
#include "pow/target.h"
#include "pow/whirlpool.h"
#include "work/device_job.h"
#include "work/job_board.h"

// What the run needs to check a found nonce: its job's header (nonce bytes zero) and the target
// the device searched for.
struct JobCheck {
  BlockHeader header{};
  Target256 target;
};

// A reported nonce whose hash met its job's target on the CPU.
struct Candidate {
  FoundNonce found;
  std::int32_t opencl_index = 0;  // the device that found it, as the user knows it
  BlockHeader header{};           // with the nonce
  PowHash hash{};
};

// Where the progress line stands: the height of the job a device just searched and the nonce
// after its launch (with one device the solo line shows them).
struct StatusPoint {
  std::uint64_t height = 0;
  std::uint32_t next_nonce = 0;
};

enum class TurnOutcome {
  go_on,
  fail,  // the source cannot go on: the run ends with exit code 1 (the source said why)
};

class WorkSource {
 public:
  virtual ~WorkSource() = default;
  // The job of a found nonce, when its nonce still counts; nothing for a job that is unknown or
  // stale (the nonce is then dropped unchecked).
  virtual std::optional<JobCheck> job_to_check(const FoundNonce& found) = 0;
  // A candidate that passed the CPU check: submit it now. It comes right after the job_to_check
  // of its nonce, so the source may keep what that call found.
  virtual void take_candidate(const Candidate& candidate) = 0;
  // One turn after the run's wait: what the board had (refresh requests, pokes), then the
  // source's own network work and timers. now_ns is the run's clock.
  virtual TurnOutcome turn(const SourceEvents& events, std::int64_t now_ns) = 0;
  // How long the run may wait for events before the next turn is due anyway.
  virtual double seconds_until_next_turn(std::int64_t now_ns) = 0;
  // The progress line's figures after the rate ("h=5 n=1024 blk=0", "diff=1 acc=3 ..."); nothing
  // while there is nothing to show.
  virtual std::optional<std::string> status_figures(const StatusPoint& point, bool several_devices) = 0;
  // After the devices have stopped and their last nonces were handled: what is still owed
  // (answers to shares already sent), within the source's own limit.
  virtual void wind_down() = 0;
  // The end line's figures after the hashes ("2 blocks", "3 shares accepted, 0 rejected, 0 blocks").
  virtual std::string done_figures() = 0;
};
