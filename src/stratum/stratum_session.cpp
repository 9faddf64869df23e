#include "stratum/stratum_session.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "chain/hex.h"

namespace {

using Json = nlohmann::json;

// Compact JSON; text that is not valid UTF-8 (a worker name typed in another code page) is
// sent with replacement characters rather than failing.
std::int64_t seconds_to_ns(double seconds) { return static_cast<std::int64_t>(seconds * 1e9); }

std::string wire_text(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string request_line(StratumSession& session, StratumRequest kind, std::int64_t now_ns, const char* method,
                         Json params) {
  const std::int64_t id = session.next_id++;
  session.requests[id] = SentRequest{kind, now_ns};
  return wire_text(Json{{"id", id}, {"method", method}, {"params", std::move(params)}});
}

std::string submit_line(StratumSession& session, const FoundShare& share, std::int64_t now_ns) {
  const std::int64_t id = session.next_id;
  session.submitted[id] = share;
  return request_line(session, StratumRequest::submit, now_ns, "mining.submit",
                      Json::array({session.user, share.job_id, share.extranonce2_text, share.time_text,
                                   share.nonce_text}));
}

// Difficulties and seconds, as short as they can be shown exactly enough.
std::string number_text(double number) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", number);
  return text;
}

// A share is worth sending only on the extranonce it was made with: under another one its
// header is not the one the pool checks.
bool made_with_current_extranonce(const StratumSession& session, const FoundShare& share) {
  return share.extranonce1 == session.extranonce1 &&
         share.extranonce2_text.size() == 2 * static_cast<std::size_t>(session.extranonce2_size);
}

// Once the session is ready, the shares held while it was not are sent when their job is still
// the pool's current one on the same extranonce, and dropped if not.
void flush_held(StratumSession& session, StratumActions& actions, std::int64_t now_ns) {
  std::vector<FoundShare> held;
  held.swap(session.held);
  for (FoundShare& share : held) {
    if (session.job && share.job_id == session.job->job_id && made_with_current_extranonce(session, share)) {
      actions.send.push_back(submit_line(session, share, now_ns));
    } else {
      ++session.stale;
      actions.console.push_back("  [!] Share dropped (device " + std::to_string(share.device) + "): its job " +
                                printable_pool_text(share.job_id) + " ended while the pool was away\n");
    }
  }
}

// The connection is subscribed, authorized and has a job: its job becomes the devices' work and
// ends older work at once, since that may come from another session.
void start_mining(StratumSession& session, StratumActions& actions, std::int64_t now_ns) {
  actions.new_job = actions.clean = true;
  actions.console.push_back("  [+] Pool " + session.pool_name + ": connected, difficulty " +
                            number_text(session.difficulty) + "\n");
  flush_held(session, actions, now_ns);
}

void handle_response(StratumSession& session, const StratumMessage& message, StratumActions& actions,
                     std::int64_t now_ns) {
  const auto request = session.requests.find(*message.id);
  if (request == session.requests.end()) return;  // not ours, or answered before
  const StratumRequest kind = request->second.kind;
  const std::int64_t round_trip_ns = now_ns - request->second.sent_ns;
  session.requests.erase(request);
  // Pools that do not know extranonce subscriptions may answer them whenever they like.
  if (kind != StratumRequest::extranonce_subscribe) session.last_round_trip_ns = round_trip_ns;

  switch (kind) {
    case StratumRequest::subscribe:
      if (message.error && !message.subscribe_result) {
        actions.console.push_back("  [!] Pool " + session.pool_name + " refused the subscription: " +
                                  printable_pool_text(rejection_reason(*message.error)) + "\n");
        actions.close_as_failed = "subscription refused";
        return;
      }
      if (!message.subscribe_result) {
        actions.close_as_failed =
            "unusable subscribe answer: " +
            (message.subscribe_problem.empty() ? std::string("the result is not a list") : message.subscribe_problem);
        return;
      }
      session.subscribed = true;
      session.extranonce1 = message.extranonce1;
      session.extranonce2_size = message.extranonce2_size;
      session.subscription_id = message.subscription_id;
      actions.send.push_back(request_line(session, StratumRequest::authorize, now_ns, "mining.authorize",
                                          Json::array({session.user, session.password})));
      actions.send.push_back(request_line(session, StratumRequest::extranonce_subscribe, now_ns,
                                          "mining.extranonce.subscribe", Json::array()));
      return;
    case StratumRequest::authorize:
      session.authorized = message.result_true;
      if (!session.authorized) {
        // Every share would be refused: the connection is given up like one that failed.
        actions.console.push_back("  [!] Pool " + session.pool_name + " refused worker \"" +
                                  printable_pool_text(session.user) + "\": " +
                                  printable_pool_text(message.error ? rejection_reason(*message.error)
                                                                    : "no reason given") +
                                  "\n");
        actions.close_as_failed = "worker refused";
      }
      return;
    case StratumRequest::extranonce_subscribe:
      return;  // a pool without extranonce updates answers with an error; nothing changes
    case StratumRequest::submit: {
      const auto found = session.submitted.find(*message.id);
      if (found == session.submitted.end()) return;
      const FoundShare share = found->second;
      session.submitted.erase(found);
      const std::string device = std::to_string(share.device);
      if (message.result_true && !message.error) {
        ++session.accepted;
        if (share.is_block) ++session.blocks;
        actions.verdicts.push_back({share.device, true, {}});
        actions.console.push_back("  [+] Share " + std::to_string(session.accepted) + " accepted (device " + device +
                                  ", diff " + number_text(share.difficulty) + ", " +
                                  std::to_string((round_trip_ns + 500'000) / 1'000'000) + " ms)" +
                                  (share.is_block ? ": a block" : "") + "\n");
        return;
      }
      ++session.rejected;
      const StratumError error = message.error.value_or(StratumError{0, "refused without a reason"});
      if (error.code == 21) ++session.stale;
      const std::string reason = printable_pool_text(rejection_reason(error));
      actions.verdicts.push_back({share.device, false, reason});
      actions.console.push_back("  [!] Share rejected (device " + device + "): " + reason + "\n");
      return;
    }
  }
}

}  // namespace

std::string rejection_reason(const StratumError& error) {
  std::string meaning = error.message;
  if (meaning.empty()) {
    switch (error.code) {
      case 20: meaning = "other or unknown"; break;
      case 21: meaning = "stale, job not found"; break;
      case 22: meaning = "duplicate share"; break;
      case 23: meaning = "low difficulty share"; break;
      case 24: meaning = "unauthorized worker"; break;
      case 25: meaning = "not subscribed"; break;
      default: meaning = "no reason given"; break;
    }
  }
  return error.code == 0 ? meaning : meaning + " (" + std::to_string(error.code) + ")";
}

StratumActions session_connected(StratumSession& session, std::int64_t now_ns) {
  session_disconnected(session);
  session.connected_ns = now_ns;
  session.difficulty = 1.0;  // each connection starts at difficulty 1 until the pool sets another
  StratumActions actions;
  Json params = Json::array({session.agent});
  if (!session.subscription_id.empty()) params.push_back(session.subscription_id);
  actions.send.push_back(
      request_line(session, StratumRequest::subscribe, now_ns, "mining.subscribe", std::move(params)));
  return actions;
}

void session_disconnected(StratumSession& session) {
  for (auto& [id, share] : session.submitted) session.held.push_back(std::move(share));
  session.submitted.clear();
  session.requests.clear();
  session.next_id = 1;  // each connection numbers its own requests
  session.connected_ns.reset();
  session.subscribed = false;
  session.authorized = false;
  session.job_since_connect = false;
  session.last_round_trip_ns.reset();
}

bool session_ready(const StratumSession& session) {
  return session.subscribed && session.authorized && session.job_since_connect;
}

StratumActions session_receive(StratumSession& session, const StratumMessage& message, std::int64_t now_ns) {
  StratumActions actions;
  const bool was_ready = session_ready(session);
  switch (message.type) {
    case StratumMessageType::invalid:
      actions.malformed = "Pool sent a malformed message: " + message.problem;
      break;
    case StratumMessageType::http_reply:
      actions.close_as_failed = "an HTTP server answers there, not a Stratum pool: check the host and port";
      break;
    case StratumMessageType::response:
      handle_response(session, message, actions, now_ns);
      break;
    case StratumMessageType::notify:
      // Kept, but mined only once the session is ready.
      session.job = message.job;
      session.job_since_connect = true;
      actions.new_job = was_ready;
      actions.clean = was_ready && message.job.clean_jobs;
      break;
    case StratumMessageType::set_difficulty:
      if (message.difficulty != session.difficulty && was_ready) {
        actions.console.push_back("  [*] Pool difficulty " + number_text(message.difficulty) + "\n");
      }
      session.difficulty = message.difficulty;
      break;
    case StratumMessageType::set_extranonce:
      session.extranonce1 = message.extranonce1;
      session.extranonce2_size = message.extranonce2_size;
      actions.new_job = actions.clean = was_ready;
      break;
    case StratumMessageType::reconnect:
      actions.reconnect = StratumActions::Reconnect{message.reconnect_host, message.reconnect_port,
                                                    message.reconnect_wait_seconds};
      break;
    case StratumMessageType::show_message:
      actions.console.push_back("  [*] Pool " + session.pool_name + " says: " + printable_pool_text(message.text) +
                                "\n");
      break;
    case StratumMessageType::unknown_method:
      if (message.id) {
        // A request we do not serve still gets an answer, so the pool does not wait for one.
        const Json answer = message.method == "client.get_version"
                                ? Json{{"id", *message.id}, {"result", session.agent}, {"error", nullptr}}
                                : Json{{"id", *message.id}, {"result", nullptr},
                                       {"error", Json::array({20, "Method not supported", nullptr})}};
        actions.send.push_back(wire_text(answer));
      }
      break;
  }
  if (!was_ready && session_ready(session)) start_mining(session, actions, now_ns);
  return actions;
}

StratumActions session_share_found(StratumSession& session, FoundShare share, std::int64_t now_ns) {
  StratumActions actions;
  if (!session_ready(session)) {
    session.held.push_back(std::move(share));
  } else if (!made_with_current_extranonce(session, share)) {
    ++session.stale;
    actions.console.push_back("  [!] Share dropped (device " + std::to_string(share.device) +
                              "): the pool changed the extranonce since it was found\n");
  } else {
    actions.send.push_back(submit_line(session, share, now_ns));
  }
  return actions;
}

std::optional<SessionDeadline> session_deadline(const StratumSession& session, const SessionLimits& limits) {
  if (!session.connected_ns) return std::nullopt;
  std::optional<SessionDeadline> first;
  const auto consider = [&first](std::int64_t at_ns, std::string missing) {
    if (!first || at_ns < first->at_ns) first = SessionDeadline{at_ns, std::move(missing)};
  };
  // Requests first: at the same moment, the unanswered request says more than the missing job.
  for (const auto& [id, request] : session.requests) {
    switch (request.kind) {
      case StratumRequest::subscribe:
        consider(request.sent_ns + seconds_to_ns(limits.start),
                 "the subscription was not answered in " + number_text(limits.start) + " s");
        break;
      case StratumRequest::authorize:
        consider(request.sent_ns + seconds_to_ns(limits.start),
                 "the worker's authorization was not answered in " + number_text(limits.start) + " s");
        break;
      case StratumRequest::submit:
        consider(request.sent_ns + seconds_to_ns(limits.share_answer),
                 "a share was not answered in " + number_text(limits.share_answer) + " s");
        break;
      case StratumRequest::extranonce_subscribe:
        break;
    }
  }
  if (!session.job_since_connect) {
    consider(*session.connected_ns + seconds_to_ns(limits.start),
             "no job in " + number_text(limits.start) + " s after connecting");
  }
  return first;
}
