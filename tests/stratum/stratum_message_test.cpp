#include "stratum/stratum_message.h"

#include <gtest/gtest.h>

#include "stratum_fixtures.h"
#include "support/test_support.h"

namespace {

using test_support::to_hex;

TEST(StratumMessage, NotifyFieldsAreDecodedWithTheirByteOrders) {
  const StratumMessage message = read_stratum_message(stratum_fixtures::notify_line);
  ASSERT_EQ(message.type, StratumMessageType::notify) << message.problem;
  const StratumJob& job = message.job;
  EXPECT_EQ(job.job_id, "4f");
  EXPECT_EQ(to_hex(job.previous_hash_words), "4e846f91215fdeb3a46ba6dfaab3300a759f54e19d5a450b66cc99561abfe918");
  EXPECT_EQ(to_hex(job.coinbase_part1),
            "01000000010000000000000000000000000000000000000000000000000000000000000000ffffffff1d0165");
  EXPECT_EQ(job.coinbase_part2.size(), 106u);
  ASSERT_EQ(job.merkle_branch.size(), 2u);
  EXPECT_EQ(to_hex(job.merkle_branch[1]), "9c233bcc937d7729ebc31a9ac02ad08f0fc211961d4235aedbdad942bc33dc6a");
  EXPECT_EQ(job.version, 0x20000000u);
  EXPECT_EQ(job.bits, 0x1c00ffffu);
  EXPECT_EQ(job.time, 0x6553f100u);
  EXPECT_EQ(job.time_text, "6553f100");
  EXPECT_TRUE(job.clean_jobs);
  EXPECT_FALSE(message.id.has_value());
}

TEST(StratumMessage, MalformedLinesAreRefusedWithAReason) {
  const std::string hash(64, 'a');
  const auto notify = [&](const std::string& params) {
    return R"({"id":null,"method":"mining.notify","params":[)" + params + "]}";
  };
  const struct {
    const char* name;
    std::string line;
  } cases[] = {
      {"empty line", ""},
      {"not JSON", "this is not json"},
      {"cut short", R"({"id": 1, "result": )"},
      {"an array", "[1,2,3]"},
      {"answer without an id", R"({"result":true,"error":null})"},
      {"method that is not text", R"({"id":1,"method":5,"params":[]})"},
      {"notify with one parameter", notify(R"("x")")},
      {"notify previous hash of 31 bytes", notify(R"("j",")" + hash.substr(2) + R"(","00","00",[],"20000000","1c00ffff","6553f100",true)")},
      {"notify previous hash not hex", notify(R"("j",")" + std::string(64, 'z') + R"(","00","00",[],"20000000","1c00ffff","6553f100",true)")},
      {"notify coinb1 of odd length", notify(R"("j",")" + hash + R"(","000","00",[],"20000000","1c00ffff","6553f100",true)")},
      {"notify branch hash short", notify(R"("j",")" + hash + R"(","00","00",["00"],"20000000","1c00ffff","6553f100",true)")},
      {"notify branch not a list", notify(R"("j",")" + hash + R"(","00","00","00","20000000","1c00ffff","6553f100",true)")},
      {"notify version of 7 digits", notify(R"("j",")" + hash + R"(","00","00",[],"2000000","1c00ffff","6553f100",true)")},
      {"notify ntime as a number", notify(R"("j",")" + hash + R"(","00","00",[],"20000000","1c00ffff",1700000000,true)")},
      {"notify clean_jobs as text", notify(R"("j",")" + hash + R"(","00","00",[],"20000000","1c00ffff","6553f100","yes")")},
      {"notify empty job id", notify(R"("",")" + hash + R"(","00","00",[],"20000000","1c00ffff","6553f100",true)")},
      {"difficulty zero", R"({"id":null,"method":"mining.set_difficulty","params":[0]})"},
      {"difficulty negative", R"({"id":null,"method":"mining.set_difficulty","params":[-2]})"},
      {"difficulty as text", R"({"id":null,"method":"mining.set_difficulty","params":["8"]})"},
      {"extranonce2 size 33", R"({"id":null,"method":"mining.set_extranonce","params":["0a0b",33]})"},
      {"extranonce1 not hex", R"({"id":null,"method":"mining.set_extranonce","params":["xyz0",4]})"},
      {"reconnect to port 70000", R"({"id":null,"method":"client.reconnect","params":["h",70000,0]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StratumMessage message = read_stratum_message(c.line);
    EXPECT_EQ(message.type, StratumMessageType::invalid);
    EXPECT_FALSE(message.problem.empty());
  }
}

// A web server's answer to the subscribe line is told apart from a pool's malformed messages.
TEST(StratumMessage, WebServerRepliesAreRecognised) {
  const struct {
    const char* line;
    StratumMessageType type;
  } cases[] = {
      {"HTTP/1.1 400 Bad Request\r", StratumMessageType::http_reply},
      {"HTTP/1.0 404 Not Found", StratumMessageType::http_reply},
      {"HTTP/1.1 200", StratumMessageType::http_reply},
      {"<!DOCTYPE HTML>", StratumMessageType::http_reply},
      {"<html><body><h1>400 Bad Request</h1></body></html>", StratumMessageType::http_reply},
      {"HTTP/1.1", StratumMessageType::invalid},
      {"HTTP/1.1 4xx", StratumMessageType::invalid},
      {"http/1.1 400 Bad Request", StratumMessageType::invalid},
      {"HTTP/2 400", StratumMessageType::invalid},
      {"<p>not a page</p>", StratumMessageType::invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(read_stratum_message(c.line).type, c.type);
  }
}

TEST(StratumMessage, AnswersCarryResultErrorAndSubscription) {
  const StratumMessage subscribed = read_stratum_message(
      R"({"id":1,"result":[[["mining.set_difficulty","d1"],["mining.notify","ae6812eb4cd7735a302a8a9dd95cf71f"]],"08000002",4],"error":null})"
      "\r");
  ASSERT_EQ(subscribed.type, StratumMessageType::response);
  EXPECT_EQ(subscribed.id, 1);
  EXPECT_TRUE(subscribed.subscribe_result);
  EXPECT_EQ(to_hex(subscribed.extranonce1), "08000002");
  EXPECT_EQ(subscribed.extranonce2_size, 4);
  EXPECT_EQ(subscribed.subscription_id, "ae6812eb4cd7735a302a8a9dd95cf71f");
  EXPECT_FALSE(subscribed.error);

  const StratumMessage accepted = read_stratum_message(R"({"id":7,"result":true,"error":null})");
  EXPECT_TRUE(accepted.result_true);
  EXPECT_FALSE(accepted.subscribe_result);
  EXPECT_FALSE(accepted.error);

  const struct {
    const char* line;
    std::int64_t code;
    const char* text;
  } errors[] = {
      {R"({"id":8,"result":null,"error":[23,"Low difficulty share",null]})", 23, "Low difficulty share"},
      {R"({"id":8,"result":false,"error":{"code":21,"message":"Job not found"}})", 21, "Job not found"},
      {R"({"id":8,"result":false,"error":"Stale"})", 0, "Stale"},
      {R"({"id":8,"result":null,"error":[22]})", 22, ""},
  };
  for (const auto& e : errors) {
    SCOPED_TRACE(e.line);
    const StratumMessage rejected = read_stratum_message(e.line);
    ASSERT_EQ(rejected.type, StratumMessageType::response);
    EXPECT_FALSE(rejected.result_true);
    ASSERT_TRUE(rejected.error);
    EXPECT_EQ(rejected.error->code, e.code);
    EXPECT_EQ(rejected.error->message, e.text);
  }
}

TEST(StratumMessage, PoolRequestsAreRecognised) {
  const StratumMessage difficulty = read_stratum_message(R"({"id":null,"method":"mining.set_difficulty","params":[0.0625]})");
  EXPECT_EQ(difficulty.type, StratumMessageType::set_difficulty);
  EXPECT_EQ(difficulty.difficulty, 0.0625);

  const StratumMessage extranonce = read_stratum_message(R"({"id":null,"method":"mining.set_extranonce","params":["ff00",8]})");
  EXPECT_EQ(extranonce.type, StratumMessageType::set_extranonce);
  EXPECT_EQ(to_hex(extranonce.extranonce1), "ff00");
  EXPECT_EQ(extranonce.extranonce2_size, 8);

  const struct {
    const char* line;
    const char* host;
    std::uint16_t port;
    std::int32_t wait;
  } reconnects[] = {
      {R"({"id":null,"method":"client.reconnect","params":["pool.example",3334,5]})", "pool.example", 3334, 5},
      {R"({"id":null,"method":"client.reconnect","params":["pool.example","3335"]})", "pool.example", 3335, 0},
      {R"({"id":null,"method":"client.reconnect","params":[]})", "", 0, 0},
      {R"({"id":null,"method":"client.reconnect","params":["h",1,999999]})", "h", 1, 3600},
  };
  for (const auto& r : reconnects) {
    SCOPED_TRACE(r.line);
    const StratumMessage reconnect = read_stratum_message(r.line);
    ASSERT_EQ(reconnect.type, StratumMessageType::reconnect);
    EXPECT_EQ(reconnect.reconnect_host, r.host);
    EXPECT_EQ(reconnect.reconnect_port, r.port);
    EXPECT_EQ(reconnect.reconnect_wait_seconds, r.wait);
  }

  const StratumMessage shown = read_stratum_message(R"({"id":null,"method":"client.show_message","params":["maintenance at 12:00"]})");
  EXPECT_EQ(shown.type, StratumMessageType::show_message);
  EXPECT_EQ(shown.text, "maintenance at 12:00");

  const StratumMessage other = read_stratum_message(R"({"id":4,"method":"client.get_version","params":[]})");
  EXPECT_EQ(other.type, StratumMessageType::unknown_method);
  EXPECT_EQ(other.method, "client.get_version");
  EXPECT_EQ(other.id, 4);
}

TEST(StratumMessage, PoolTextIsMadePrintableAndCut) {
  const struct {
    const char* name;
    std::string text;
    std::size_t longest;
    std::string shown;
  } cases[] = {
      {"plain", "job 4f", 200, "job 4f"},
      {"control characters and DEL", "a\x1b]0;title\x07\x1b[2J\r\n\x7f", 200, "a?]0;title??[2J???"},
      {"UTF-8 kept", "Z\xc3\xbcrich", 200, "Z\xc3\xbcrich"},
      {"at the limit", "abcd", 4, "abcd"},
      {"over the limit", "abcdef", 4, "abcd..."},
      {"cut before a character that would be split", "abc\xc3\xbc", 4, "abc..."},
      {"cut after a whole character", "ab\xc3\xbcx", 4, "ab\xc3\xbc..."},
      {"three- and four-byte characters kept", "\xe2\x82\xac \xf0\x9f\x98\x80", 200, "\xe2\x82\xac \xf0\x9f\x98\x80"},
      {"C1 control U+009B", "a\xc2\x9b" "2Jb", 200, "a?2Jb"},
      {"U+00A0 is printable", "a\xc2\xa0" "b", 200, "a\xc2\xa0" "b"},
      {"stray continuation and lead bytes", "a\x80" "b\xc3", 200, "a?b?"},
      {"binary", std::string("\x00\xff\xfe\x01", 4), 200, "????"},
      {"overlong form", "\xc0\xaf\xe0\x80\xaf", 200, "?????"},
      {"surrogate", "\xed\xa0\x80", 200, "???"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", 200, "????"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(printable_pool_text(c.text, c.longest), c.shown);
  }
  EXPECT_EQ(printable_pool_text(std::string(10'000, 'x')), std::string(200, 'x') + "...");
}

}  // namespace
