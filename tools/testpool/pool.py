"""The test pool's jobs and its share check, apart from any socket.

Jobs come from a ChainState of the test node (its chain, templates and block
check); shares are judged with the node's own Whirlpool and serialisation
code, so the pool shares no line with the miner.
"""

import threading
from dataclasses import dataclass, field
from fractions import Fraction

import blocks
from blocks import Transaction, TxInput, TxOutput
from whirlpool import pow_hash

# Difficulty 1 is the target 0x1fffe * 2^208, as the miner's "diff=" figure defines it.
DIFFICULTY_ONE_TARGET = 0x1FFFE << 208
EXTRANONCE1_SIZE = 4
# Pays the pool; the coinbase tag says who built the block.
POOL_PAYOUT_SCRIPT = bytes.fromhex("0014") + bytes(range(100, 120))
COINBASE_TAG = b"/veltrane testpool/"
# Jobs kept per connection for late shares; older ones count as stale (job not found).
JOB_HISTORY = 16

ERROR_MESSAGES = {
    20: "Other/Unknown",
    21: "Job not found",
    22: "Duplicate share",
    23: "Low difficulty share",
    24: "Unauthorized worker",
    25: "Not subscribed",
}


def share_target(difficulty):
    """DIFFICULTY_ONE_TARGET / difficulty, rounded down, capped at 2^256 - 1."""
    target = int(Fraction(DIFFICULTY_ONE_TARGET) / Fraction(difficulty))
    return min(target, (1 << 256) - 1)


def word_swapped(hash_bytes):
    """The header's previous hash as pools send it: each 4-byte word's bytes reversed."""
    return b"".join(hash_bytes[i:i + 4][::-1] for i in range(0, 32, 4))


def merkle_branch(txids):
    """The hashes the coinbase id is folded with, in turn, to give the merkle root."""
    branch = []
    level = [None] + list(txids)
    while len(level) > 1:
        branch.append(level[1])
        if len(level) % 2:
            level.append(level[-1])
        level = [None] + [blocks.sha256d(level[i] + level[i + 1]) for i in range(2, len(level), 2)]
    return branch


class ShareError(Exception):
    def __init__(self, code, message=None):
        super().__init__(message or ERROR_MESSAGES.get(code, "Other/Unknown"))
        self.code = code
        self.message = message or ERROR_MESSAGES.get(code, "Other/Unknown")


@dataclass
class Job:
    job_id: str
    template: dict
    coinbase1: bytes
    coinbase2: bytes
    branch: list
    ntime: int
    clean: bool
    transactions: list  # raw bytes of the template's transactions

    def notify_params(self):
        return [self.job_id, word_swapped(blocks.hash_from_display(self.template["previousblockhash"])).hex(),
                self.coinbase1.hex(), self.coinbase2.hex(), [h.hex() for h in self.branch],
                "%08x" % self.template["version"], self.template["bits"], "%08x" % self.ntime, self.clean]


def make_job(job_id, template, extranonce2_size, clean):
    height_push = blocks.height_push(template["height"])
    script_length = len(height_push) + EXTRANONCE1_SIZE + extranonce2_size + len(COINBASE_TAG)
    coinbase1 = (b"\x01\x00\x00\x00" + b"\x01" + bytes(32) + b"\xff\xff\xff\xff"
                 + blocks.compact_size(script_length) + height_push)
    outputs = [TxOutput(template["coinbasevalue"], POOL_PAYOUT_SCRIPT)]
    if template.get("default_witness_commitment"):
        outputs.append(TxOutput(0, bytes.fromhex(template["default_witness_commitment"])))
    coinbase2 = (COINBASE_TAG + b"\xff\xff\xff\xff" + blocks.compact_size(len(outputs))
                 + b"".join(output.serialise() for output in outputs) + bytes(4))
    txids = [blocks.hash_from_display(entry["txid"]) for entry in template["transactions"]]
    raw = [bytes.fromhex(entry["data"]) for entry in template["transactions"]]
    return Job(job_id, template, coinbase1, coinbase2, merkle_branch(txids), template["curtime"], clean, raw)


@dataclass
class ShareResult:
    pow_hash: bytes
    is_block: bool
    block_reason: str = None  # the chain's answer to the block, None when accepted or not a block


@dataclass
class PoolState:
    """Jobs, difficulty and the record of every share; safe to share between connection threads."""

    chain: object  # a testnode ChainState
    difficulty: float = 1.0
    extranonce2_size: int = 4
    log: object = print
    lock: threading.RLock = field(default_factory=threading.RLock)
    jobs: dict = field(default_factory=dict)  # job id -> Job, the newest JOB_HISTORY
    job_counter: int = 0
    job_id_prefix: str = ""  # put before the counter in job ids, to test what miners show of them
    seen: set = field(default_factory=set)
    accepted: list = field(default_factory=list)
    rejected: list = field(default_factory=list)
    blocks_found: list = field(default_factory=list)

    def new_job(self, clean):
        with self.lock:
            self.job_counter += 1
            template = self.chain.block_template([{"rules": ["segwit"]}])
            job = make_job("%s%x" % (self.job_id_prefix, self.job_counter), template, self.extranonce2_size, clean)
            if clean:
                self.jobs.clear()
            self.jobs[job.job_id] = job
            while len(self.jobs) > JOB_HISTORY:
                self.jobs.pop(next(iter(self.jobs)))
            return job

    def forget_jobs(self):
        """Every job handed out so far becomes stale."""
        with self.lock:
            self.jobs.clear()

    def check_share(self, extranonce1, difficulty, params, previous_extranonce1=None):
        """Judges [worker, job_id, extranonce2, ntime, nonce]; raises ShareError, else a ShareResult.
        A share that fails under extranonce1 is judged again under previous_extranonce1 when given."""
        with self.lock:
            try:
                return self._check(extranonce1, difficulty, params)
            except ShareError as error:
                if previous_extranonce1 is not None:
                    try:
                        return self._check(previous_extranonce1, difficulty, params)
                    except ShareError:
                        pass
                self.rejected.append({"code": error.code, "message": error.message, "params": params})
                raise

    def _check(self, extranonce1, difficulty, params):
        if not isinstance(params, list) or len(params) < 5 or not all(isinstance(p, str) for p in params[:5]):
            raise ShareError(20, "mining.submit needs five texts")
        _, job_id, extranonce2_text, ntime_text, nonce_text = params[:5]
        job = self.jobs.get(job_id)
        if job is None:
            raise ShareError(21)
        extranonce2 = _hex(extranonce2_text, self.extranonce2_size, "extranonce2")
        if len(ntime_text) != 8 or int(ntime_text, 16) != job.ntime:
            raise ShareError(20, "ntime differs from the job's")
        nonce = int.from_bytes(_hex(nonce_text, 4, "nonce"), "big")
        key = (job_id, extranonce1, extranonce2, ntime_text, nonce)
        if key in self.seen:
            raise ShareError(22)
        coinbase = job.coinbase1 + extranonce1 + extranonce2 + job.coinbase2
        root = blocks.sha256d(coinbase)
        for branch_hash in job.branch:
            root = blocks.sha256d(root + branch_hash)
        template = job.template
        header = (template["version"].to_bytes(4, "little") + blocks.hash_from_display(template["previousblockhash"])
                  + root + job.ntime.to_bytes(4, "little") + int(template["bits"], 16).to_bytes(4, "little")
                  + nonce.to_bytes(4, "little"))
        proof = pow_hash(header)
        value = int.from_bytes(proof, "little")
        block_target = int(template["target"], 16)
        is_block = value <= block_target
        if value > share_target(difficulty) and not is_block:
            raise ShareError(23)
        self.seen.add(key)
        result = ShareResult(proof, is_block)
        if is_block:
            result.block_reason = self._submit_block(header, coinbase, job)
        self.accepted.append({"job_id": job_id, "extranonce1": extranonce1.hex(), "extranonce2": extranonce2_text,
                              "nonce": nonce_text, "hash": proof.hex(), "block": is_block})
        return result

    def _submit_block(self, header, coinbase_bytes, job):
        coinbase = blocks.parse_transaction(coinbase_bytes)
        if job.template.get("default_witness_commitment"):
            coinbase.witnesses = [[bytes(32)]]
        body = blocks.compact_size(1 + len(job.transactions)) + coinbase.serialise() + b"".join(job.transactions)
        reason = self.chain.submit_block((header + body).hex())
        self.blocks_found.append({"height": job.template["height"], "reason": reason})
        return reason

    def summary(self):
        with self.lock:
            return {"difficulty": self.difficulty, "accepted": list(self.accepted), "rejected": list(self.rejected),
                    "blocks": list(self.blocks_found), "jobs": list(self.jobs)}


def _hex(text, size, name):
    try:
        data = bytes.fromhex(text)
    except ValueError:
        raise ShareError(20, "%s is not hex" % name) from None
    if len(data) != size or len(text) != 2 * size:
        raise ShareError(20, "%s must be %d bytes" % (name, size))
    return data
