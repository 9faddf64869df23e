#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "rpc/block_submission.h"
#include "rpc/test_http_server.h"
#include "rpc/tip_poll.h"

namespace {

using test_http::TestHttpServer;

const std::string block_hex = "00000020" + std::string(152, '0');

TEST(BlockSubmission, ReducesTheNodesAnswer) {
  struct Case {
    const char* name;
    test_http::ScriptedResponse response;
    bool accepted;
    const char* reason = "";  // the start of the reason
    bool judged = true;       // a verdict on the block; any other answer is sent again
  };
  const std::vector<Case> cases = {
      {"null", test_http::reply(R"({"result":null,"error":null,"id":"m"})"), true},
      {"null after blanks", test_http::reply("{\"result\" : \t\r\n  null,\"error\":null}"), true},
      {"duplicate", test_http::reply(R"({"result":"duplicate","error":null,"id":"m"})"), true},
      {"duplicate, not yet connected", test_http::reply(R"({"result":"duplicate-inconclusive","error":null})"), true},
      {"duplicate-invalid", test_http::reply(R"({"result":"duplicate-invalid","error":null,"id":"m"})"), false,
       "duplicate-invalid"},
      {"duplicate but rejected", test_http::reply(R"({"result":"rejected: duplicate","error":null})"), false,
       "rejected: duplicate"},
      {"inconclusive", test_http::reply(R"({"result":"inconclusive","error":null,"id":"m"})"), false,
       "inconclusive: the node neither accepted nor refused the block"},
      {"high-hash", test_http::reply(R"({"result":"high-hash","error":null,"id":"m"})"), false, "high-hash"},
      {"duplicate outside the result",
       test_http::reply(R"({"result":"bad-txns-inputs-missingorspent","error":null,"note":"duplicate"})"), false,
       "bad-txns-inputs-missingorspent"},
      {"string null", test_http::reply(R"({"result":"null","error":null})"), false, "null"},
      {"empty reason", test_http::reply(R"({"result":"","error":null})"), false,
       "the node rejected the block without a reason"},
      {"error with message",
       test_http::reply(R"({"result":null,"error":{"code":-22,"message":"Block decode failed"},"id":"m"})", 500),
       false, "Block decode failed"},
      {"error without message", test_http::reply(R"({"result":null,"error":{"code":-1},"id":"m"})"), false,
       "the node answered with an error", false},
      {"node still starting",
       test_http::reply(R"({"result":null,"error":{"code":-28,"message":"Loading block index..."},"id":"m"})", 500),
       false, "Loading block index...", false},
      {"no result", test_http::reply(R"({"error":null,"id":"m"})"), false, "the node's reply has no result", false},
      {"empty reply", test_http::reply(""), false, "the node's reply has no result", false},
      {"HTTP 500 without body", test_http::reply("", 500), false, "HTTP 500 from 127.0.0.1:", false},
      {"HTTP 401", test_http::reply("", 401), false, "the node refused the RPC credentials", false},
  };
  std::vector<test_http::ScriptedResponse> script;
  std::size_t expected_requests = 0;
  for (const Case& c : cases) {
    const int attempts = c.judged ? 1 : submit_attempts;
    for (int attempt = 0; attempt < attempts; ++attempt) script.push_back(c.response);
    expected_requests += static_cast<std::size_t>(attempts);
  }
  TestHttpServer server(script);
  RpcClient client = test_http::open_test_client(server.url());
  for (const Case& c : cases) {
    const SubmitResult result = submit_block(client, block_hex);
    EXPECT_EQ(result.accepted, c.accepted) << c.name;
    EXPECT_TRUE(result.reason.starts_with(c.reason)) << c.name << ": " << result.reason;
    EXPECT_EQ(result.reason.empty(), c.accepted) << c.name;
  }
  // A verdict is final; an answer that is none is asked for again, up to the attempts' limit.
  EXPECT_EQ(server.requests().size(), expected_requests);
}

TEST(BlockSubmission, SendsAgainWhenTheRequestDidNotGetThrough) {
  TestHttpServer server({test_http::close_without_answer(), test_http::close_without_answer(),
                         test_http::reply(R"({"result":null,"error":null,"id":"m"})")});
  RpcClient client = test_http::open_test_client(server.url());
  EXPECT_TRUE(submit_block(client, block_hex).accepted);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.body, R"({"jsonrpc":"1.0","id":"m","method":"submitblock","params":[")" + block_hex + "\"]}");
  }
}

TEST(BlockSubmission, SendsAgainWhenTheAnswerIsNoVerdictOnTheBlock) {
  TestHttpServer server({test_http::reply("", 401),
                         test_http::reply(R"({"result":null,"error":{"code":-28,"message":"Loading block index..."}})", 500),
                         test_http::reply(R"({"result":null,"error":null,"id":"m"})")});
  RpcClient client = test_http::open_test_client(server.url());
  EXPECT_TRUE(submit_block(client, block_hex).accepted);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(BlockSubmission, GivesUpAfterThreeAttempts) {
  TestHttpServer server({test_http::close_without_answer(), test_http::close_without_answer(),
                         test_http::close_without_answer(), test_http::reply(R"({"result":null,"error":null})")});
  RpcClient client = test_http::open_test_client(server.url());
  const SubmitResult result = submit_block(client, block_hex);
  EXPECT_FALSE(result.accepted);
  EXPECT_TRUE(result.reason.starts_with("the node at 127.0.0.1:")) << result.reason;
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(BlockSubmission, UnreachableNodeIsARejectionNotAnException) {
  RpcClient client = test_http::open_test_client(test_http::unreachable_url());
  const SubmitResult unreachable = submit_block(client, block_hex);
  EXPECT_FALSE(unreachable.accepted);
  EXPECT_TRUE(unreachable.reason.starts_with("cannot reach the node at 127.0.0.1:")) << unreachable.reason;
  rpc_client_close(client);
  EXPECT_FALSE(submit_block(client, block_hex).accepted);
}

TEST(TipPoll, ReturnsTheResultText) {
  const std::string hash = "00000000000000000002a7c4c1e48d76c5a37902165a270156b7a8d72728a054";
  TestHttpServer server({test_http::reply(R"({"result":")" + hash + R"(","error":null,"id":"m"})"),
                         test_http::reply(R"({"result":null,"error":null,"id":"m"})"), test_http::reply(""),
                         test_http::reply(R"({"result":null,"error":{"code":-28,"message":"Loading block index..."}})")});
  RpcClient client = test_http::open_test_client(server.url());
  EXPECT_EQ(get_best_block_hash(client), hash);
  EXPECT_EQ(get_best_block_hash(client), "null");
  EXPECT_EQ(get_best_block_hash(client), "");
  try {
    get_best_block_hash(client);
    ADD_FAILURE() << "an RPC error must be raised";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "RPC error: Loading block index...");
  }
}

}  // namespace
