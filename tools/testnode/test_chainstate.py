"""The node's verdict on submitted blocks, checked with blocks built in the test."""

import threading
import time
import unittest

import blocks
from blockbuilder import build_block, coinbase_for
from chainstate import ChainState, NodeConfig, RpcError
from whirlpool import pow_hash

SEGWIT_RULES = [{"rules": ["segwit"]}]
CLOCK = 1_800_000_000


def fixed_clock():
    return CLOCK


def fresh_state(**config):
    return ChainState(NodeConfig(**config), clock=fixed_clock)


class TemplateTest(unittest.TestCase):
    def test_template_is_self_consistent(self):
        template = fresh_state(transaction_count=4).block_template(SEGWIT_RULES)
        self.assertEqual(template["height"], 101)
        self.assertEqual(template["bits"], "207fffff")
        self.assertEqual(template["target"], "7fffff" + "0" * 58)
        fees = 0
        wtxids = []
        for entry in template["transactions"]:
            tx = blocks.parse_transaction(bytes.fromhex(entry["data"]))
            self.assertEqual(blocks.display_hash(tx.txid()), entry["txid"])
            self.assertEqual(blocks.display_hash(tx.wtxid()), entry["hash"])
            fees += entry["fee"]
            wtxids.append(tx.wtxid())
        self.assertEqual(template["coinbasevalue"], 5_000_000_000 + fees)
        self.assertTrue(any(e["txid"] != e["hash"] for e in template["transactions"]), "no segwit transaction")
        self.assertTrue(any(e["depends"] for e in template["transactions"]), "no dependency")
        # BIP 141: witness root with the coinbase as zero, hashed with a zero reserved value.
        root = blocks.merkle_root([bytes(32)] + wtxids)
        self.assertEqual(template["default_witness_commitment"],
                         "6a24aa21a9ed" + blocks.sha256d(root + bytes(32)).hex())

    def test_without_commitment_the_template_has_no_witness_data(self):
        template = fresh_state(witness_commitment=False).block_template(SEGWIT_RULES)
        self.assertNotIn("default_witness_commitment", template)
        self.assertTrue(all(e["txid"] == e["hash"] for e in template["transactions"]))

    def test_the_segwit_rule_is_required(self):
        for params in ([], [{}], [{"rules": ["csv"]}], ["segwit"]):
            with self.subTest(params=params), self.assertRaises(RpcError) as caught:
                fresh_state().block_template(params)
            self.assertEqual(caught.exception.code, -8)


class SubmitTest(unittest.TestCase):
    def setUp(self):
        self.state = fresh_state()
        self.template = self.state.block_template(SEGWIT_RULES)

    def test_valid_block_is_accepted_once_and_moves_the_tip(self):
        block_hex = build_block(self.template)
        self.assertIsNone(self.state.submit_block(block_hex))
        next_template = self.state.block_template(SEGWIT_RULES)
        self.assertEqual(next_template["height"], 102)
        block_hash = blocks.display_hash(blocks.sha256d(bytes.fromhex(block_hex)[:80]))
        self.assertEqual(next_template["previousblockhash"], block_hash)
        self.assertEqual(self.state.best_block_hash(), block_hash)
        self.assertEqual(self.state.submit_block(block_hex), "duplicate")
        summary = self.state.summary()
        accepted, = summary["accepted"]
        self.assertEqual((accepted["height"], accepted["hash"]), (101, block_hash))
        coinbase = coinbase_for(self.template)
        self.assertEqual((accepted["payout_script"], accepted["payout_value"], accepted["coinbase_script_sig"]),
                         (coinbase.outputs[0].script.hex(), coinbase.outputs[0].value,
                          coinbase.inputs[0].script_sig.hex()))
        self.assertEqual([r["reason"] for r in summary["rejected"]], ["duplicate"])

    def test_faulty_blocks_get_the_matching_reason(self):
        t = self.template
        value, height = t["coinbasevalue"], t["height"]
        pushed = blocks.height_push(height)
        witness_data = [bytes.fromhex(e["data"]) for e in t["transactions"]]
        cases = [
            ("hash above target", dict(meets_target=False), "high-hash"),
            ("wrong merkle root", dict(merkle_root=bytes(32)), "bad-txnmrklroot"),
            ("merkle root byte-reversed", dict(merkle_root=blocks.merkle_root(
                [coinbase_for(t).txid()] + [blocks.hash_from_display(e["txid"]) for e in t["transactions"]])[::-1]),
             "bad-txnmrklroot"),
            ("previous hash in internal order", dict(previous_hash=bytes.fromhex(t["previousblockhash"])[::-1].hex()), "bad-prevblk"),
            ("bits differ", dict(bits="207ffffe"), "bad-diffbits"),
            ("time not handed out", dict(time=t["curtime"] + 1), "bad-time"),
            ("time before mintime", dict(time=t["mintime"] - 1), "time-too-old"),
            ("time far ahead", dict(time=t["curtime"] + 3 * 3600), "time-too-new"),
            ("version differs", dict(version=1), "bad-version"),
            ("height of the next block", dict(coinbase=coinbase_for(t, script_sig=blocks.height_push(height + 1) + b"xx")),
             "bad-cb-height"),
            ("height without its push length", dict(coinbase=coinbase_for(t, script_sig=pushed[1:] + b"xx")),
             "bad-cb-height"),
            ("scriptSig of one byte", dict(coinbase=coinbase_for(t, script_sig=b"\x01")), "bad-cb-length"),
            ("scriptSig of 101 bytes", dict(coinbase=coinbase_for(t, script_sig=pushed + bytes(101 - len(pushed)))),
             "bad-cb-length"),
            ("fee of 2 %", dict(coinbase=coinbase_for(t, fee_percent=2)), "bad-cb-fee"),
            ("fee to another script", dict(coinbase=coinbase_for(t, fee_script=bytes.fromhex("0014" + "00" * 20))),
             "bad-cb-fee"),
            ("payout too large", dict(coinbase=coinbase_for(t, payout_extra=1)), "bad-cb-amount"),
            ("payout too small", dict(coinbase=coinbase_for(t, payout_extra=-1)), "bad-cb-amount"),
            ("no commitment output", dict(coinbase=coinbase_for(t, commitment=False)), "unexpected-witness"),
            ("reserved value not zero", dict(coinbase=coinbase_for(t, witness=[b"\x01" * 32])),
             "bad-witness-merkle-match"),
            ("reserved value of 31 bytes", dict(coinbase=coinbase_for(t, witness=[bytes(31)])),
             "bad-witness-nonce-size"),
            ("two witness items", dict(coinbase=coinbase_for(t, witness=[bytes(32), bytes(32)])),
             "bad-witness-nonce-size"),
            ("a transaction left out", dict(transactions=witness_data[:-1]), "bad-txns"),
            ("transactions swapped", dict(transactions=[witness_data[1], witness_data[0]] + witness_data[2:]),
             "bad-txns"),
            ("transaction without its witness", dict(transactions=[
                blocks.parse_transaction(witness_data[0]).serialise(with_witness=False)] + witness_data[1:]),
             "bad-txns"),
        ]
        self.assertEqual(value * 1 // 100, coinbase_for(t).outputs[1].value)
        for name, changes, reason in cases:
            with self.subTest(name):
                self.assertEqual(self.state.submit_block(build_block(t, **changes)), reason)
        self.assertEqual(self.state.best_block_hash(), t["previousblockhash"])
        self.assertEqual(len(self.state.summary()["rejected"]), len(cases))

    def test_a_hash_equal_to_the_target_meets_it(self):
        block_hex = build_block(self.template)
        proof = int.from_bytes(pow_hash(bytes.fromhex(block_hex)[:80]), "little")
        for target, expected in [(proof, None), (proof - 1, "high-hash")]:
            with self.subTest(target="%064x" % target):
                # Same clock, same chain, same transactions: only the target differs.
                state = fresh_state(target=target)
                state.block_template(SEGWIT_RULES)
                self.assertEqual(state.submit_block(block_hex), expected)

    def test_blocks_that_cannot_be_decoded_are_rpc_errors(self):
        valid = build_block(self.template)
        not_coinbase = bytearray(bytes.fromhex(valid))
        not_coinbase[81 + 4 + 2 + 1 + 32] ^= 1  # the coinbase's previous output index
        cases = [
            ("odd hex", valid[:-1], "Block decode failed"),
            ("not hex", "zz" + valid[2:], "Block decode failed"),
            ("cut short", valid[:-2], "Block decode failed"),
            ("trailing byte", valid + "00", "Block decode failed"),
            ("header only", valid[:160], "Block decode failed"),
            ("no coinbase", not_coinbase.hex(), "Block does not start with a coinbase"),
        ]
        for name, block_hex, message in cases:
            with self.subTest(name), self.assertRaises(RpcError) as caught:
                self.state.submit_block(block_hex)
            self.assertEqual((caught.exception.code, caught.exception.message), (-22, message))

    def test_block_on_an_older_tip_is_inconclusive(self):
        stale = build_block(self.template)
        self.state.advance_tip()
        self.assertEqual(self.state.submit_block(stale), "inconclusive")
        self.assertEqual(self.state.submit_block(stale), "duplicate")
        # An invalid block on the older tip still gets its own reason.
        self.assertEqual(self.state.submit_block(build_block(self.template, meets_target=False)), "high-hash")
        self.assertEqual(self.state.summary()["height"], 102)

    def test_target_and_reject_all_change_at_run_time(self):
        self.state.set_target(bits=0x1D00FFFF)
        hard = self.state.block_template(SEGWIT_RULES)
        self.assertEqual((hard["bits"], hard["target"]), ("1d00ffff", "00000000ffff" + "0" * 52))
        # A block ground for the easy template misses the new target.
        self.assertEqual(self.state.submit_block(build_block(self.template)), "high-hash")
        self.state.set_target(target=0x7FFFFF << 232)
        self.state.set_reject_all(True)
        block = build_block(self.state.block_template(SEGWIT_RULES))
        self.assertEqual(self.state.submit_block(block), "rejected")
        # A refused block is still described by what makes it distinct.
        header = bytes.fromhex(block[:160])
        rejection = self.state.summary()["rejected"][-1]
        self.assertEqual(rejection["merkle_root"], header[36:68][::-1].hex())
        self.assertTrue(rejection["coinbase_script_sig"].startswith("01"))
        self.state.set_reject_all(False)
        self.assertIsNone(self.state.submit_block(build_block(self.state.block_template(SEGWIT_RULES))))


class LongpollTest(unittest.TestCase):
    def setUp(self):
        self.state = ChainState(NodeConfig(longpoll_timeout=30.0))

    def test_request_is_held_until_the_tip_moves(self):
        first = self.state.block_template(SEGWIT_RULES)
        self.assertEqual(self.state.block_template(SEGWIT_RULES)["longpollid"], first["longpollid"])
        mover = threading.Timer(0.2, self.state.advance_tip)
        mover.start()
        started = time.monotonic()
        held = self.state.block_template([{"rules": ["segwit"], "longpollid": first["longpollid"]}])
        mover.join()
        self.assertGreater(time.monotonic() - started, 0.1)
        self.assertNotEqual(held["longpollid"], first["longpollid"])
        self.assertNotEqual(held["previousblockhash"], first["previousblockhash"])

    def test_stale_id_answers_at_once_and_a_time_out_answers_the_same_template(self):
        first = self.state.block_template(SEGWIT_RULES)
        stale = self.state.block_template([{"rules": ["segwit"], "longpollid": "older"}])
        self.assertEqual(stale["longpollid"], first["longpollid"])
        self.state.config.longpoll_timeout = 0.05
        timed_out = self.state.block_template([{"rules": ["segwit"], "longpollid": first["longpollid"]}])
        self.assertEqual(timed_out["longpollid"], first["longpollid"])


class VariantConfigTest(unittest.TestCase):
    def submit(self, state, **coinbase_changes):
        template = state.block_template(SEGWIT_RULES)
        return state.submit_block(build_block(template, coinbase=coinbase_for(template, **coinbase_changes)))

    def test_legacy_coinbase_when_the_template_has_no_commitment(self):
        self.assertIsNone(self.submit(fresh_state(witness_commitment=False)))
        self.assertEqual(self.submit(fresh_state(witness_commitment=False), witness=[bytes(32)]),
                         "unexpected-witness")

    def test_small_heights_are_pushed_not_written_as_opcodes(self):
        # OP_5 (0x55) is how a script would write 5, but the coinbase must push it.
        self.assertEqual(self.submit(fresh_state(start_height=5), script_sig=b"\x55\x00"), "bad-cb-height")
        self.assertIsNone(self.submit(fresh_state(start_height=5)))

    def test_fee_checks_can_be_changed(self):
        other_script = bytes.fromhex("0014" + "ab" * 20)
        self.assertIsNone(self.submit(fresh_state(dev_fee_script=other_script), fee_script=other_script))
        self.assertEqual(self.submit(fresh_state(dev_fee_script=other_script)), "bad-cb-fee")
        self.assertIsNone(self.submit(fresh_state(fee_check=False), fee_percent=5))

    def test_empty_template_gives_a_block_of_one_transaction(self):
        state = fresh_state(transaction_count=0)
        template = state.block_template(SEGWIT_RULES)
        self.assertEqual((template["transactions"], template["coinbasevalue"]), ([], 5_000_000_000))
        self.assertIsNone(state.submit_block(build_block(template)))


if __name__ == "__main__":
    unittest.main()
