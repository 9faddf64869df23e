"""Bitcoin-style serialisation as the test node reads and writes it.

Hashes are bytes in internal order (as the hash function produced them); the
node's texts show them reversed ("display order"), see display_hash.
"""

import hashlib
from dataclasses import dataclass, field

WITNESS_COMMITMENT_HEADER = bytes.fromhex("6a24aa21a9ed")
NULL_PREVOUT_INDEX = 0xFFFFFFFF


class DecodeError(ValueError):
    """The bytes are not a well-formed transaction or block."""


def sha256d(data):
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def display_hash(internal):
    """Hex text of a hash in display order (reversed), as the node shows it."""
    return internal[::-1].hex()


def hash_from_display(text):
    return bytes.fromhex(text)[::-1]


def compact_size(value):
    if value < 0xFD:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfd" + value.to_bytes(2, "little")
    if value <= 0xFFFFFFFF:
        return b"\xfe" + value.to_bytes(4, "little")
    return b"\xff" + value.to_bytes(8, "little")


class Reader:
    """Reads a byte string front to back; running short raises DecodeError."""

    def __init__(self, data):
        self.data = data
        self.position = 0

    def take(self, count):
        if self.position + count > len(self.data):
            raise DecodeError("data ends early")
        chunk = self.data[self.position: self.position + count]
        self.position += count
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return int.from_bytes(self.take(4), "little")

    def u64(self):
        return int.from_bytes(self.take(8), "little")

    def compact_size(self):
        first = self.u8()
        if first < 0xFD:
            return first
        width, smallest = {0xFD: (2, 0xFD), 0xFE: (4, 0x10000), 0xFF: (8, 0x100000000)}[first]
        value = int.from_bytes(self.take(width), "little")
        # A number written in a wider form than it needs is refused, as the node does.
        if value < smallest:
            raise DecodeError("non-canonical compact size")
        return value

    def var_bytes(self):
        return self.take(self.compact_size())

    def at_end(self):
        return self.position == len(self.data)


@dataclass
class TxInput:
    prev_hash: bytes
    prev_index: int
    script_sig: bytes
    sequence: int = 0xFFFFFFFF

    def serialise(self):
        return (self.prev_hash + self.prev_index.to_bytes(4, "little")
                + compact_size(len(self.script_sig)) + self.script_sig
                + self.sequence.to_bytes(4, "little"))


@dataclass
class TxOutput:
    value: int
    script: bytes

    def serialise(self):
        return self.value.to_bytes(8, "little", signed=True) + compact_size(len(self.script)) + self.script


@dataclass
class Transaction:
    version: int
    inputs: list
    outputs: list
    # One stack (a list of byte strings) per input; empty lists throughout mean no witness.
    witnesses: list = field(default_factory=list)
    lock_time: int = 0

    def has_witness(self):
        return any(self.witnesses)

    def serialise(self, with_witness=True):
        """Segwit serialisation (marker, flag, witness) when there is a witness, else legacy."""
        segwit = with_witness and self.has_witness()
        out = bytearray(self.version.to_bytes(4, "little"))
        if segwit:
            out += b"\x00\x01"
        out += compact_size(len(self.inputs))
        for tx_input in self.inputs:
            out += tx_input.serialise()
        out += compact_size(len(self.outputs))
        for tx_output in self.outputs:
            out += tx_output.serialise()
        if segwit:
            for index in range(len(self.inputs)):
                stack = self.witnesses[index] if index < len(self.witnesses) else []
                out += compact_size(len(stack))
                for item in stack:
                    out += compact_size(len(item)) + item
        out += self.lock_time.to_bytes(4, "little")
        return bytes(out)

    def txid(self):
        """Identifier without the witness, internal order."""
        return sha256d(self.serialise(with_witness=False))

    def wtxid(self):
        return sha256d(self.serialise())

    def is_coinbase(self):
        return (len(self.inputs) == 1 and self.inputs[0].prev_hash == bytes(32)
                and self.inputs[0].prev_index == NULL_PREVOUT_INDEX)


def read_transaction(reader):
    start = reader.position
    version = reader.u32()
    segwit = False
    if reader.position < len(reader.data) and reader.data[reader.position] == 0:
        reader.take(1)
        if reader.u8() != 1:
            raise DecodeError("unknown transaction flag")
        segwit = True
    inputs = []
    for _ in range(reader.compact_size()):
        prev_hash = reader.take(32)
        prev_index = reader.u32()
        script_sig = reader.var_bytes()
        inputs.append(TxInput(prev_hash, prev_index, script_sig, reader.u32()))
    outputs = []
    for _ in range(reader.compact_size()):
        value = int.from_bytes(reader.take(8), "little", signed=True)
        outputs.append(TxOutput(value, reader.var_bytes()))
    witnesses = [[] for _ in inputs]
    if segwit:
        if not inputs:
            raise DecodeError("witness transaction without inputs")
        for stack in witnesses:
            for _ in range(reader.compact_size()):
                stack.append(reader.var_bytes())
        if not any(witnesses):
            raise DecodeError("superfluous witness record")
    transaction = Transaction(version, inputs, outputs, witnesses, reader.u32())
    transaction.raw = reader.data[start: reader.position]
    return transaction


def parse_transaction(data):
    reader = Reader(data)
    transaction = read_transaction(reader)
    if not reader.at_end():
        raise DecodeError("bytes after the transaction")
    return transaction


@dataclass
class Block:
    header: bytes
    transactions: list

    @property
    def version(self):
        return int.from_bytes(self.header[0:4], "little", signed=True)

    @property
    def previous_hash(self):
        return self.header[4:36]

    @property
    def merkle_root(self):
        return self.header[36:68]

    @property
    def time(self):
        return int.from_bytes(self.header[68:72], "little")

    @property
    def bits(self):
        return int.from_bytes(self.header[72:76], "little")

    def block_hash(self):
        return sha256d(self.header)


def parse_block(data):
    reader = Reader(data)
    header = reader.take(80)
    count = reader.compact_size()
    if count > len(data):
        raise DecodeError("transaction count larger than the block")
    transactions = [read_transaction(reader) for _ in range(count)]
    if not reader.at_end():
        raise DecodeError("bytes after the last transaction")
    return Block(header, transactions)


def merkle_root(leaves):
    """Root over hashes in internal order; an odd last hash pairs with itself."""
    if not leaves:
        return bytes(32)
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def witness_commitment_script(wtxids, reserved_value=bytes(32)):
    """Commitment output script over the wtxids of the non-coinbase transactions.

    The coinbase's own wtxid counts as 32 zero bytes; the commitment is the
    double SHA-256 of the witness merkle root followed by the reserved value.
    """
    root = merkle_root([bytes(32)] + list(wtxids))
    return WITNESS_COMMITMENT_HEADER + sha256d(root + reserved_value)


def height_push(height):
    """The push of the block height that opens a coinbase scriptSig.

    Minimal little-endian bytes with a 00 added when the top bit is set, in
    push form (length byte first) for every height, 1 to 16 included.
    """
    number = bytearray()
    value = height
    while value:
        number.append(value & 0xFF)
        value >>= 8
    if not number or number[-1] & 0x80:
        number.append(0)
    return bytes([len(number)]) + bytes(number)


def target_from_bits(bits):
    exponent = bits >> 24
    mantissa = bits & 0x007FFFFF
    if bits & 0x00800000:
        return 0
    if exponent <= 3:
        return mantissa >> (8 * (3 - exponent))
    return mantissa << (8 * (exponent - 3))


def bits_from_target(target):
    """Compact form of a target, rounded down as the node rounds it."""
    size = (target.bit_length() + 7) // 8
    if size <= 3:
        mantissa = target << (8 * (3 - size))
    else:
        mantissa = target >> (8 * (size - 3))
    if mantissa & 0x00800000:
        mantissa >>= 8
        size += 1
    return (size << 24) | mantissa
