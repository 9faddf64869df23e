#include "stratum/stratum_session.h"

#include <gtest/gtest.h>

#include "stratum_fixtures.h"
#include "support/test_support.h"

namespace {

using test_support::from_hex;

StratumActions receive(StratumSession& session, const std::string& line, std::int64_t now_ns = 0) {
  return session_receive(session, read_stratum_message(line), now_ns);
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "|";
  return text;
}

// A session that has subscribed (extranonce1 0a0b0c0d), authorized and received the fixture job.
StratumSession ready_session() {
  StratumSession session;
  session.user = "tvtr1worker.rig1";
  session.password = "x";
  session.pool_name = "stratum+tcp://pool:3333";
  session_connected(session, 0);
  receive(session, R"({"id":1,"result":[[["mining.notify","s1"]],"0a0b0c0d",4],"error":null})");
  receive(session, R"({"id":2,"result":true,"error":null})");
  receive(session, R"({"id":null,"method":"mining.set_difficulty","params":[0.5]})");
  receive(session, stratum_fixtures::notify_line);
  return session;
}

FoundShare share_of_fixture_job(int device = 0) {
  return FoundShare{device, "4f", from_hex("0a0b0c0d"), "00000007", "6553f100", "12345678", false, 0.0625};
}

TEST(StratumSession, HandshakeSubscribesAuthorizesAndTakesTheJob) {
  StratumSession session;
  session.user = "tvtr1worker.rig1";
  session.password = "x";
  session.pool_name = "stratum+tcp://pool:3333";
  StratumActions actions = session_connected(session, 0);
  ASSERT_EQ(actions.send.size(), 1u);
  EXPECT_EQ(actions.send[0], R"({"id":1,"method":"mining.subscribe","params":["veltrane-miner/1.1"]})");

  actions = receive(session, R"({"id":1,"result":[[["mining.notify","s1"]],"0a0b0c0d",4],"error":null})");
  EXPECT_EQ(joined(actions.send),
            R"({"id":2,"method":"mining.authorize","params":["tvtr1worker.rig1","x"]}|)"
            R"({"id":3,"method":"mining.extranonce.subscribe","params":[]}|)");
  EXPECT_EQ(session.extranonce2_size, 4);
  EXPECT_EQ(session.subscription_id, "s1");

  receive(session, R"({"id":2,"result":true,"error":null})");
  EXPECT_TRUE(session.authorized);
  // A pool without extranonce updates answers with an error; nothing is shown.
  EXPECT_TRUE(receive(session, R"({"id":3,"result":null,"error":[20,"Not supported",null]})").console.empty());
  receive(session, R"({"id":null,"method":"mining.set_difficulty","params":[0.5]})");

  actions = receive(session, stratum_fixtures::notify_line);
  EXPECT_TRUE(actions.new_job);
  EXPECT_TRUE(actions.clean);
  ASSERT_TRUE(session.job);
  EXPECT_EQ(session.job->job_id, "4f");
  EXPECT_EQ(joined(actions.console), "  [+] Pool stratum+tcp://pool:3333: connected, difficulty 0.5\n|");

  // A later job without clean_jobs waits for the current work's boundary.
  std::string later = stratum_fixtures::notify_line;
  later.replace(later.find("\"4f\""), 4, "\"50\"");
  later.replace(later.rfind("true"), 4, "false");
  actions = receive(session, later);
  EXPECT_TRUE(actions.new_job);
  EXPECT_FALSE(actions.clean);
  EXPECT_TRUE(actions.console.empty());

  actions = receive(session, R"({"id":null,"method":"mining.set_difficulty","params":[2]})");
  EXPECT_EQ(joined(actions.console), "  [*] Pool difficulty 2\n|");
  EXPECT_EQ(session.difficulty, 2.0);
}

TEST(StratumSession, SharesAreSubmittedAndEveryAnswerIsCountedAndShown) {
  const struct {
    const char* name;
    const char* answer;  // with id 4, the first submit's
    const char* console;
    std::uint64_t accepted, rejected, stale;
  } cases[] = {
      {"accepted", R"({"id":4,"result":true,"error":null})", "  [+] Share 1 accepted (device 1, diff 0.0625, 41 ms)\n",
       1, 0, 0},
      {"stale", R"({"id":4,"result":null,"error":[21,"Job not found",null]})",
       "  [!] Share rejected (device 1): Job not found (21)\n", 0, 1, 1},
      {"duplicate", R"({"id":4,"result":null,"error":[22,"Duplicate share",null]})",
       "  [!] Share rejected (device 1): Duplicate share (22)\n", 0, 1, 0},
      {"low difficulty", R"({"id":4,"result":null,"error":[23,"Low difficulty share",null]})",
       "  [!] Share rejected (device 1): Low difficulty share (23)\n", 0, 1, 0},
      {"code without a message", R"({"id":4,"result":null,"error":[24,"",null]})",
       "  [!] Share rejected (device 1): unauthorized worker (24)\n", 0, 1, 0},
      {"another code, as sent", R"({"id":4,"result":null,"error":[-7,"Bad \u001b[2Jnonce",null]})",
       "  [!] Share rejected (device 1): Bad ?[2Jnonce (-7)\n", 0, 1, 0},
      {"false without an error", R"({"id":4,"result":false,"error":null})",
       "  [!] Share rejected (device 1): refused without a reason\n", 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session = ready_session();
    // Sent at 1 s, answered 41.4 ms later.
    StratumActions actions = session_share_found(session, share_of_fixture_job(1), 1'000'000'000);
    ASSERT_EQ(actions.send.size(), 1u);
    EXPECT_EQ(actions.send[0],
              R"({"id":4,"method":"mining.submit","params":["tvtr1worker.rig1","4f","00000007","6553f100","12345678"]})");
    actions = receive(session, c.answer, 1'041'400'000);
    EXPECT_EQ(joined(actions.console), std::string(c.console) + "|");
    EXPECT_EQ(session.last_round_trip_ns, 41'400'000);
    // The verdict names the share's device and, for a refusal, the reason the console shows.
    ASSERT_EQ(actions.verdicts.size(), 1u);
    EXPECT_EQ(actions.verdicts[0].device, 1);
    EXPECT_EQ(actions.verdicts[0].accepted, c.accepted == 1);
    const std::string console = c.console;
    EXPECT_EQ(actions.verdicts[0].reason,
              c.accepted == 1 ? "" : console.substr(console.find("): ") + 3, console.size() - console.find("): ") - 4));
    EXPECT_EQ(session.accepted, c.accepted);
    EXPECT_EQ(session.rejected, c.rejected);
    EXPECT_EQ(session.stale, c.stale);
    // An answer comes once; a repeat changes nothing.
    EXPECT_TRUE(receive(session, c.answer).console.empty());
    EXPECT_EQ(session.accepted + session.rejected, 1u);
  }
}

TEST(StratumSession, AcceptedSharesAreNumberedAndBlockSharesCountedAsBlocks) {
  StratumSession session = ready_session();
  FoundShare share = share_of_fixture_job();
  share.is_block = true;
  share.difficulty = 512;
  session_share_found(session, share, 0);
  StratumActions actions = receive(session, R"({"id":4,"result":true,"error":null})", 1'600'000);
  EXPECT_EQ(joined(actions.console), "  [+] Share 1 accepted (device 0, diff 512, 2 ms): a block\n|");
  EXPECT_EQ(session.blocks, 1u);
  // The count runs on, and a share keeps the difficulty it was found at.
  share.is_block = false;
  share.difficulty = 0.5;
  session_share_found(session, share, 0);
  actions = receive(session, R"({"id":5,"result":true,"error":null})", 0);
  EXPECT_EQ(joined(actions.console), "  [+] Share 2 accepted (device 0, diff 0.5, 0 ms)\n|");
}

// Shares found while the pool is away go out after the reconnect only if their job is still
// the pool's current one, on the same extranonce1.
TEST(StratumSession, HeldSharesAreSentOnlyWhileTheirJobIsCurrent) {
  const struct {
    const char* name;
    const char* extranonce1;  // of the new connection
    bool same_job;
    bool sent;
  } cases[] = {
      {"session resumed, same job", "0a0b0c0d", true, true},
      {"session resumed, new job", "0a0b0c0d", false, false},
      {"new extranonce1", "0e0e0e0e", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session = ready_session();
    session_share_found(session, share_of_fixture_job(), 0);  // sent, never answered
    session_disconnected(session);
    EXPECT_TRUE(session_share_found(session, share_of_fixture_job(1), 0).send.empty());
    ASSERT_EQ(session.held.size(), 2u);

    StratumActions actions = session_connected(session, 0);
    // The new subscribe offers the old session for resumption.
    EXPECT_EQ(actions.send[0], R"({"id":1,"method":"mining.subscribe","params":["veltrane-miner/1.1","s1"]})");
    receive(session, std::string(R"({"id":1,"result":[[["mining.notify","s1"]],")") + c.extranonce1 + R"(",4],"error":null})");
    receive(session, R"({"id":2,"result":true,"error":null})");
    std::string notify = stratum_fixtures::notify_line;
    if (!c.same_job) notify.replace(notify.find("\"4f\""), 4, "\"51\"");
    actions = receive(session, notify);
    EXPECT_TRUE(session.held.empty());
    std::size_t submits = 0;
    for (const std::string& line : actions.send) submits += line.find("mining.submit") != std::string::npos;
    EXPECT_EQ(submits, c.sent ? 2u : 0u);
    EXPECT_EQ(session.stale, c.sent ? 0u : 2u);
    if (!c.sent) {
      EXPECT_NE(joined(actions.console).find("  [!] Share dropped (device 1): its job 4f ended while the pool was away\n"),
                std::string::npos);
    }
  }
}

// What the pool owes on a connection, and by when: the handshake's answers and the first job
// within the start limit, each share's answer within its own limit. Steps are "connect", "share"
// (one of the fixture job found) or a line from the pool.
TEST(StratumSession, DeadlineIsTheFirstAnswerOrJobThePoolIsLateWith) {
  constexpr std::int64_t second = 1'000'000'000;
  const std::string subscribed = R"({"id":1,"result":[[],"0a0b0c0d",4],"error":null})";
  const std::string authorized = R"({"id":2,"result":true,"error":null})";
  const std::string job = stratum_fixtures::notify_line;
  const struct {
    const char* name;
    std::vector<std::pair<int, std::string>> steps;  // at seconds, what happens
    int deadline;                                   // seconds; -1: nothing awaited
    const char* missing;
  } cases[] = {
      {"subscribe unanswered", {{100, "connect"}}, 130, "the subscription was not answered in 30 s"},
      {"authorize unanswered, the job came first",
       {{100, "connect"}, {110, subscribed}, {112, job}},
       140,
       "the worker's authorization was not answered in 30 s"},
      {"authorize unanswered, no job either: the job's limit is the earlier",
       {{100, "connect"}, {110, subscribed}},
       130,
       "no job in 30 s after connecting"},
      {"answered, no job", {{100, "connect"}, {101, subscribed}, {102, authorized}}, 130,
       "no job in 30 s after connecting"},
      // The extranonce subscription (id 3) stays unanswered, as pools without it may leave it.
      {"ready", {{100, "connect"}, {101, subscribed}, {102, authorized}, {103, job}}, -1, ""},
      {"share unanswered",
       {{100, "connect"}, {101, subscribed}, {102, authorized}, {103, job}, {200, "share"}, {230, "share"}},
       260,
       "a share was not answered in 60 s"},
      {"first share answered",
       {{100, "connect"}, {101, subscribed}, {102, authorized}, {103, job}, {200, "share"}, {230, "share"},
        {231, R"({"id":4,"result":true,"error":null})"}},
       290,
       "a share was not answered in 60 s"},
      {"share held, sent once ready", {{100, "connect"}, {101, subscribed}, {150, "share"}, {152, job}, {153, authorized}},
       213, "a share was not answered in 60 s"},
      {"not connected", {{100, "connect"}, {101, "disconnect"}}, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session;
    session.user = "tvtr1worker.rig1";
    for (const auto& [at, step] : c.steps) {
      if (step == "connect") {
        session_connected(session, at * second);
      } else if (step == "disconnect") {
        session_disconnected(session);
      } else if (step == "share") {
        session_share_found(session, share_of_fixture_job(), at * second);
      } else {
        receive(session, step, at * second);
      }
    }
    const auto deadline = session_deadline(session, SessionLimits{});
    ASSERT_EQ(deadline.has_value(), c.deadline >= 0);
    if (!deadline) continue;
    EXPECT_EQ(deadline->at_ns, c.deadline * second);
    EXPECT_EQ(deadline->missing, c.missing);
  }
}

TEST(StratumSession, PoolRequestsBecomeActionsOrAnswers) {
  StratumSession session = ready_session();
  StratumActions actions = receive(session, R"({"id":null,"method":"mining.set_extranonce","params":["01020304",8]})");
  EXPECT_TRUE(actions.new_job);
  EXPECT_TRUE(actions.clean);
  EXPECT_EQ(session.extranonce2_size, 8);

  actions = receive(session, R"({"id":null,"method":"client.reconnect","params":["pool",3334,7]})");
  ASSERT_TRUE(actions.reconnect);
  EXPECT_EQ(actions.reconnect->host, "pool");
  EXPECT_EQ(actions.reconnect->port, 3334);
  EXPECT_EQ(actions.reconnect->wait_seconds, 7);

  actions = receive(session, R"({"id":null,"method":"client.show_message","params":["restart\r\nsoon"]})");
  EXPECT_EQ(joined(actions.console), "  [*] Pool stratum+tcp://pool:3333 says: restart??soon\n|");

  actions = receive(session, R"({"id":9,"method":"client.get_version","params":[]})");
  EXPECT_EQ(joined(actions.send), R"({"error":null,"id":9,"result":"veltrane-miner/1.1"}|)");
  actions = receive(session, R"({"id":10,"method":"mining.ping","params":[]})");
  EXPECT_EQ(joined(actions.send), R"({"error":[20,"Method not supported",null],"id":10,"result":null}|)");
  EXPECT_TRUE(receive(session, R"({"id":null,"method":"mining.ping","params":[]})").send.empty());

  actions = receive(session, "garbage");
  EXPECT_TRUE(actions.console.empty());
  EXPECT_EQ(actions.malformed, "Pool sent a malformed message: a line that is not a JSON object");
  EXPECT_FALSE(actions.close_as_failed);
}

// A web server at a pool's URL answers the subscribe line once; the attempt fails at that answer.
TEST(StratumSession, AnHttpServerEndsTheAttempt) {
  StratumSession session;
  session.pool_name = "stratum+tcp://node:8899";
  session_connected(session, 0);
  const StratumActions actions = receive(session, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(actions.close_as_failed, "an HTTP server answers there, not a Stratum pool: check the host and port");
  EXPECT_FALSE(actions.malformed);
  EXPECT_TRUE(actions.console.empty());
}

TEST(StratumSession, RefusalsOfSubscriptionAndWorkerAreShown) {
  StratumSession session;
  session.user = "bad";
  session.pool_name = "P";
  session_connected(session, 0);
  StratumActions actions = receive(session, R"({"id":1,"result":null,"error":[20,"Pool full",null]})");
  EXPECT_EQ(joined(actions.console), "  [!] Pool P refused the subscription: Pool full (20)\n|");
  EXPECT_TRUE(actions.send.empty());

  session_connected(session, 0);
  receive(session, R"({"id":1,"result":[[],"00",4],"error":null})");
  actions = receive(session, R"({"id":2,"result":false,"error":[24,"Unauthorized worker",null]})");
  EXPECT_FALSE(session.authorized);
  EXPECT_EQ(joined(actions.console), "  [!] Pool P refused worker \"bad\": Unauthorized worker (24)\n|");
}

// A session of worker tvtr1worker.rig1 at pool P that has just sent its subscribe.
StratumSession connected_session() {
  StratumSession session;
  session.user = "tvtr1worker.rig1";
  session.pool_name = "P";
  session_connected(session, 0);
  return session;
}

std::size_t submits_in(const StratumActions& actions) {
  std::size_t submits = 0;
  for (const std::string& line : actions.send) submits += line.find("mining.submit") != std::string::npos;
  return submits;
}

// A share goes out only on the extranonce it was made with, whatever the pool changed since.
TEST(StratumSession, SharesAreSentOnlyOnTheExtranonceTheyWereMadeWith) {
  const struct {
    const char* name;
    const char* set_extranonce;  // params of a mining.set_extranonce before the share; empty: none
    const char* share_extranonce1;
    const char* share_extranonce2;
    bool sent;
  } cases[] = {
      {"unchanged", "", "0a0b0c0d", "00000007", true},
      {"new extranonce1", R"(["01020304",4])", "0a0b0c0d", "00000007", false},
      {"new extranonce2 size", R"(["0a0b0c0d",8])", "0a0b0c0d", "00000007", false},
      {"made after the change", R"(["01020304",4])", "01020304", "00000007", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session = ready_session();
    if (*c.set_extranonce != '\0') {
      receive(session,
              std::string(R"({"id":null,"method":"mining.set_extranonce","params":)") + c.set_extranonce + "}");
    }
    FoundShare share = share_of_fixture_job(2);
    share.extranonce1 = from_hex(c.share_extranonce1);
    share.extranonce2_text = c.share_extranonce2;
    const StratumActions actions = session_share_found(session, share, 0);
    EXPECT_EQ(submits_in(actions), c.sent ? 1u : 0u);
    EXPECT_EQ(session.stale, c.sent ? 0u : 1u);
    EXPECT_EQ(joined(actions.console),
              c.sent ? "" : "  [!] Share dropped (device 2): the pool changed the extranonce since it was found\n|");
    EXPECT_TRUE(session.held.empty());
  }
}

// A subscription the miner cannot use ends the connection as a failed attempt, and whatever the
// pool sends after it, nothing is mined and no share is sent.
TEST(StratumSession, NothingIsMinedOrSubmittedWithoutAUsableSubscription) {
  const struct {
    const char* name;
    const char* answer;
    const char* reason;
  } cases[] = {
      {"extranonce1 of odd length", R"({"id":1,"result":[[],"abc",4],"error":null})",
       "unusable subscribe answer: extranonce1 is not hex"},
      {"extranonce1 not hex", R"({"id":1,"result":[[],"0a0g",4],"error":null})",
       "unusable subscribe answer: extranonce1 is not hex"},
      {"extranonce2 size above 32", R"({"id":1,"result":[[],"0a0b0c0d",33],"error":null})",
       "unusable subscribe answer: the extranonce2 size 33 is not 0 to 32"},
      {"extranonce2 size as text", R"({"id":1,"result":[[],"0a0b0c0d","4"],"error":null})",
       "unusable subscribe answer: the extranonce2 size is not a whole number"},
      {"missing extranonce2 size", R"({"id":1,"result":[[],"0a0b0c0d"],"error":null})",
       "unusable subscribe answer: extranonce1 or the extranonce2 size is missing"},
      {"no result", R"({"id":1,"result":null,"error":null})", "unusable subscribe answer: the result is not a list"},
      {"refused", R"({"id":1,"result":null,"error":[20,"Pool full",null]})", "subscription refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session = connected_session();
    StratumActions actions = receive(session, c.answer);
    EXPECT_EQ(actions.close_as_failed, c.reason);
    EXPECT_TRUE(actions.send.empty()) << "no authorization is asked for";

    // A pool that goes on regardless.
    receive(session, R"({"id":2,"result":true,"error":null})");
    receive(session, R"({"id":null,"method":"mining.set_difficulty","params":[0.5]})");
    actions = receive(session, stratum_fixtures::notify_line);
    EXPECT_FALSE(actions.new_job);
    EXPECT_TRUE(actions.console.empty());
    EXPECT_FALSE(session_ready(session));
    EXPECT_EQ(submits_in(session_share_found(session, share_of_fixture_job(), 0)), 0u);
  }
}

// A job that comes before the worker is authorized waits for the authorization; a refused worker
// ends the connection as a failed attempt, and the job is never mined.
TEST(StratumSession, JobsAreMinedOnlyOnceTheWorkerIsAuthorized) {
  const struct {
    const char* name;
    const char* answer;
    const char* console;
    bool authorized;
  } cases[] = {
      {"authorized", R"({"id":2,"result":true,"error":null})", "  [+] Pool P: connected, difficulty 0.5\n|", true},
      {"refused with a reason", R"({"id":2,"result":false,"error":[24,"Unauthorized worker",null]})",
       "  [!] Pool P refused worker \"tvtr1worker.rig1\": Unauthorized worker (24)\n|", false},
      {"refused without a reason", R"({"id":2,"result":null,"error":null})",
       "  [!] Pool P refused worker \"tvtr1worker.rig1\": no reason given\n|", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StratumSession session = connected_session();
    receive(session, R"({"id":1,"result":[[],"0a0b0c0d",4],"error":null})");
    receive(session, R"({"id":null,"method":"mining.set_difficulty","params":[0.5]})");
    StratumActions actions = receive(session, stratum_fixtures::notify_line);
    EXPECT_FALSE(actions.new_job) << "not before the authorization";
    EXPECT_TRUE(actions.console.empty());
    EXPECT_EQ(submits_in(session_share_found(session, share_of_fixture_job(), 0)), 0u);

    actions = receive(session, c.answer);
    EXPECT_EQ(joined(actions.console), c.console);
    EXPECT_EQ(session_ready(session), c.authorized);
    EXPECT_EQ(actions.new_job, c.authorized);
    EXPECT_EQ(actions.clean, c.authorized);
    // The share held until now goes out with the authorization, its job being the current one.
    EXPECT_EQ(submits_in(actions), c.authorized ? 1u : 0u);
    EXPECT_EQ(actions.close_as_failed.has_value(), !c.authorized);
    if (!c.authorized) {
      EXPECT_EQ(*actions.close_as_failed, "worker refused");
    }
  }
}

}  // namespace
