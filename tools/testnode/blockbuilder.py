"""A small block builder for the test node's own tests.

Builds a block from a template the way a correct miner does, with hooks to
get single things wrong, so that each check of the node can be shown to fire.
"""

import blocks
from blocks import Transaction, TxInput, TxOutput
from chainstate import DEFAULT_DEV_FEE_SCRIPT
from whirlpool import pow_hash

# A pay-to-witness-key-hash script standing in for the user's payout address
# (vtr1qqqqsyqcyq5rqwzqfpg9scrgwpugpzysnah89ys).
PAYOUT_SCRIPT = bytes.fromhex("0014") + bytes(range(20))
MAX_NONCE_TRIES = 2000


def coinbase_for(template, *, script_sig=None, fee_percent=1, fee_script=DEFAULT_DEV_FEE_SCRIPT,
                 payout_extra=0, witness=None, commitment=True):
    """The coinbase a correct miner builds, with one thing changed per keyword."""
    value = template["coinbasevalue"]
    fee = value * fee_percent // 100
    if script_sig is None:
        script_sig = blocks.height_push(template["height"]) + b"\x08testnode"
    outputs = [TxOutput(value - fee + payout_extra, PAYOUT_SCRIPT), TxOutput(fee, fee_script)]
    commitment_hex = template.get("default_witness_commitment")
    witnesses = [[]]
    if commitment and commitment_hex:
        outputs.append(TxOutput(0, bytes.fromhex(commitment_hex)))
        witnesses = [[bytes(32)]]
    if witness is not None:
        witnesses = [witness]
    return Transaction(2, [TxInput(bytes(32), blocks.NULL_PREVOUT_INDEX, script_sig)], outputs, witnesses)


def header_for(template, merkle_root, nonce=0, *, version=None, previous_hash=None, time=None, bits=None):
    return b"".join((
        (template["version"] if version is None else version).to_bytes(4, "little"),
        blocks.hash_from_display(template["previousblockhash"] if previous_hash is None else previous_hash),
        merkle_root,
        (template["curtime"] if time is None else time).to_bytes(4, "little"),
        int(template["bits"] if bits is None else bits, 16).to_bytes(4, "little"),
        nonce.to_bytes(4, "little"),
    ))


def grind(header, target, meets=True):
    """The header with the first nonce whose hash meets the target (or, with meets=False, misses it)."""
    for nonce in range(MAX_NONCE_TRIES):
        candidate = header[:76] + nonce.to_bytes(4, "little")
        if (int.from_bytes(pow_hash(candidate), "little") <= target) == meets:
            return candidate
    raise AssertionError("no nonce in %d tries; is the target easy?" % MAX_NONCE_TRIES)


def build_block(template, *, coinbase=None, transactions=None, merkle_root=None, meets_target=True,
                **header_fields):
    """Hex of a whole block for the template; keywords replace one part of it."""
    coinbase = coinbase or coinbase_for(template)
    if transactions is None:
        transactions = [bytes.fromhex(entry["data"]) for entry in template["transactions"]]
    if merkle_root is None:
        leaves = [coinbase.txid()] + [blocks.parse_transaction(raw).txid() for raw in transactions]
        merkle_root = blocks.merkle_root(leaves)
    header = grind(header_for(template, merkle_root, **header_fields), int(template["target"], 16), meets_target)
    body = blocks.compact_size(1 + len(transactions)) + coinbase.serialise() + b"".join(transactions)
    return (header + body).hex()
