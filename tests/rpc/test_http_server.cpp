#include "rpc/test_http_server.h"

#include <algorithm>
#include <cctype>

#include "support/test_support.h"

namespace test_http {
namespace {

const char* action_name(ScriptedResponse::Action action) {
  switch (action) {
    case ScriptedResponse::Action::reply:
      return "reply";
    case ScriptedResponse::Action::close_without_answer:
      return "close";
    case ScriptedResponse::Action::never_answer:
      return "hang";
    case ScriptedResponse::Action::cut_short:
      return "truncate";
    case ScriptedResponse::Action::endless:
      return "endless";
    case ScriptedResponse::Action::oversized:
      return "oversized";
    case ScriptedResponse::Action::raw:
      return "raw";
  }
  return "reply";
}

std::string script_json(const std::vector<ScriptedResponse>& script) {
  std::string json = "[";
  for (const ScriptedResponse& response : script) {
    if (json.size() > 1) json += ",";
    json += std::string("{\"action\":\"") + action_name(response.action) + "\",\"status\":" +
            std::to_string(response.status) + ",\"body_hex\":\"" + test_support::to_hex(reinterpret_cast<const std::uint8_t*>(response.body.data()),
                                                  response.body.size()) +
            "\",\"chunked\":" + (response.chunked ? "true" : "false") + "}";
  }
  return json + "]";
}

RecordedRequest parse_request(std::string raw) {
  RecordedRequest request;
  request.raw = std::move(raw);
  const std::size_t head_end = request.raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return request;
  request.body = request.raw.substr(head_end + 4);
  const std::string head = request.raw.substr(0, head_end);
  std::size_t line_start = 0;
  while (line_start <= head.size()) {
    std::size_t line_end = head.find("\r\n", line_start);
    if (line_end == std::string::npos) line_end = head.size();
    const std::string line = head.substr(line_start, line_end - line_start);
    if (line_start == 0) {
      request.request_line = line;
    } else {
      const std::size_t colon = line.find(':');
      std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers.emplace_back(line.substr(0, colon), value);
    }
    line_start = line_end + 2;
  }
  return request;
}

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

ScriptedResponse reply(std::string body, int status) {
  return {ScriptedResponse::Action::reply, status, std::move(body), false};
}
ScriptedResponse chunked_reply(std::string body) {
  return {ScriptedResponse::Action::reply, 200, std::move(body), true};
}
ScriptedResponse cut_short_reply(std::string body) {
  return {ScriptedResponse::Action::cut_short, 200, std::move(body), false};
}
ScriptedResponse cut_short_chunked_reply(std::string body) {
  return {ScriptedResponse::Action::cut_short, 200, std::move(body), true};
}
ScriptedResponse endless_reply() { return {ScriptedResponse::Action::endless, 200, "", false}; }
ScriptedResponse oversized_reply() { return {ScriptedResponse::Action::oversized, 200, "", false}; }
ScriptedResponse close_without_answer() { return {ScriptedResponse::Action::close_without_answer, 200, "", false}; }
ScriptedResponse never_answer() { return {ScriptedResponse::Action::never_answer, 200, "", false}; }
ScriptedResponse raw_bytes(std::string bytes) { return {ScriptedResponse::Action::raw, 200, std::move(bytes), false}; }

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [header_name, value] : headers) {
    if (same_name(header_name, name)) return value;
  }
  return {};
}

bool RecordedRequest::has_header(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& entry) { return same_name(entry.first, name); });
}

TestHttpServer::TestHttpServer(const std::vector<ScriptedResponse>& script, bool use_ipv6) : ipv6(use_ipv6) {
  start(script_json(script));
}

TestHttpServer::~TestHttpServer() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

std::string TestHttpServer::url(std::string_view path) const {
  const std::string host = ipv6 ? "[::1]" : "127.0.0.1";
  return "http://" + host + ":" + std::to_string(port) + std::string(path);
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory / "requests")) {
    if (entry.path().extension().empty()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<RecordedRequest> requests;
  for (const auto& file : files) requests.push_back(parse_request(test_support::read_file(file)));
  return requests;
}

std::string unreachable_url() {
  TestHttpServer server({});
  server.stop();
  return server.url();
}

RpcClient open_test_client(const std::string& url, const std::string& user, const std::string& password) {
  RpcClient client = rpc_client_open(url, user, password);
  client.connection->timeouts = {std::chrono::milliseconds(2'000), std::chrono::milliseconds(2'000)};
  client.connection->submit_retry_delay = std::chrono::milliseconds(20);
  return client;
}

}  // namespace test_http
