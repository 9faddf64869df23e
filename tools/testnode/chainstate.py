"""The chain the test node pretends to have: its tip, the template it hands out
for that tip, and the full check of every submitted block.

Everything here is independent of the miner's own code: the node decodes the
block, hashes the header with its own Whirlpool and rebuilds every hash and
commitment from the bytes it received.
"""

import hashlib
import threading
import time
from collections import Counter, OrderedDict
from dataclasses import dataclass, field

import blocks
from blocks import Transaction, TxInput, TxOutput
from whirlpool import pow_hash

SUBSIDY = 5_000_000_000
BLOCK_VERSION = 0x20000000
DEV_FEE_PERCENT = 1
# Output script of the miner's built-in fee address vtr1qlvf9nj7dah7ue3w3644az7pzr4h46pa8xkkrst.
DEFAULT_DEV_FEE_SCRIPT = bytes.fromhex("0014fb1259cbcdedfdccc5d1d56bd178221d6f5d07a7")
# easy: about every second hash meets it. hard: one hash in 2^40 does, so the tip can be moved
# while a job runs without the device finding a block first (at 10 MH/s, 30 hours on average).
DIFFICULTY_BITS = {"easy": 0x207FFFFF, "hard": 0x1C00FFFF}
# A block time may run this far ahead of the node's clock, as on the real network.
MAX_FUTURE_SECONDS = 2 * 60 * 60
# Old tips whose templates are kept, so that a late block can be told apart from a bad one.
TIP_HISTORY = 64


class RpcError(Exception):
    """An error answer of the JSON-RPC interface."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


@dataclass
class NodeConfig:
    bits: int = DIFFICULTY_BITS["easy"]
    # None: the target is the expansion of bits.
    target: int = None
    transaction_count: int = 3
    witness_commitment: bool = True
    reject_all: bool = False
    dev_fee_script: bytes = DEFAULT_DEV_FEE_SCRIPT
    fee_check: bool = True
    start_height: int = 101
    longpoll_timeout: float = 60.0  # longest hold of a longpoll request, in seconds

    def effective_target(self):
        return blocks.target_from_bits(self.bits) if self.target is None else self.target


@dataclass
class TemplateTransaction:
    transaction: Transaction
    fee: int
    depends: list

    def __post_init__(self):
        tx = self.transaction
        self.raw = tx.serialise()
        # The template entry as the node writes it; built once, handed out on every request.
        self.entry = {
            "data": self.raw.hex(),
            "txid": blocks.display_hash(tx.txid()),
            "hash": blocks.display_hash(tx.wtxid()),
            "depends": self.depends,
            "fee": self.fee,
            "sigops": 1 if tx.has_witness() else 4,
            "weight": 3 * len(tx.serialise(with_witness=False)) + len(self.raw),
        }


@dataclass
class Tip:
    """One tip of the chain and everything the template for building on it says."""

    previous_hash: bytes  # internal order
    height: int  # height of the block built on this tip
    bits: int
    target: int
    transactions: list
    witness_commitment: bytes  # None when the template carries none
    mintime: int
    issued_times: set = field(default_factory=set)

    @property
    def coinbase_value(self):
        return SUBSIDY + sum(item.fee for item in self.transactions)


def _pseudo_random(*parts):
    return hashlib.sha256(":".join(str(part) for part in ("testnode",) + parts).encode()).digest()


def _push(data):
    return bytes([len(data)]) + data


def synthetic_transactions(height, count, with_witness):
    """Well-formed transactions that look like ordinary payments.

    Every even one spends a witness output when witnesses are allowed, and
    every third spends the first output of the one before it, so the
    template has dependencies as well.
    """
    items = []
    for index in range(count):
        fee = 1000 + 250 * index
        if index % 3 == 2:
            parent = items[index - 1].transaction
            prev_hash, prev_index, funds = parent.txid(), 0, parent.outputs[0].value
            depends = [index]  # 1-based position of the parent in the template
        else:
            prev_hash, prev_index = _pseudo_random("prevout", height, index), index % 4
            funds, depends = 100_000_000 + 7919 * index, []
        signature = b"\x30" + _pseudo_random("signature", height, index) * 2 + b"\x01\x01\x01\x01\x01\x01"
        public_key = b"\x02" + _pseudo_random("key", height, index)
        paid = funds - fee
        outputs = [
            TxOutput(paid // 3, b"\x00\x14" + _pseudo_random("payee", height, index)[:20]),
            TxOutput(paid - paid // 3, b"\x00\x14" + _pseudo_random("change", height, index)[:20]),
        ]
        if with_witness and index % 2 == 0:
            tx_input = TxInput(prev_hash, prev_index, b"", 0xFFFFFFFD)
            witnesses = [[signature, public_key]]
        else:
            tx_input = TxInput(prev_hash, prev_index, _push(signature) + _push(public_key), 0xFFFFFFFD)
            witnesses = [[]]
        transaction = Transaction(2, [tx_input], outputs, witnesses, lock_time=height - 1)
        items.append(TemplateTransaction(transaction, fee, depends))
    return items


class Rejection(Exception):
    def __init__(self, reason, detail):
        super().__init__(reason)
        self.reason = reason
        self.detail = detail


def check_block(block, tip, config):
    """Raises Rejection with a BIP 22 style reason unless the block is valid on this tip."""
    proof = pow_hash(block.header)
    if int.from_bytes(proof, "little") > tip.target:
        raise Rejection("high-hash", "proof-of-work hash %s (byte order) is above the target %064x"
                        % (proof.hex(), tip.target))
    if block.bits != tip.bits:
        raise Rejection("bad-diffbits", "bits %08x, the template says %08x" % (block.bits, tip.bits))
    _check_time(block.time, tip)
    if block.version != BLOCK_VERSION:
        raise Rejection("bad-version", "version 0x%08x, the template says 0x%08x"
                        % (block.version & 0xFFFFFFFF, BLOCK_VERSION))
    root = blocks.merkle_root([tx.txid() for tx in block.transactions])
    if root != block.merkle_root:
        raise Rejection("bad-txnmrklroot", "header has %s, the transactions give %s"
                        % (block.merkle_root.hex(), root.hex()))
    coinbase = block.transactions[0]
    script_sig = coinbase.inputs[0].script_sig
    if not 2 <= len(script_sig) <= 100:
        raise Rejection("bad-cb-length", "coinbase scriptSig has %d bytes, allowed are 2 to 100"
                        % len(script_sig))
    _check_template_transactions(block.transactions[1:], tip)
    expected_push = blocks.height_push(tip.height)
    if not script_sig.startswith(expected_push):
        raise Rejection("bad-cb-height", "coinbase scriptSig %s does not start with %s (height %d)"
                        % (script_sig.hex(), expected_push.hex(), tip.height))
    _check_witness(block)
    _check_coinbase_outputs(coinbase.outputs, tip, config)


def _check_time(block_time, tip):
    if block_time in tip.issued_times:
        return
    if block_time < tip.mintime:
        raise Rejection("time-too-old", "time %d is before mintime %d" % (block_time, tip.mintime))
    latest = max(tip.issued_times, default=tip.mintime)
    if block_time > latest + MAX_FUTURE_SECONDS:
        raise Rejection("time-too-new", "time %d is more than two hours after %d" % (block_time, latest))
    raise Rejection("bad-time", "time %d is not a curtime this node handed out for this tip (%s)"
                    % (block_time, ", ".join(str(t) for t in sorted(tip.issued_times)) or "none"))


def _check_template_transactions(given, tip):
    expected = [item.raw for item in tip.transactions]
    if len(given) != len(expected):
        raise Rejection("bad-txns", "block carries %d transactions after the coinbase, the template %d"
                        % (len(given), len(expected)))
    for index, (transaction, wanted) in enumerate(zip(given, expected)):
        if transaction.raw != wanted:
            raise Rejection("bad-txns", "transaction %d differs from the template's data" % (index + 1))


def _check_witness(block):
    coinbase = block.transactions[0]
    header = blocks.WITNESS_COMMITMENT_HEADER
    positions = [i for i, out in enumerate(coinbase.outputs)
                 if len(out.script) >= 38 and out.script.startswith(header)]
    if not positions:
        if any(tx.has_witness() for tx in block.transactions):
            raise Rejection("unexpected-witness", "block carries witness data but no witness commitment")
        return
    stack = coinbase.witnesses[0]
    if len(stack) != 1 or len(stack[0]) != 32:
        raise Rejection("bad-witness-nonce-size", "coinbase witness has %d items of sizes %s, wanted one of 32"
                        % (len(stack), [len(item) for item in stack]))
    expected = blocks.witness_commitment_script([tx.wtxid() for tx in block.transactions[1:]], stack[0])
    found = coinbase.outputs[positions[-1]].script
    if found[: len(expected)] != expected:
        raise Rejection("bad-witness-merkle-match", "commitment %s, the block's witnesses give %s"
                        % (found.hex(), expected.hex()))


def _check_coinbase_outputs(outputs, tip, config):
    if config.fee_check:
        wanted = 2 + (tip.witness_commitment is not None)
        if len(outputs) != wanted:
            raise Rejection("bad-cb-outputs", "coinbase has %d outputs, wanted %d (payout, fee%s)"
                            % (len(outputs), wanted, ", commitment" if wanted == 3 else ""))
        fee = tip.coinbase_value * DEV_FEE_PERCENT // 100
        fee_output = outputs[1]
        if fee_output.script != config.dev_fee_script or fee_output.value != fee:
            raise Rejection("bad-cb-fee", "second output pays %d to %s, wanted %d to %s"
                            % (fee_output.value, fee_output.script.hex(), fee, config.dev_fee_script.hex()))
    if tip.witness_commitment is not None:
        last = outputs[-1]
        if last.value != 0 or last.script != tip.witness_commitment:
            raise Rejection("bad-cb-commitment", "last output pays %d to %s, wanted 0 to %s"
                            % (last.value, last.script.hex(), tip.witness_commitment.hex()))
    total = sum(out.value for out in outputs)
    if total != tip.coinbase_value:
        raise Rejection("bad-cb-amount", "outputs pay %d, coinbasevalue is %d" % (total, tip.coinbase_value))


class ChainState:
    """The node's chain and its record of requests and decisions; safe to share between threads."""

    def __init__(self, config, log=None, clock=time.time):
        self.config = config
        self.log = log or (lambda line: None)
        self._clock = clock
        self._lock = threading.RLock()
        self._history = OrderedDict()  # previous hash (internal) -> Tip, oldest first
        self._known_blocks = {}  # block hash -> height, for blocks that passed every check
        self._accepted = []
        self._rejected = []
        self._requests = Counter()
        self._unauthorised = 0
        self._injected_failures = 0
        self._tip_serial = 0  # counts tip moves: part of the longpollid
        self._tip_moved = threading.Condition(self._lock)
        genesis = blocks.sha256d(b"veltrane testnode tip %d" % (config.start_height - 1))
        self._tip = self._make_tip(genesis, config.start_height)

    # Tips and templates

    def _make_tip(self, previous_hash, height):
        config = self.config
        transactions = synthetic_transactions(height, config.transaction_count, config.witness_commitment)
        commitment = None
        if config.witness_commitment:
            commitment = blocks.witness_commitment_script([item.transaction.wtxid() for item in transactions])
        return Tip(previous_hash, height, config.bits, config.effective_target(), transactions,
                   commitment, mintime=int(self._clock()) - 3600)

    def _move_tip(self, previous_hash):
        old = self._tip
        self._history[old.previous_hash] = old
        while len(self._history) > TIP_HISTORY:
            self._history.popitem(last=False)
        self._tip = self._make_tip(previous_hash, old.height + 1)
        self._tip_serial += 1
        self._tip_moved.notify_all()

    def _longpoll_id(self):
        """Changes exactly when the tip (and with it the transaction set) changes."""
        return "%s%d" % (blocks.display_hash(self._tip.previous_hash), self._tip_serial)

    def block_template(self, params):
        request = params[0] if params else {}
        if not isinstance(request, dict):
            raise RpcError(-8, "Invalid template request: expected an object")
        if request.get("mode", "template") != "template":
            raise RpcError(-8, "Invalid mode")
        rules = request.get("rules")
        if not isinstance(rules, list) or "segwit" not in rules:
            raise RpcError(-8, 'getblocktemplate must be called with the segwit rule set '
                               '(call with {"rules": ["segwit"]})')
        with self._lock:
            # BIP 22 longpoll: a request naming the current longpollid is held until it changes.
            longpoll_id = request.get("longpollid")
            if longpoll_id is not None:
                self._tip_moved.wait_for(lambda: self._longpoll_id() != longpoll_id,
                                         timeout=self.config.longpoll_timeout)
            tip = self._tip
            curtime = max(int(self._clock()), tip.mintime + 1)
            tip.issued_times.add(curtime)
            template = {
                "capabilities": ["proposal"],
                "version": BLOCK_VERSION,
                "rules": ["csv", "!segwit"] if tip.witness_commitment is not None else ["csv"],
                "vbavailable": {},
                "vbrequired": 0,
                "previousblockhash": blocks.display_hash(tip.previous_hash),
                "transactions": [item.entry for item in tip.transactions],
                "coinbaseaux": {},
                "coinbasevalue": tip.coinbase_value,
                "longpollid": self._longpoll_id(),
                "target": "%064x" % tip.target,
                "mintime": tip.mintime,
                "mutable": ["time", "transactions", "prevblock"],
                "noncerange": "00000000ffffffff",
                "sigoplimit": 80000,
                "sizelimit": 4000000,
                "weightlimit": 4000000,
                "curtime": curtime,
                "bits": "%08x" % tip.bits,
                "height": tip.height,
            }
            if tip.witness_commitment is not None:
                template["default_witness_commitment"] = tip.witness_commitment.hex()
            return template

    def best_block_hash(self):
        with self._lock:
            return blocks.display_hash(self._tip.previous_hash)

    def advance_tip(self, count=1):
        """Moves the tip as if other miners had found `count` blocks."""
        with self._lock:
            for _ in range(count):
                self._move_tip(blocks.sha256d(b"other miner " + self._tip.previous_hash))
            self.log("testnode: tip advanced by another miner, now building height %d on %s"
                      % (self._tip.height, blocks.display_hash(self._tip.previous_hash)))
            return self._tip_summary()

    def set_target(self, bits=None, target=None):
        """Changes the difficulty of the current and all later templates."""
        with self._lock:
            self.config.bits = bits if bits is not None else blocks.bits_from_target(target)
            self.config.target = target
            self._tip.bits = self.config.bits
            self._tip.target = self.config.effective_target()
            self.log("testnode: target now %064x (bits %08x)" % (self._tip.target, self._tip.bits))
            return self._tip_summary()

    def set_reject_all(self, reject_all):
        with self._lock:
            self.config.reject_all = bool(reject_all)
            self.log("testnode: reject-all %s" % ("on" if reject_all else "off"))
            return self.config.reject_all

    # Submission

    def submit_block(self, block_hex):
        """None when the block is accepted, else the reason; RpcError when it cannot be decoded."""
        with self._lock:
            try:
                block = blocks.parse_block(_strict_hex(block_hex))
            except blocks.DecodeError as error:
                self._record_rejection(None, None, "Block decode failed", str(error))
                raise RpcError(-22, "Block decode failed") from None
            if not block.transactions or not block.transactions[0].is_coinbase():
                self._record_rejection(None, block, "Block does not start with a coinbase",
                                       "the first transaction has no single null-prevout input")
                raise RpcError(-22, "Block does not start with a coinbase")
            block_hash = block.block_hash()
            tip = self._tip if block.previous_hash == self._tip.previous_hash else \
                self._history.get(block.previous_hash)
            height = tip.height if tip else None
            try:
                if self.config.reject_all:
                    raise Rejection("rejected", "the node rejects every block (reject-all)")
                if block_hash in self._known_blocks:
                    raise Rejection("duplicate", "already have this block")
                if tip is None:
                    raise Rejection("bad-prevblk", "previous block %s is unknown"
                                    % blocks.display_hash(block.previous_hash))
                check_block(block, tip, self.config)
                self._known_blocks[block_hash] = tip.height
                if tip is not self._tip:
                    raise Rejection("inconclusive", "valid, but builds on an old tip; the chain is at height %d"
                                    % (self._tip.height - 1))
            except Rejection as rejection:
                self._record_rejection(height, block, rejection.reason, rejection.detail)
                return rejection.reason
            coinbase = block.transactions[0]
            self._accepted.append({
                "height": tip.height,
                "hash": blocks.display_hash(block_hash),
                "pow_hash": pow_hash(block.header).hex(),
                "nonce": int.from_bytes(block.header[76:80], "little"),
                # What the node cannot judge without knowing the user: where the reward went.
                "payout_script": coinbase.outputs[0].script.hex(),
                "payout_value": coinbase.outputs[0].value,
                "coinbase_script_sig": coinbase.inputs[0].script_sig.hex(),
                "merkle_root": block.header[36:68][::-1].hex(),
            })
            self.log("testnode: accepted block at height %d (hash %s)" % (tip.height, blocks.display_hash(block_hash)))
            self._move_tip(block_hash)
            return None

    def record_forced_rejection(self, block_hex, reason):
        """A rejection test_failnext planned: listed among the decisions, the block unchecked."""
        with self._lock:
            try:
                block = blocks.parse_block(_strict_hex(block_hex))
            except blocks.DecodeError:
                block = None
            self._record_rejection(None, block, reason, "forced by test_failnext")

    def _record_rejection(self, height, block, reason, detail):
        entry = {"height": height, "hash": None, "pow_hash": None, "reason": reason, "detail": detail}
        if block:
            entry["hash"] = blocks.display_hash(block.block_hash())
            entry["pow_hash"] = pow_hash(block.header).hex()
            entry["merkle_root"] = block.header[36:68][::-1].hex()
            if block.transactions and block.transactions[0].inputs:
                entry["coinbase_script_sig"] = block.transactions[0].inputs[0].script_sig.hex()
        self._rejected.append(entry)
        where = " at height %d" % height if height is not None else ""
        self.log("testnode: rejected block%s: %s (%s)" % (where, reason, detail))

    # Bookkeeping

    def count_request(self, method):
        with self._lock:
            self._requests[method] += 1

    def count_unauthorised(self):
        with self._lock:
            self._unauthorised += 1

    def count_injected_failure(self):
        with self._lock:
            self._injected_failures += 1

    def _tip_summary(self):
        tip = self._tip
        return {"height": tip.height, "tip": blocks.display_hash(tip.previous_hash),
                "bits": "%08x" % tip.bits, "target": "%064x" % tip.target}

    def summary(self):
        with self._lock:
            result = self._tip_summary()
            result.update({
                "reject_all": self.config.reject_all,
                "accepted": list(self._accepted),
                "rejected": list(self._rejected),
                "requests": dict(self._requests),
                "unauthorized": self._unauthorised,
                "injected_failures": self._injected_failures,
            })
            return result


def _strict_hex(text):
    """Hex text to bytes; anything but an even number of hex digits is a decode failure."""
    if not isinstance(text, str) or len(text) % 2 or not all(c in "0123456789abcdefABCDEF" for c in text):
        raise blocks.DecodeError("not an even number of hex digits")
    return bytes.fromhex(text)
