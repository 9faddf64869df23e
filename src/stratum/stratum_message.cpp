#include "stratum/stratum_message.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

int hex_digit_value(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// Strict hex: an even number of digits and nothing else. The node's lenient decoder would turn
// a damaged job into a header the pool never meant.
std::optional<ByteVector> strict_hex(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() % 2 != 0) return std::nullopt;
  ByteVector bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t position = 0; position < text.size(); position += 2) {
    const int high = hex_digit_value(text[position]);
    const int low = hex_digit_value(text[position + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

// Eight hex digits read as a big-endian number (version, nbits, ntime).
std::optional<std::uint32_t> word_from_hex(const Json& value) {
  const auto bytes = strict_hex(value);
  if (!bytes || bytes->size() != 4) return std::nullopt;
  return (std::uint32_t{(*bytes)[0]} << 24) | (std::uint32_t{(*bytes)[1]} << 16) | (std::uint32_t{(*bytes)[2]} << 8) |
         std::uint32_t{(*bytes)[3]};
}

StratumMessage invalid(std::string problem) {
  StratumMessage message;
  message.problem = std::move(problem);
  return message;
}

// [job_id, prevhash, coinb1, coinb2, merkle_branch, version, nbits, ntime, clean_jobs]
StratumMessage read_notify(StratumMessage message, const Json& params) {
  if (!params.is_array() || params.size() < 8) return invalid("mining.notify with fewer than 8 parameters");
  StratumJob& job = message.job;
  if (params[0].is_string()) {
    job.job_id = params[0].get<std::string>();
  } else if (params[0].is_number_integer()) {
    job.job_id = params[0].dump();
  }
  if (job.job_id.empty()) return invalid("mining.notify without a job id");
  const auto previous = strict_hex(params[1]);
  if (!previous || previous->size() != 32) return invalid("mining.notify with a previous hash that is not 32 bytes of hex");
  job.previous_hash_words = *previous;
  const auto part1 = strict_hex(params[2]);
  const auto part2 = strict_hex(params[3]);
  if (!part1 || !part2) return invalid("mining.notify with coinbase parts that are not hex");
  job.coinbase_part1 = *part1;
  job.coinbase_part2 = *part2;
  if (!params[4].is_array()) return invalid("mining.notify with a merkle branch that is not a list");
  for (const Json& entry : params[4]) {
    const auto hash = strict_hex(entry);
    if (!hash || hash->size() != 32) return invalid("mining.notify with a merkle branch hash that is not 32 bytes of hex");
    job.merkle_branch.push_back(*hash);
  }
  const auto version = word_from_hex(params[5]);
  const auto bits = word_from_hex(params[6]);
  const auto time = word_from_hex(params[7]);
  if (!version || !bits || !time) return invalid("mining.notify with version, nbits or ntime not 8 hex digits");
  job.version = *version;
  job.bits = *bits;
  job.time = *time;
  job.time_text = params[7].get<std::string>();
  if (params.size() > 8) {
    if (!params[8].is_boolean()) return invalid("mining.notify with a clean_jobs flag that is not true or false");
    job.clean_jobs = params[8].get<bool>();
  }
  message.type = StratumMessageType::notify;
  return message;
}

// extranonce1 (hex) and extranonce2 size, as in subscribe answers and mining.set_extranonce.
// Nothing when both are usable, else what is wrong with them.
std::optional<std::string> read_extranonce(StratumMessage& message, const Json& extranonce1, const Json& size) {
  const auto bytes = strict_hex(extranonce1);
  if (!bytes) return "extranonce1 is not hex";
  if (!size.is_number_integer()) return "the extranonce2 size is not a whole number";
  const auto size_value = size.get<std::int64_t>();
  if (size_value < 0 || size_value > max_extranonce2_size) {
    return "the extranonce2 size " + std::to_string(size_value) + " is not 0 to " +
           std::to_string(max_extranonce2_size);
  }
  message.extranonce1 = *bytes;
  message.extranonce2_size = static_cast<std::int32_t>(size_value);
  return std::nullopt;
}

// The session a pool may let a later subscribe resume: the mining.notify subscription's id.
std::string subscription_id(const Json& subscriptions) {
  if (subscriptions.is_string()) return subscriptions.get<std::string>();
  if (!subscriptions.is_array()) return {};
  if (subscriptions.size() == 2 && subscriptions[0].is_string() && subscriptions[1].is_string()) {
    return subscriptions[1].get<std::string>();  // a single pair, not a list of pairs
  }
  for (const Json& pair : subscriptions) {
    if (pair.is_array() && pair.size() >= 2 && pair[0] == "mining.notify" && pair[1].is_string()) {
      return pair[1].get<std::string>();
    }
  }
  return {};
}

StratumMessage read_response(StratumMessage message, const Json& object) {
  message.type = StratumMessageType::response;
  const Json& result = object.contains("result") ? object["result"] : Json();
  message.result_true = result.is_boolean() && result.get<bool>();
  if (result.is_array()) {
    const std::optional<std::string> problem =
        result.size() < 3 ? std::optional<std::string>("extranonce1 or the extranonce2 size is missing")
                          : read_extranonce(message, result[1], result[2]);
    message.subscribe_result = !problem;
    if (problem) message.subscribe_problem = *problem;
    if (message.subscribe_result) message.subscription_id = subscription_id(result[0]);
  }
  if (object.contains("error") && !object["error"].is_null()) {
    // [code, message, data] as pools send it; an object with code and message is also seen.
    const Json& error = object["error"];
    StratumError reason;
    if (error.is_array() && !error.empty()) {
      if (error[0].is_number_integer()) reason.code = error[0].get<std::int64_t>();
      if (error.size() > 1 && error[1].is_string()) reason.message = error[1].get<std::string>();
    } else if (error.is_object()) {
      if (error.contains("code") && error["code"].is_number_integer()) reason.code = error["code"].get<std::int64_t>();
      if (error.contains("message") && error["message"].is_string()) reason.message = error["message"].get<std::string>();
    } else if (error.is_string()) {
      reason.message = error.get<std::string>();
    }
    message.error = reason;
  }
  return message;
}

StratumMessage read_request(StratumMessage message, const Json& params) {
  const std::string& method = message.method;
  if (method == "mining.notify") return read_notify(std::move(message), params);
  if (method == "mining.set_difficulty") {
    if (!params.is_array() || params.empty() || !params[0].is_number()) {
      return invalid("mining.set_difficulty without a number");
    }
    message.difficulty = params[0].get<double>();
    if (!std::isfinite(message.difficulty) || message.difficulty <= 0) {
      return invalid("mining.set_difficulty with a difficulty that is not above zero");
    }
    message.type = StratumMessageType::set_difficulty;
    return message;
  }
  if (method == "mining.set_extranonce") {
    if (!params.is_array() || params.size() < 2 || read_extranonce(message, params[0], params[1])) {
      return invalid("mining.set_extranonce without hex extranonce1 and a size of 0 to 32");
    }
    message.type = StratumMessageType::set_extranonce;
    return message;
  }
  if (method == "client.reconnect") {
    // [host, port, wait seconds], each optional; the port may come as a number or as text.
    if (params.is_array()) {
      if (params.size() > 0 && params[0].is_string()) message.reconnect_host = params[0].get<std::string>();
      if (params.size() > 1) {
        std::int64_t port = -1;
        if (params[1].is_number_integer()) port = params[1].get<std::int64_t>();
        if (params[1].is_string()) {
          const std::string& text = params[1].get_ref<const std::string&>();
          if (!text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos) {
            port = std::stoll(text);
          }
        }
        if (port < 0 || port > std::numeric_limits<std::uint16_t>::max()) return invalid("client.reconnect with a bad port");
        message.reconnect_port = static_cast<std::uint16_t>(port);
      }
      if (params.size() > 2 && params[2].is_number_integer()) {
        const auto wait = params[2].get<std::int64_t>();
        message.reconnect_wait_seconds = static_cast<std::int32_t>(wait < 0 ? 0 : (wait > 3600 ? 3600 : wait));
      }
    }
    message.type = StratumMessageType::reconnect;
    return message;
  }
  if (method == "client.show_message") {
    if (params.is_array() && !params.empty() && params[0].is_string()) message.text = params[0].get<std::string>();
    message.type = StratumMessageType::show_message;
    return message;
  }
  message.type = StratumMessageType::unknown_method;
  return message;
}

// "HTTP/1.1 400 Bad Request", or the start of an HTML page (some web servers answer a request
// line they cannot read with a bare error page): what a web server sends to a Stratum request.
bool is_web_server_reply(std::string_view line) {
  const auto starts_with_ignoring_case = [line](std::string_view start) {
    if (line.size() < start.size()) return false;
    for (std::size_t index = 0; index < start.size(); ++index) {
      const char character = line[index];
      const char lower = character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a') : character;
      if (lower != start[index]) return false;
    }
    return true;
  };
  const auto is_digit = [](char character) { return character >= '0' && character <= '9'; };
  if (line.size() >= 12 && line.starts_with("HTTP/1.") && is_digit(line[7]) && line[8] == ' ' && is_digit(line[9]) &&
      is_digit(line[10]) && is_digit(line[11])) {
    return true;
  }
  return starts_with_ignoring_case("<!doctype html") || starts_with_ignoring_case("<html");
}

// The length of the well-formed UTF-8 sequence at the start of text, 0 when it is not one.
std::size_t utf8_sequence_length(std::string_view text) {
  const auto byte = [text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char second_lowest = 0x80;
  unsigned char second_highest = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) second_lowest = 0xa0;   // no overlong forms
    if (lead == 0xed) second_highest = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) second_lowest = 0x90;
    if (lead == 0xf4) second_highest = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < second_lowest || byte(1) > second_highest) return 0;
  for (std::size_t index = 2; index < length; ++index) {
    if ((byte(index) & 0xc0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

StratumMessage read_stratum_message(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (is_web_server_reply(line)) {
    StratumMessage message;
    message.type = StratumMessageType::http_reply;
    return message;
  }
  const Json object = Json::parse(line.begin(), line.end(), nullptr, false);
  if (object.is_discarded() || !object.is_object()) return invalid("a line that is not a JSON object");

  StratumMessage message;
  if (object.contains("id") && object["id"].is_number_integer()) message.id = object["id"].get<std::int64_t>();
  if (object.contains("method") && !object["method"].is_null()) {
    if (!object["method"].is_string()) return invalid("a method name that is not text");
    message.method = object["method"].get<std::string>();
    return read_request(std::move(message), object.contains("params") ? object["params"] : Json());
  }
  if (!message.id) return invalid("an answer without a numeric id");
  return read_response(std::move(message), object);
}

std::string printable_pool_text(std::string_view text, std::size_t longest) {
  const bool cut = text.size() > longest;
  if (cut) {
    // The first byte left out must start a character, so no UTF-8 sequence is split.
    std::size_t end = longest;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    text = text.substr(0, end);
  }
  std::string clean;
  clean.reserve(text.size() + 3);
  for (std::size_t position = 0; position < text.size();) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x80) {
      clean += (byte < 0x20 || byte == 0x7f) ? '?' : text[position];
      ++position;
      continue;
    }
    const std::size_t length = utf8_sequence_length(text.substr(position));
    // U+0080 to U+009F (C2 80 to C2 9F) are control characters too.
    const bool c1_control = length == 2 && byte == 0xc2 && static_cast<unsigned char>(text[position + 1]) <= 0x9f;
    if (length == 0 || c1_control) {
      clean += '?';
      position += length == 0 ? 1 : length;
      continue;
    }
    clean.append(text.substr(position, length));
    position += length;
  }
  if (cut) clean += "...";
  return clean;
}
