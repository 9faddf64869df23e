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
  };
  const std::vector<Case> cases = {
      {"null", test_http::reply(R"({"result":null,"error":null,"id":"m"})"), true},
      {"null after blanks", test_http::reply("{\"result\" : \t\r\n  null,\"error\":null}"), true},
      {"duplicate", test_http::reply(R"({"result":"duplicate","error":null,"id":"m"})"), true},
      {"duplicate, not yet connected", test_http::reply(R"({"result":"duplicate-inconclusive","error":null})"), true},
      {"duplicate-invalid", test_http::reply(R"({"result":"duplicate-invalid","error":null,"id":"m"})"), false},
      {"duplicate but rejected", test_http::reply(R"({"result":"rejected: duplicate","error":null})"), false},
      {"inconclusive", test_http::reply(R"({"result":"inconclusive","error":null,"id":"m"})"), false},
      {"high-hash", test_http::reply(R"({"result":"high-hash","error":null,"id":"m"})"), false},
      {"duplicate outside the result",
       test_http::reply(R"({"result":"bad-txns-inputs-missingorspent","error":null,"note":"duplicate"})"), false},
      {"string null", test_http::reply(R"({"result":"null","error":null})"), false},
      {"error with message",
       test_http::reply(R"({"result":null,"error":{"code":-22,"message":"Block decode failed"},"id":"m"})", 500),
       false},
      {"error without message", test_http::reply(R"({"result":null,"error":{"code":-1},"id":"m"})"), false},
      {"no result", test_http::reply(R"({"error":null,"id":"m"})"), false},
      {"empty reply", test_http::reply(""), false},
      {"HTTP 500 without body", test_http::reply("", 500), false},
  };
  std::vector<test_http::ScriptedResponse> script;
  for (const Case& c : cases) script.push_back(c.response);
  TestHttpServer server(script);
  RpcClient client = test_http::open_test_client(server.url());
  for (const Case& c : cases) EXPECT_EQ(submit_block(client, block_hex), c.accepted) << c.name;
  // Every answer is final: one request per submission.
  EXPECT_EQ(server.requests().size(), cases.size());
}

TEST(BlockSubmission, SendsAgainWhenTheRequestDidNotGetThrough) {
  TestHttpServer server({test_http::close_without_answer(), test_http::close_without_answer(),
                         test_http::reply(R"({"result":null,"error":null,"id":"m"})")});
  RpcClient client = test_http::open_test_client(server.url());
  EXPECT_TRUE(submit_block(client, block_hex));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.body, R"({"jsonrpc":"1.0","id":"m","method":"submitblock","params":[")" + block_hex + "\"]}");
  }
}

TEST(BlockSubmission, GivesUpAfterThreeAttempts) {
  TestHttpServer server({test_http::close_without_answer(), test_http::close_without_answer(),
                         test_http::close_without_answer(), test_http::reply(R"({"result":null,"error":null})")});
  RpcClient client = test_http::open_test_client(server.url());
  EXPECT_FALSE(submit_block(client, block_hex));
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(BlockSubmission, UnreachableNodeIsARejectionNotAnException) {
  RpcClient client = test_http::open_test_client(test_http::unreachable_url());
  EXPECT_FALSE(submit_block(client, block_hex));
  rpc_client_close(client);
  EXPECT_FALSE(submit_block(client, block_hex));
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
