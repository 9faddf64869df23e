// Fuzz target of the pool's side: arbitrary bytes as lines from a pool, through the Stratum
// message reader and a subscribed session.

#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_input.h"

#include "stratum/stratum_message.h"
#include "stratum/stratum_session.h"
#include "stratum/stratum_work.h"

namespace {

void check(bool holds, std::string_view property) { fuzz::check(holds, "stratum_message", property); }

// Console lines carry no control characters but their final line feed, whatever the pool sent.
void check_console(const StratumActions& actions) {
  for (const std::string& line : actions.console) {
    check(!line.empty() && line.back() == '\n', "a console line ends with a line feed");
    for (std::size_t index = 0; index + 1 < line.size(); ++index) {
      check(static_cast<unsigned char>(line[index]) >= 0x20, "no control character in a console line");
    }
  }
}

}  // namespace

void fuzz_stratum_message(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  // A session that has subscribed and been authorized, so every kind of message reaches it.
  StratumSession session;
  session.user = "worker";
  session.pool_name = "stratum+tcp://fuzz:1";
  session_connected(session, 0);
  session_receive(session, read_stratum_message(R"({"id":1,"result":[[],"0a0b0c0d",4],"error":null})"), 0);
  session_receive(session, read_stratum_message(R"({"id":2,"result":true,"error":null})"), 0);

  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const StratumMessage message = read_stratum_message(text.substr(start, end - start));
    start = end + 1;

    check(message.type != StratumMessageType::invalid || !message.problem.empty(), "a refusal says why");
    if (message.type == StratumMessageType::notify) {
      const StratumJob& job = message.job;
      check(job.previous_hash_words.size() == 32, "a job's previous hash has 32 bytes");
      for (const ByteVector& hash : job.merkle_branch) check(hash.size() == 32, "branch hashes have 32 bytes");
      check(job.time_text.size() == 8, "ntime is 8 hex digits");
      check(!job.job_id.empty(), "a job has an id");
      // The job becomes a header without reading past any buffer (the sanitizers watch).
      const ByteVector coinbase = assemble_coinbase(job, session.extranonce1, extranonce2_bytes(1, 4));
      job_header(job, merkle_root_from_branch(coinbase, job.merkle_branch));
    }
    if (message.type == StratumMessageType::set_difficulty) {
      check(message.difficulty > 0, "a difficulty is above zero");
      share_target(message.difficulty);
    }
    if (message.type == StratumMessageType::set_extranonce || message.subscribe_result) {
      check(message.extranonce2_size >= 0 && message.extranonce2_size <= max_extranonce2_size,
            "the extranonce2 size is in range");
    }

    const StratumActions actions = session_receive(session, message, 0);
    check_console(actions);
    // What the miner answers, the reader reads back.
    for (const std::string& line : actions.send) {
      check(read_stratum_message(line).type != StratumMessageType::invalid, "the miner's own lines are well-formed");
    }
    if (session.job) {
      const StratumActions submitted =
          session_share_found(session, FoundShare{0, session.job->job_id, session.extranonce1, "00000001",
                                                  session.job->time_text, "00000000", false, 1.0},
                              0);
      for (const std::string& line : submitted.send) {
        check(read_stratum_message(line).type != StratumMessageType::invalid, "a submit line is well-formed");
      }
    }
  }
}
