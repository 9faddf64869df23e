#include "stratum/stratum_session.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "chain/hex.h"

namespace {

using Json = nlohmann::json;

// Compact JSON; text that is not valid UTF-8 (a worker name typed in another code page) is
// sent with replacement characters rather than failing.
std::string wire_text(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string request_line(StratumSession& session, StratumRequest kind, const char* method, Json params) {
  const std::int64_t id = session.next_id++;
  session.requests[id] = kind;
  return wire_text(Json{{"id", id}, {"method", method}, {"params", std::move(params)}});
}

std::string submit_line(StratumSession& session, const FoundShare& share) {
  const std::int64_t id = session.next_id;
  session.submitted[id] = share;
  return request_line(session, StratumRequest::submit, "mining.submit",
                      Json::array({session.user, share.job_id, share.extranonce2_text, share.time_text,
                                   share.nonce_text}));
}

// Text from the pool goes to the console without its control characters, so a pool cannot
// move the cursor or rewrite the screen.
std::string printable(const std::string& text) {
  std::string clean;
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    clean += (byte < 0x20 || byte == 0x7f) ? '?' : character;
  }
  return clean;
}


std::string difficulty_text(double difficulty) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", difficulty);
  return text;
}

// The first job of a connection decides what becomes of the shares held while there was none:
// sent when their job is still the pool's current one on the same extranonce1, dropped if not.
void flush_held(StratumSession& session, StratumActions& actions) {
  std::vector<FoundShare> held;
  held.swap(session.held);
  for (FoundShare& share : held) {
    if (session.job && share.job_id == session.job->job_id && share.extranonce1 == session.extranonce1) {
      actions.send.push_back(submit_line(session, share));
    } else {
      ++session.stale;
      actions.console.push_back("  [!] Share dropped (device " + std::to_string(share.device) + "): its job " +
                                printable(share.job_id) + " ended while the pool was away\n");
    }
  }
}

void handle_response(StratumSession& session, const StratumMessage& message, StratumActions& actions) {
  const auto request = session.requests.find(*message.id);
  if (request == session.requests.end()) return;  // not ours, or answered before
  const StratumRequest kind = request->second;
  session.requests.erase(request);

  switch (kind) {
    case StratumRequest::subscribe:
      if (!message.subscribe_result) {
        actions.console.push_back("  [!] Pool " + session.pool_name + " refused the subscription: " +
                                  printable(message.error ? rejection_reason(*message.error) : "no extranonce") + "\n");
        return;
      }
      if (message.extranonce1 != session.extranonce1 || message.extranonce2_size != session.extranonce2_size) {
        actions.new_job = actions.clean = session.job.has_value();
      }
      session.extranonce1 = message.extranonce1;
      session.extranonce2_size = message.extranonce2_size;
      session.subscription_id = message.subscription_id;
      actions.send.push_back(request_line(session, StratumRequest::authorize, "mining.authorize",
                                          Json::array({session.user, session.password})));
      actions.send.push_back(
          request_line(session, StratumRequest::extranonce_subscribe, "mining.extranonce.subscribe", Json::array()));
      return;
    case StratumRequest::authorize:
      session.authorized = message.result_true;
      if (!session.authorized) {
        actions.console.push_back("  [!] Pool " + session.pool_name + " refused worker \"" + printable(session.user) +
                                  "\": " +
                                  printable(message.error ? rejection_reason(*message.error) : "no reason given") + "\n");
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
        actions.console.push_back("  [+] Share accepted (device " + device + ")" + (share.is_block ? ": a block" : "") +
                                  "\n");
        return;
      }
      ++session.rejected;
      const StratumError error = message.error.value_or(StratumError{0, "refused without a reason"});
      if (error.code == 21) ++session.stale;
      const std::string reason = printable(rejection_reason(error));
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

StratumActions session_connected(StratumSession& session) {
  session_disconnected(session);
  session.difficulty = 1.0;  // each connection starts at difficulty 1 until the pool sets another
  StratumActions actions;
  Json params = Json::array({session.agent});
  if (!session.subscription_id.empty()) params.push_back(session.subscription_id);
  actions.send.push_back(request_line(session, StratumRequest::subscribe, "mining.subscribe", std::move(params)));
  return actions;
}

void session_disconnected(StratumSession& session) {
  for (auto& [id, share] : session.submitted) session.held.push_back(std::move(share));
  session.submitted.clear();
  session.requests.clear();
  session.next_id = 1;  // each connection numbers its own requests
  session.authorized = false;
  session.job_since_connect = false;
}

StratumActions session_receive(StratumSession& session, const StratumMessage& message) {
  StratumActions actions;
  switch (message.type) {
    case StratumMessageType::invalid:
      actions.console.push_back("  [!] Pool sent a malformed message: " + message.problem + "\n");
      break;
    case StratumMessageType::response:
      handle_response(session, message, actions);
      break;
    case StratumMessageType::notify: {
      const bool first = !session.job_since_connect;
      session.job = message.job;
      session.job_since_connect = true;
      actions.new_job = true;
      // The first job of a connection ends older work too: it may come from another session.
      actions.clean = message.job.clean_jobs || first;
      if (first) {
        actions.console.push_back("  [+] Pool " + session.pool_name + ": connected, difficulty " +
                                  difficulty_text(session.difficulty) + "\n");
        flush_held(session, actions);
      }
      break;
    }
    case StratumMessageType::set_difficulty:
      if (message.difficulty != session.difficulty && session.job_since_connect) {
        actions.console.push_back("  [*] Pool difficulty " + difficulty_text(message.difficulty) + "\n");
      }
      session.difficulty = message.difficulty;
      break;
    case StratumMessageType::set_extranonce:
      session.extranonce1 = message.extranonce1;
      session.extranonce2_size = message.extranonce2_size;
      actions.new_job = actions.clean = session.job.has_value();
      break;
    case StratumMessageType::reconnect:
      actions.reconnect = StratumActions::Reconnect{message.reconnect_host, message.reconnect_port,
                                                    message.reconnect_wait_seconds};
      break;
    case StratumMessageType::show_message:
      actions.console.push_back("  [*] Pool " + session.pool_name + " says: " + printable(message.text) + "\n");
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
  return actions;
}

StratumActions session_share_found(StratumSession& session, FoundShare share) {
  StratumActions actions;
  if (session.job_since_connect) {
    actions.send.push_back(submit_line(session, share));
  } else {
    session.held.push_back(std::move(share));
  }
  return actions;
}
