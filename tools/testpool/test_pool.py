"""The test pool's jobs and share check, and one session over a socket."""

import json
import os
import socket
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "testnode"))
sys.path.insert(0, HERE)

import blocks  # noqa: E402
import pool  # noqa: E402
from chainstate import DIFFICULTY_BITS, ChainState, NodeConfig  # noqa: E402
from testpool import Pool  # noqa: E402
from whirlpool import pow_hash  # noqa: E402

EXTRANONCE1 = bytes.fromhex("0a0b0c0d")


# One hash in about eight is a share: the pool's own Whirlpool is slow.
EASY_SHARES = 2.0 ** -28


def new_state(bits="hard", difficulty=EASY_SHARES, witness=True):
    chain = ChainState(NodeConfig(bits=DIFFICULTY_BITS[bits], transaction_count=4, witness_commitment=witness,
                                  fee_check=False))
    return pool.PoolState(chain, difficulty=difficulty, log=lambda line: None)


def header_of(job, extranonce1, extranonce2, nonce):
    """The header a miner builds from the notify's texts, the way the pool's clients do."""
    params = job.notify_params()
    words = bytes.fromhex(params[1])
    previous = b"".join(words[i:i + 4][::-1] for i in range(0, 32, 4))
    coinbase = bytes.fromhex(params[2]) + extranonce1 + extranonce2 + bytes.fromhex(params[3])
    root = blocks.sha256d(coinbase)
    for branch_hash in params[4]:
        root = blocks.sha256d(root + bytes.fromhex(branch_hash))
    return (int(params[5], 16).to_bytes(4, "little") + previous + root + int(params[7], 16).to_bytes(4, "little")
            + int(params[6], 16).to_bytes(4, "little") + nonce.to_bytes(4, "little"))


def grind(job, target, meets=True, extranonce1=EXTRANONCE1, extranonce2=b"\x00\x00\x00\x01"):
    """The first nonce whose hash meets the target (or, with meets=False, misses it)."""
    for nonce in range(1 << 12):
        if (int.from_bytes(pow_hash(header_of(job, extranonce1, extranonce2, nonce)), "little") <= target) == meets:
            return nonce
    raise AssertionError("no nonce found")


def submit(job, nonce, extranonce2="00000001", ntime=None):
    return ["worker", job.job_id, extranonce2, ntime or "%08x" % job.ntime, "%08x" % nonce]


class MerkleBranchTest(unittest.TestCase):
    def test_folding_the_branch_gives_the_merkle_root(self):
        for count in range(0, 7):
            with self.subTest(transactions=count):
                coinbase_id = blocks.sha256d(b"coinbase")
                txids = [blocks.sha256d(bytes([index])) for index in range(count)]
                root = coinbase_id
                for branch_hash in pool.merkle_branch(txids):
                    root = blocks.sha256d(root + branch_hash)
                self.assertEqual(root, blocks.merkle_root([coinbase_id] + txids))


class ShareCheckTest(unittest.TestCase):
    def test_share_is_accepted_once_and_bad_shares_get_their_reason(self):
        state = new_state()
        job = state.new_job(clean=True)
        difficulty = state.difficulty
        nonce = grind(job, pool.share_target(difficulty))
        result = state.check_share(EXTRANONCE1, difficulty, submit(job, nonce))
        self.assertFalse(result.is_block)
        low = grind(job, pool.share_target(difficulty), meets=False)
        cases = [
            ("duplicate", submit(job, nonce), 22),
            ("low difficulty", submit(job, low), 23),
            ("unknown job", ["worker", "ff", "00000001", "%08x" % job.ntime, "%08x" % nonce], 21),
            ("extranonce2 of 3 bytes", submit(job, nonce, extranonce2="000001"), 20),
            ("extranonce2 not hex", submit(job, nonce, extranonce2="0000000g"), 20),
            ("other ntime", submit(job, nonce, ntime="%08x" % (job.ntime + 1)), 20),
            ("too few parameters", ["worker", job.job_id], 20),
        ]
        for name, params, code in cases:
            with self.subTest(name):
                with self.assertRaises(pool.ShareError) as raised:
                    state.check_share(EXTRANONCE1, difficulty, params)
                self.assertEqual(raised.exception.code, code)
        self.assertEqual(len(state.accepted), 1)
        self.assertEqual(len(state.rejected), len(cases))

    def test_share_made_before_an_extranonce_change_is_judged_under_the_previous_extranonce(self):
        state = new_state()
        job = state.new_job(clean=True)
        target = pool.share_target(state.difficulty)
        other = bytes.fromhex("01020304")

        def meets(extranonce1, nonce):
            return int.from_bytes(pow_hash(header_of(job, extranonce1, b"\x00\x00\x00\x01", nonce)), "little") <= target

        # A share under EXTRANONCE1 that is none under the other one.
        nonce = next(n for n in range(1 << 12) if meets(EXTRANONCE1, n) and not meets(other, n))
        with self.assertRaises(pool.ShareError) as raised:
            state.check_share(other, state.difficulty, submit(job, nonce))
        self.assertEqual(raised.exception.code, 23)
        self.assertFalse(state.check_share(other, state.difficulty, submit(job, nonce), EXTRANONCE1).is_block)
        self.assertEqual(len(state.accepted), 1)

    def test_clean_job_makes_older_jobs_stale(self):
        state = new_state()
        old = state.new_job(clean=True)
        kept = state.new_job(clean=False)
        state.new_job(clean=True)
        for job in (old, kept):
            with self.assertRaises(pool.ShareError) as raised:
                state.check_share(EXTRANONCE1, state.difficulty, submit(job, 0))
            self.assertEqual(raised.exception.code, 21)

    def test_share_that_meets_the_network_target_goes_on_the_chain(self):
        for witness in (True, False):
            with self.subTest(witness_commitment=witness):
                state = new_state(bits="easy", witness=witness)
                job = state.new_job(clean=True)
                nonce = grind(job, int(job.template["target"], 16))
                result = state.check_share(EXTRANONCE1, state.difficulty, submit(job, nonce))
                self.assertTrue(result.is_block)
                self.assertIsNone(result.block_reason)
                self.assertEqual(len(state.chain.summary()["accepted"]), 1)

    def test_difficulty_one_is_the_miners_figure(self):
        self.assertEqual(pool.share_target(1), 0x1FFFE << 208)
        self.assertEqual(pool.share_target(2), 0xFFFF << 208)
        self.assertEqual(pool.share_target(1e-80), (1 << 256) - 1)


class SessionTest(unittest.TestCase):
    def setUp(self):
        self.pool = Pool(new_state(), "127.0.0.1", 0, log=lambda line: None)
        self.thread = threading.Thread(target=self.pool.server.serve_forever, daemon=True)
        self.thread.start()
        self.sock = socket.create_connection(self.pool.server.server_address[:2], timeout=30)
        self.reader = self.sock.makefile("rb")

    def tearDown(self):
        self.sock.close()
        self.pool.server.shutdown()
        self.pool.server.server_close()

    def send(self, message):
        self.sock.sendall((json.dumps(message) + "\n").encode())

    def read(self):
        return json.loads(self.reader.readline())

    def test_subscribe_authorize_notify_and_submit(self):
        self.send({"id": 1, "method": "mining.submit", "params": ["w", "1", "00000000", "00000000", "00000000"]})
        self.assertEqual(self.read()["error"][0], 25)
        self.send({"id": 2, "method": "mining.subscribe", "params": ["test/1"]})
        answer = self.read()
        extranonce1 = bytes.fromhex(answer["result"][1])
        self.assertEqual(answer["result"][2], 4)
        self.send({"id": 3, "method": "mining.authorize", "params": ["w", "x"]})
        self.assertEqual(self.read(), {"id": 3, "result": True, "error": None})
        self.assertEqual(self.read()["method"], "mining.set_difficulty")
        notify = self.read()
        self.assertEqual(notify["method"], "mining.notify")
        job = self.pool.state.jobs[notify["params"][0]]
        self.assertEqual(job.notify_params(), notify["params"])

        nonce = grind(job, pool.share_target(self.pool.state.difficulty), extranonce1=extranonce1)
        self.send({"id": 4, "method": "mining.submit", "params": submit(job, nonce)})
        self.assertEqual(self.read(), {"id": 4, "result": True, "error": None})

    def test_a_line_that_is_not_json_gets_a_parse_error(self):
        self.sock.sendall(b"POST / HTTP/1.1\r\n")
        self.assertEqual(self.read(), {"id": None, "result": None, "error": [20, "Parse error", None]})


if __name__ == "__main__":
    unittest.main()
