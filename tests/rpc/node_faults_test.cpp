// The node client against replies and nodes that misbehave: incomplete and endless replies,
// nodes that hang, stop requests, refused credentials and the causes told to the user.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rpc/block_submission.h"
#include "rpc/block_template.h"
#include "rpc/node_failure.h"
#include "rpc/rpc_client.h"
#include "rpc/test_http_server.h"
#include "rpc/tip_poll.h"
#include "support/test_support.h"

namespace {

using test_http::TestHttpServer;
using Clock = std::chrono::steady_clock;

const std::string ok_reply = R"({"result":"ok","error":null,"id":"m"})";

// The failure the action threw; kind none when it threw nothing of that type.
NodeFailure failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const NodeRequestError& error) {
    return error.failure;
  }
  return {};
}

// Sets the flag from another thread after a short while, as the stop handler does.
struct DelayedStop {
  explicit DelayedStop(std::atomic<bool>& flag)
      : thread([&flag] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          flag = true;
        }) {}
  ~DelayedStop() { thread.join(); }
  std::thread thread;
};

TEST(NodeFaults, IncompleteOrOversizedRepliesAreFailuresNotReplies) {
  struct Case {
    const char* name;
    test_http::ScriptedResponse response;
    NodeFailureKind kind;
  };
  // Cut inside a number: used as it came, the value would silently be another one.
  const std::string template_head = R"({"result":{"previousblockhash":"00ff","height":815)";
  const Case cases[] = {
      {"shorter than its Content-Length", test_http::cut_short_reply(template_head), NodeFailureKind::cut_short},
      {"chunked without its last chunk", test_http::cut_short_chunked_reply(template_head),
       NodeFailureKind::cut_short},
      {"a chunked reply that never ends", test_http::endless_reply(), NodeFailureKind::too_large},
      {"a Content-Length beyond the cap", test_http::oversized_reply(), NodeFailureKind::too_large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHttpServer server({c.response, test_http::reply(ok_reply)});
    RpcClient client = test_http::open_test_client(server.url());
    client.connection->timeouts = {std::chrono::seconds(10), std::chrono::seconds(60)};
    const NodeFailure failure = failure_of([&] { rpc_call(client, "m", "[]"); });
    EXPECT_EQ(failure.kind, c.kind) << failure.message;
    EXPECT_EQ(failure.http_status, 200);
    EXPECT_EQ(rpc_call(client, "m", "[]"), ok_reply) << "the next request is unaffected";
    EXPECT_EQ(server.requests().size(), 2u);
  }
}

TEST(NodeFaults, AStopAbandonsTemplateAndTipRequestsButNotASubmission) {
  struct Case {
    const char* name;
    std::function<NodeFailure(RpcClient&)> request;
  };
  const Case cases[] = {
      {"template", [](RpcClient& client) { return get_block_template(client).failure; }},
      {"tip poll", [](RpcClient& client) { return failure_of([&] { get_best_block_hash(client); }); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHttpServer server({test_http::never_answer()});
    std::atomic<bool> stop{false};
    RpcClient client = rpc_client_open(server.url(), "u", "p", RpcClientOptions{"", &stop});
    client.connection->tip_poll_timeout = std::chrono::seconds(60);
    const auto start = Clock::now();
    NodeFailure failure;
    {
      DelayedStop stopper(stop);
      failure = c.request(client);
    }
    EXPECT_EQ(failure.kind, NodeFailureKind::abandoned);
    // Without the stop the request would wait for its 60 s time-out.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  }

  // A found block is handed over even when the stop came first.
  TestHttpServer server({test_http::reply(R"({"result":null,"error":null,"id":"m"})")});
  std::atomic<bool> stop{true};
  RpcClient client = rpc_client_open(server.url(), "u", "p", RpcClientOptions{"", &stop});
  EXPECT_TRUE(submit_block(client, "00").accepted);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(NodeFaults, TheTipPollHasItsOwnShortTimeout) {
  TestHttpServer server({test_http::never_answer(), test_http::reply(ok_reply)});
  RpcClient client = test_http::open_test_client(server.url());
  client.connection->timeouts = {std::chrono::seconds(60), std::chrono::seconds(60)};
  client.connection->tip_poll_timeout = std::chrono::milliseconds(500);
  const auto start = Clock::now();
  EXPECT_EQ(failure_of([&] { get_best_block_hash(client); }).kind, NodeFailureKind::unreachable);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  // Other requests keep the connection's own time-out.
  EXPECT_EQ(rpc_call(client, "m", "[]"), ok_reply);
}

TEST(NodeFaults, CookieCredentialsAreReadAgainAfterARefusal) {
  test_support::TemporaryDirectory directory;
  const std::string cookie_path = (directory.path / ".cookie").string();
  const auto write_cookie = [&](const std::string& credentials) {
    std::ofstream(cookie_path, std::ios::binary) << credentials;
  };
  TestHttpServer server({test_http::reply(ok_reply), test_http::reply("", 401), test_http::reply(ok_reply),
                         test_http::reply("", 401)});
  RpcClient client = rpc_client_open(server.url(), "ignored", "ignored", RpcClientOptions{cookie_path, nullptr});

  // No file yet (the node has not started): nothing is sent, and the cause names the file.
  const NodeFailure missing = failure_of([&] { rpc_call(client, "m", "[]"); });
  EXPECT_EQ(missing.kind, NodeFailureKind::cookie_unreadable);
  EXPECT_EQ(missing.endpoint, cookie_path);
  EXPECT_EQ(missing.message, "cannot open it");
  write_cookie("");
  EXPECT_EQ(failure_of([&] { rpc_call(client, "m", "[]"); }).message, "empty");
  EXPECT_TRUE(server.requests().empty());

  write_cookie("__cookie__:first\n");
  EXPECT_EQ(rpc_call(client, "m", "[]"), ok_reply);
  // The node restarts with new credentials: the refusal makes the client read them and ask again.
  write_cookie("__cookie__:second");
  EXPECT_EQ(rpc_call(client, "m", "[]"), ok_reply);
  // Refused with credentials that did not change: no second attempt, the refusal is the answer.
  EXPECT_EQ(failure_of([&] { rpc_call(client, "m", "[]"); }).http_status, 401);

  const std::string first = "Basic " + base64_encode("__cookie__:first");
  const std::string second = "Basic " + base64_encode("__cookie__:second");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  const std::string expected[] = {first, first, second, second};
  for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i].header("Authorization"), expected[i]) << i;
}

TEST(NodeFaults, TemplateFailuresKeepTheirCause) {
  struct Case {
    const char* name;
    test_http::ScriptedResponse response;
    NodeFailureKind kind;
    int http_status;
    std::int64_t rpc_code;
  };
  const Case cases[] = {
      {"wrong password", test_http::reply("", 401), NodeFailureKind::http_status, 401, 0},
      {"node starting",
       test_http::reply(R"({"result":null,"error":{"code":-10,"message":"Loading block index..."},"id":"m"})", 500),
       NodeFailureKind::rpc_error, 500, -10},
      {"a proxy's error page", test_http::reply("<html><body>503 Service Unavailable</body></html>", 503),
       NodeFailureKind::http_status, 503, 0},
      {"not JSON-RPC", test_http::reply("<html>hello</html>", 200), NodeFailureKind::bad_reply, 0, 0},
      {"closed without an answer", test_http::close_without_answer(), NodeFailureKind::no_answer, 0, 0},
      {"a Stratum pool's line", test_http::raw_bytes(R"({"id":null,"result":null,"error":[20,"Parse error",null]})" "\n"),
       test_http::platform_http_client.stratum_line_failure, 0, 0},
      {"another protocol", test_http::raw_bytes("SSH-2.0-OpenSSH_9.2\r\n"),
       test_http::platform_http_client.other_protocol_failure, 0, 0},
  };
  std::vector<test_http::ScriptedResponse> script;
  for (const Case& c : cases) script.push_back(c.response);
  TestHttpServer server(script);
  RpcClient client = test_http::open_test_client(server.url());
  for (const Case& c : cases) {
    const BlockTemplate block_template = get_block_template(client);
    EXPECT_FALSE(block_template.valid) << c.name;
    EXPECT_EQ(block_template.failure.kind, c.kind) << c.name;
    EXPECT_EQ(block_template.failure.http_status, c.http_status) << c.name;
    EXPECT_EQ(block_template.failure.rpc_code, c.rpc_code) << c.name;
  }
  RpcClient unreachable = test_http::open_test_client(test_http::unreachable_url());
  EXPECT_EQ(get_block_template(unreachable).failure.kind, NodeFailureKind::unreachable);
}

TEST(NodeFailureText, SaysWhatIsWrongAndWhatToDo) {
  struct Case {
    NodeFailure failure;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {{NodeFailureKind::http_status, "n:1", 401, 0, ""}, {"refused the RPC credentials", "-u", "-p", "--rpc-cookie"}},
      {{NodeFailureKind::rpc_error, "n:1", 500, -10, "Loading block index..."},
       {"RPC error -10: Loading block index...", "still starting or syncing"}},
      {{NodeFailureKind::rpc_error, "n:1", 500, -9, "Not connected"}, {"-9: Not connected", "starting or syncing"}},
      {{NodeFailureKind::rpc_error, "n:1", 500, -8, "getblocktemplate must be called with the segwit rule set"},
       {"-8: getblocktemplate must be called", "segwit rule"}},
      {{NodeFailureKind::rpc_error, "n:1", 404, -32601, "Method not found"}, {"not the coin's RPC endpoint", "-o"}},
      {{NodeFailureKind::http_status, "n:1", 404, 0, ""}, {"HTTP 404", "not the coin's RPC endpoint"}},
      {{NodeFailureKind::http_status, "n:1", 503, 0, ""}, {"HTTP 503 from n:1", "proxy"}},
      {{NodeFailureKind::unreachable, "127.0.0.1:8899", 0, 0, "Connection refused"},
       {"cannot reach the node at 127.0.0.1:8899", "Connection refused", "running", "RPC server"}},
      {{NodeFailureKind::too_large, "n:1", 200, 0, "larger than 64 MiB"}, {"larger than 64 MiB", "dropped"}},
      {{NodeFailureKind::cut_short, "n:1", 200, 0, ""}, {"cut short", "not used"}},
      {{NodeFailureKind::cookie_unreadable, "/d/.cookie", 0, 0, "cannot open it"}, {"/d/.cookie", "node running"}},
      {{NodeFailureKind::stratum_server, "pool:3333", 0, 0, ""},
       {"a Stratum pool answers at pool:3333", "not the node's RPC server", "-o stratum+tcp://pool:3333"}},
      {{NodeFailureKind::not_http, "n:1", 0, 0, ""}, {"n:1 does not answer in HTTP", "stratum+tcp://"}},
  };
  for (const Case& c : cases) {
    const std::string text = describe_node_failure(c.failure);
    for (const std::string& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << part << " in: " << text;
  }
  EXPECT_EQ(describe_node_failure({}), "");
}

TEST(NodeFailureText, AReplyWithoutAStatusLineIsJudgedByItsFirstBytes) {
  const struct {
    const char* bytes;
    NodeFailureKind kind;
  } cases[] = {
      {R"({"id":1,"method":"mining.notify","params":[]})", NodeFailureKind::stratum_server},
      {" \r\n{\"id\":null", NodeFailureKind::stratum_server},
      {"SSH-2.0-OpenSSH_9.2", NodeFailureKind::not_http},
      {"[1,2]", NodeFailureKind::not_http},
      {"", NodeFailureKind::not_http},
  };
  for (const auto& c : cases) EXPECT_EQ(kind_of_reply_that_is_not_http(c.bytes), c.kind) << c.bytes;
}

TEST(NodeFailureText, RetriesThatFailTheSameWayHaveOneCause) {
  const NodeFailure refused{NodeFailureKind::unreachable, "n:1", 0, 0, "Failed to connect after 1 ms"};
  struct Case {
    NodeFailure other;
    bool same;
  };
  const Case cases[] = {
      {{NodeFailureKind::unreachable, "n:1", 0, 0, "Failed to connect after 0 ms"}, true},
      {{NodeFailureKind::unreachable, "n:2", 0, 0, "Failed to connect after 1 ms"}, false},
      {{NodeFailureKind::no_answer, "n:1", 0, 0, "Failed to connect after 1 ms"}, false},
      {{NodeFailureKind::http_status, "n:1", 503, 0, ""}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(same_node_failure_cause(refused, c.other), c.same) << c.other.endpoint;
  // The node's own message is the cause of an RPC error: another message is another cause.
  const NodeFailure loading{NodeFailureKind::rpc_error, "n:1", 500, -10, "Loading block index..."};
  NodeFailure verifying = loading;
  verifying.message = "Verifying blocks...";
  EXPECT_TRUE(same_node_failure_cause(loading, loading));
  EXPECT_FALSE(same_node_failure_cause(loading, verifying));
}

}  // namespace
