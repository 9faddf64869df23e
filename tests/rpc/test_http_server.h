#pragma once
// Starts tests/rpc/http_test_server.py on a free loopback port, hands it a script of responses
// and reads back the requests it received. On POSIX systems the server is a child process of
// the test; under Wine a launcher on the Linux side starts it (tests/windows).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rpc/node_failure.h"
#include "rpc/rpc_client.h"

namespace test_http {

struct ScriptedResponse {
  enum class Action { reply, close_without_answer, never_answer, cut_short, endless, oversized, raw };
  Action action = Action::reply;
  int status = 200;
  std::string body;
  bool chunked = false;
};

ScriptedResponse reply(std::string body, int status = 200);
ScriptedResponse chunked_reply(std::string body);
ScriptedResponse cut_short_reply(std::string body);  // announces 100 bytes more than it sends
ScriptedResponse cut_short_chunked_reply(std::string body);  // the last chunk never comes
ScriptedResponse endless_reply();                            // chunks for as long as the client reads
ScriptedResponse oversized_reply();                          // announces 65 MiB, sends a little
ScriptedResponse close_without_answer();
ScriptedResponse never_answer();
ScriptedResponse raw_bytes(std::string bytes);  // no status line; the connection stays open

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
  std::filesystem::path directory;  // holds script.json and the recorded requests/
  std::int64_t server_id = -1;      // the server's process id; -1 once it has ended

  // Starts the server with the script and fills port, directory and server_id (per platform).
  void start(const std::string& script_json);
};

// Where the platforms' HTTP clients differ (libcurl on POSIX systems, WinHTTP on Windows).
struct HttpClientTraits {
  const char* connect_failure;  // raised when no connection can be made
  const char* receive_failure;  // raised when the connection closes without a reply
  // Request headers the client adds of its own accord besides Host, User-Agent, Content-Length.
  std::vector<std::string> own_headers;
  // A Stratum line, and other bytes that are not HTTP, instead of an HTTP reply: libcurl hands
  // over the bytes, which tell a pool from another server; WinHTTP says of both what it says of
  // a connection closed without a reply.
  NodeFailureKind stratum_line_failure;
  NodeFailureKind other_protocol_failure;
};
extern const HttpClientTraits platform_http_client;

// A loopback URL on which nothing listens: connections are refused.
std::string unreachable_url();

// A client of the server with short time-outs and retry delay, so failure paths stay quick.
RpcClient open_test_client(const std::string& url, const std::string& user = "user",
                           const std::string& password = "password");

}  // namespace test_http
