#pragma once
// Starts tests/rpc/http_test_server.py as a child process on a free loopback port, hands it a
// script of responses and reads back the requests it received.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "rpc/rpc_client.h"

namespace test_http {

struct ScriptedResponse {
  enum class Action { reply, close_without_answer, never_answer, cut_short };
  Action action = Action::reply;
  int status = 200;
  std::string body;
  bool chunked = false;
};

ScriptedResponse reply(std::string body, int status = 200);
ScriptedResponse chunked_reply(std::string body);
ScriptedResponse cut_short_reply(std::string body);  // announces 100 bytes more than it sends
ScriptedResponse close_without_answer();
ScriptedResponse never_answer();

struct RecordedRequest {
  std::string raw;           // every byte received
  std::string request_line;  // "POST /path HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Value of the first header of that name (case-insensitive); empty when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

struct TestHttpServer {
  explicit TestHttpServer(const std::vector<ScriptedResponse>& script, bool ipv6 = false);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // Ends the server; its port then refuses connections.
  void stop();
  std::string url(std::string_view path = "/") const;
  std::vector<RecordedRequest> requests() const;

  std::uint16_t port = 0;
  bool ipv6 = false;
  std::filesystem::path directory;
  pid_t pid = -1;
};

// A loopback URL on which nothing listens: connections are refused.
std::string unreachable_url();

// A client of the server with short time-outs and retry delay, so failure paths stay quick.
RpcClient open_test_client(const std::string& url, const std::string& user = "user",
                           const std::string& password = "password");

}  // namespace test_http
