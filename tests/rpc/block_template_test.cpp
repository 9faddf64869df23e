#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rpc/block_template.h"
#include "rpc/test_http_server.h"

namespace {

using test_http::TestHttpServer;

const std::string previous_hash = "0000000000000000000199f3f2b7cbd9a71d9a3dd5cd8f1a6d9a5a8a2e6c1b7e";
const std::string txid_1 = "8c14f0db3df150123e6f3dbbf30f8b955a8249b62ac1d1ff16284aefa3d06d87";
const std::string txid_2 = "fff2525b8931402dd09222c50775608f75787bd2b87e56995a7bdd30f79702c4";
const std::string tx_data_1 = "0200000001aa";
const std::string tx_data_2 = "0200000001bb";

// Shaped like a full node's getblocktemplate reply, members in the node's order.
std::string node_reply() {
  return R"({"result":{"capabilities":["proposal"],"version":536870912,"rules":["csv","!segwit","taproot"],)"
         R"("vbavailable":{},"vbrequired":0,"previousblockhash":")" +
         previous_hash + R"(","transactions":[{"data":")" + tx_data_1 + R"(","txid":")" + txid_1 +
         R"(","hash":"1111111111111111111111111111111111111111111111111111111111111111","depends":[],)"
         R"("fee":2250,"sigops":4,"weight":561},{"data":")" +
         tx_data_2 + R"(","txid":")" + txid_2 +
         R"(","hash":"2222222222222222222222222222222222222222222222222222222222222222","depends":[1],)"
         R"("fee":1000,"sigops":0,"weight":400}],"coinbaseaux":{},"coinbasevalue":625003250,)"
         R"("longpollid":"0000000000000000000199f3f2b7cbd9a71d9a3dd5cd8f1a6d9a5a8a2e6c1b7e812",)"
         R"("target":"0000000000000000000538940000000000000000000000000000000000000000","mintime":1699999000,)"
         R"("mutable":["time","transactions","prevblock"],"noncerange":"00000000ffffffff","sigoplimit":80000,)"
         R"("sizelimit":4000000,"weightlimit":4000000,"curtime":1700000000,"bits":"17053894","height":815000,)"
         R"("default_witness_commitment":"6a24aa21a9ede2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9"},)"
         R"("error":null,"id":"m"})";
}

std::string with_replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t position = text.find(from);
  if (position != std::string::npos) text.replace(position, from.size(), to);
  return text;
}

// The longpoll is the same request with the template's longpollid; an id that JSON would need
// escaped is never sent.
TEST(BlockTemplate, LongpollNamesTheTemplateItHas) {
  TestHttpServer server({test_http::reply(node_reply())});
  RpcClient client = test_http::open_test_client(server.url());
  const BlockTemplate block_template = get_block_template_longpoll(client, previous_hash + "812");
  EXPECT_TRUE(block_template.valid);
  for (const char* unsafe : {"a\"b", "a\\b", "a\nb"}) {
    EXPECT_FALSE(get_block_template_longpoll(client, unsafe).valid) << unsafe;
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, R"({"jsonrpc":"1.0","id":"m","method":"getblocktemplate","params":[{"rules":["segwit"],)"
                              R"("longpollid":")" + previous_hash + R"(812"}]})");
}

TEST(BlockTemplate, FillsEveryFieldFromANodeReply) {
  TestHttpServer server({test_http::reply(node_reply())});
  RpcClient client = test_http::open_test_client(server.url());
  const BlockTemplate block_template = get_block_template(client);
  ASSERT_TRUE(block_template.valid);
  EXPECT_EQ(block_template.previous_block_hash, previous_hash);
  EXPECT_EQ(block_template.bits_text, "17053894");
  EXPECT_EQ(block_template.bits, 0x17053894u);
  EXPECT_EQ(block_template.target_text, "0000000000000000000538940000000000000000000000000000000000000000");
  EXPECT_EQ(block_template.witness_commitment,
            "6a24aa21a9ede2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9");
  EXPECT_EQ(block_template.version, 0x20000000);
  EXPECT_EQ(block_template.curtime, 1700000000u);
  EXPECT_EQ(block_template.height, 815000);
  EXPECT_EQ(block_template.coinbase_value, 625003250);
  EXPECT_EQ(block_template.longpoll_id, previous_hash + "812");
  ASSERT_EQ(block_template.transactions.size(), 2u);
  EXPECT_EQ(block_template.transactions[0].data, tx_data_1);
  EXPECT_EQ(block_template.transactions[0].txid, txid_1);
  EXPECT_EQ(block_template.transactions[1].data, tx_data_2);
  EXPECT_EQ(block_template.transactions[1].txid, txid_2);
}

TEST(BlockTemplate, ValidOnlyWhenHashesAndBitsAreWellFormed) {
  struct Case {
    const char* name;
    std::string reply;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"no target", with_replaced(node_reply(), R"("target":)", R"("unused":)"), true},
      {"no witness commitment", with_replaced(node_reply(), "default_witness_commitment", "unused"), true},
      {"empty transaction list",
       R"({"result":{"previousblockhash":")" + previous_hash + R"(","transactions":[],"bits":"207fffff"}})", true},
      {"no txid and data that is not one transaction",
       with_replaced(node_reply(), R"("txid":")" + txid_2 + "\"", R"("unused":"")"), false},
      {"upper-case hex", with_replaced(node_reply(), "\"17053894\"", "\"1D00FFFF\""), true},
      {"missing result", R"({"error":null,"id":"m","previousblockhash":")" + previous_hash + R"(","bits":"1d00ffff"})",
       false},
      {"result null", R"({"result":null,"error":null,"id":"m"})", false},
      {"rpc error", R"({"result":null,"error":{"code":-9,"message":"Node is not connected"},"id":"m"})", false},
      {"short body", "{}", false},
      {"empty body", "", false},
      {"missing bits", with_replaced(node_reply(), "\"bits\"", "\"unused\""), false},
      {"missing previous hash", with_replaced(node_reply(), "previousblockhash", "unused"), false},
      {"previous hash of 63 digits", with_replaced(node_reply(), previous_hash, previous_hash.substr(1)), false},
      {"previous hash not hex", with_replaced(node_reply(), previous_hash, "zz" + previous_hash.substr(2)), false},
      {"bits of 7 digits", with_replaced(node_reply(), "\"17053894\"", "\"1705389\""), false},
      {"bits not hex", with_replaced(node_reply(), "\"17053894\"", "\"1705389g\""), false},
      {"short txid", with_replaced(node_reply(), txid_2, txid_2.substr(2)), false},
      {"txid not hex", with_replaced(node_reply(), txid_1, "x" + txid_1.substr(1)), false},
      // Values no block can be built from.
      {"height -1", with_replaced(node_reply(), "815000", "-1"), false},
      {"height 2^31", with_replaced(node_reply(), "815000", "2147483648"), false},
      {"height 2^31 - 1", with_replaced(node_reply(), "815000", "2147483647"), true},
      {"height 0", with_replaced(node_reply(), "815000", "0"), true},
      {"negative coinbase value", with_replaced(node_reply(), "625003250", "-625003250"), false},
      {"coinbase value 0", with_replaced(node_reply(), "625003250", "0"), true},
      {"target null",
       with_replaced(node_reply(), R"("0000000000000000000538940000000000000000000000000000000000000000")", "null"),
       false},
      {"target of 63 digits", with_replaced(node_reply(), "00000000000000000005389400", "0000000000000000000538940"),
       false},
      {"target not hex", with_replaced(node_reply(), "0000000000000000000538940", "000000000000000000053894g"), false},
      {"data of odd length", with_replaced(node_reply(), tx_data_2, tx_data_2 + "b"), false},
      {"data not hex", with_replaced(node_reply(), tx_data_2, "02000000\\x1bb"), false},
      // A node error judged by its own value, whatever its message says.
      {"error whose message starts with null",
       R"({"result":{"previousblockhash":")" + previous_hash + R"(","bits":"1d00ffff"},)"
       R"("error":{"code":-1,"message":"nullified"}})",
       false},
  };
  std::vector<test_http::ScriptedResponse> script;
  for (const Case& c : cases) script.push_back(test_http::reply(c.reply));
  TestHttpServer server(script);
  RpcClient client = test_http::open_test_client(server.url());
  for (const Case& c : cases) {
    const BlockTemplate block_template = get_block_template(client);
    EXPECT_EQ(block_template.valid, c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(block_template.previous_block_hash, previous_hash) << c.name;
    }
  }
}

TEST(BlockTemplate, ReadsOnlyTheResultMember) {
  // Members before "result" must not be mistaken for the template's.
  const std::string reply = R"({"id":{"bits":"ffffffff","height":1},"result":{"previousblockhash":")" +
                            previous_hash + R"(","height":7,"bits":"1d00ffff","curtime":4294967301,)"
                            R"("version":-1,"coinbasevalue":"0x10"}})";
  TestHttpServer server({test_http::reply(reply)});
  RpcClient client = test_http::open_test_client(server.url());
  const BlockTemplate block_template = get_block_template(client);
  ASSERT_TRUE(block_template.valid);
  EXPECT_EQ(block_template.bits, 0x1d00ffffu);
  EXPECT_EQ(block_template.height, 7);
  EXPECT_EQ(block_template.curtime, 5u);  // the low 32 bits
  EXPECT_EQ(block_template.version, -1);
  EXPECT_EQ(block_template.coinbase_value, 16);
  EXPECT_TRUE(block_template.target_text.empty());
  EXPECT_TRUE(block_template.witness_commitment.empty());
  EXPECT_TRUE(block_template.transactions.empty());
}

// Members of the same name elsewhere in the reply are not the template's own.
TEST(BlockTemplate, ReadsTheResultObjectsOwnMembersOnly) {
  const std::string reply = R"({"result":{"mutable":["time","transactions","prevblock"],)"
                            R"("extension":{"height":5,"transactions":[{"data":"00"}]},"previousblockhash":")" +
                            previous_hash + R"(","transactions":[{"data":")" + tx_data_1 + R"(","txid":")" + txid_1 +
                            R"(","extra":{"data":"ff"}}],"height":815000,"bits":"1d00ffff"},"error":null})";
  TestHttpServer server({test_http::reply(reply)});
  RpcClient client = test_http::open_test_client(server.url());
  const BlockTemplate block_template = get_block_template(client);
  ASSERT_TRUE(block_template.valid);
  EXPECT_EQ(block_template.height, 815000);
  ASSERT_EQ(block_template.transactions.size(), 1u);
  EXPECT_EQ(block_template.transactions[0].data, tx_data_1);
  EXPECT_EQ(block_template.transactions[0].txid, txid_1);
}

// Without a txid the merkle leaf would be missing while the data still goes into the block.
TEST(BlockTemplate, ComputesAMissingTxidAsTheLegacyIdOfTheData) {
  // The ids were computed apart from the program: double SHA-256 of the serialisation without
  // marker, flag and witness, shown byte-reversed.
  const std::string legacy =
      "0200000001aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa0100000000ffffffff01e8030000000000"
      "00015100000000";
  const std::string segwit =
      "02000000000101aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa0100000000ffffffff01e803000000"
      "00000001510202aabb01cc00000000";
  const std::string reply = R"({"result":{"previousblockhash":")" + previous_hash + R"(","transactions":[)"
                            R"({"data":")" + legacy + R"("},{"data":")" + segwit + R"(","txid":""}],)"
                            R"("bits":"1d00ffff"}})";
  TestHttpServer server({test_http::reply(reply)});
  RpcClient client = test_http::open_test_client(server.url());
  const BlockTemplate block_template = get_block_template(client);
  ASSERT_TRUE(block_template.valid);
  ASSERT_EQ(block_template.transactions.size(), 2u);
  const std::string legacy_id = "3453dba35e76bb29b8a35cbaef48d61189fd04a4116090fbabbb0e356bb1eafd";
  EXPECT_EQ(block_template.transactions[0].txid, legacy_id);
  // The same transaction with a witness: its id leaves the witness out (the hash of the whole
  // serialisation would be ee5fe0d8...).
  EXPECT_EQ(block_template.transactions[1].txid, legacy_id);
}

TEST(BlockTemplate, TransportFailureGivesAnInvalidTemplate) {
  RpcClient client = test_http::open_test_client(test_http::unreachable_url());
  BlockTemplate block_template;
  EXPECT_NO_THROW(block_template = get_block_template(client));
  EXPECT_FALSE(block_template.valid);
}

TEST(BlockTemplate, ParsesTransactionEntries) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::pair<std::string, std::string>> expected;  // data, txid
  };
  const std::vector<Case> cases = {
      {"no key", R"({"result":{"data":"aa"}})", {}},
      {"no array", R"({"transactions":  )", {}},
      {"empty array", R"({"transactions":[],"x":[{"data":"aa"}]})", {}},
      {"two entries",
       R"({"transactions":[{"data":"aa","txid":"01"},{"txid":"02","data":"bb"}]})",
       {{"aa", "01"}, {"bb", "02"}}},
      {"nested array and object",
       R"({"transactions":[{"data":"aa","depends":[1,[2]],"extra":{"k":{"v":1}},"txid":"01"}]})",
       {{"aa", "01"}}},
      {"entry without data dropped", R"({"transactions":[{"txid":"01"},{"data":"bb"}]})", {{"bb", ""}}},
      {"scan ends at the closing bracket", R"({"transactions":[{"data":"aa"}],"more":[{"data":"bb"}]})",
       {{"aa", ""}}},
      {"unterminated entry", R"({"transactions":[{"data":"aa"},{"data":"bb")", {{"aa", ""}}},
      {"blanks between entries", "{\"transactions\" : [\n {\"data\" : \"aa\"} ,\n {\"data\":\"bb\"}\n]}",
       {{"aa", ""}, {"bb", ""}}},
      {"the word in an array first", R"({"mutable":["transactions"],"transactions":[{"data":"aa"}]})", {{"aa", ""}}},
      {"member that is not an array", R"({"transactions":null,"other":[{"data":"aa"}]})", {}},
      {"nested member only", R"({"o":{"transactions":[{"data":"aa"}]}})", {}},
  };
  for (const Case& c : cases) {
    const std::vector<TemplateTransaction> transactions = parse_transactions(c.text);
    ASSERT_EQ(transactions.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < transactions.size(); ++i) {
      EXPECT_EQ(transactions[i].data, c.expected[i].first) << c.name;
      EXPECT_EQ(transactions[i].txid, c.expected[i].second) << c.name;
    }
  }
}

}  // namespace
