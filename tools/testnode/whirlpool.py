"""Whirlpool-512 (the 2003 form of ISO/IEC 10118-3) and the folded proof-of-work hash.

Written from the algorithm's definition so that the test node judges blocks
without sharing a line with the miner: the S-box is built from the mini-boxes
E, E^-1 and R, the diffusion layer is the circulant matrix cir(1, 1, 4, 1, 8,
5, 2, 9) over GF(2^8) reduced by x^8 + x^4 + x^3 + x^2 + 1, and the hash is
the Miyaguchi-Preneel construction over ten rounds of the cipher W.

State words: word i is the little-endian reading of bytes 8i..8i+7 of the
byte string, so a row of the standard's 8x8 matrix is one Python int whose
column j sits in bits 8j..8j+7.
"""

_MASK64 = (1 << 64) - 1
_ROUNDS = 10

_E = (0x1, 0xB, 0x9, 0xC, 0xD, 0x6, 0xF, 0x3, 0xE, 0x8, 0x7, 0x4, 0xA, 0x2, 0x5, 0x0)
_R = (0x7, 0xC, 0xB, 0xD, 0xE, 0x4, 0x9, 0xF, 0x6, 0x3, 0x8, 0xA, 0x2, 0x5, 0x1, 0x0)
_E_INVERSE = tuple(_E.index(value) for value in range(16))


def _build_sbox():
    # The S-box of the standard: E on the high nibble, E^-1 on the low one,
    # mixed through R in the middle.
    sbox = []
    for value in range(256):
        high = _E[value >> 4]
        low = _E_INVERSE[value & 0xF]
        mixed = _R[high ^ low]
        sbox.append((_E[high ^ mixed] << 4) | _E_INVERSE[low ^ mixed])
    return tuple(sbox)


def _gf_multiply(a, b):
    """Product in GF(2^8) with the reduction polynomial x^8 + x^4 + x^3 + x^2 + 1."""
    product = 0
    while b:
        if b & 1:
            product ^= a
        a <<= 1
        if a & 0x100:
            a ^= 0x11D
        b >>= 1
    return product


def _rotate_left(word, bits):
    return ((word << bits) | (word >> (64 - bits))) & _MASK64 if bits else word


SBOX = _build_sbox()
_CIRCULANT_ROW = (1, 1, 4, 1, 8, 5, 2, 9)

# C0[x]: the S-box output multiplied by the circulant row, first byte in the
# low bits (the standard prints the same bytes as a big-endian number).
C0 = tuple(
    int.from_bytes(bytes(_gf_multiply(SBOX[x], factor) for factor in _CIRCULANT_ROW), "little")
    for x in range(256)
)
# Column t of the diffusion layer is C0 rotated by 8t bits.
_TABLES = tuple(tuple(_rotate_left(entry, 8 * t) for entry in C0) for t in range(8))
# Round constant r holds S[8(r-1)] .. S[8(r-1)+7] in row 0; the other rows are zero.
ROUND_CONSTANTS = tuple(
    int.from_bytes(bytes(SBOX[8 * r: 8 * r + 8]), "little") for r in range(_ROUNDS)
)


def _round(words):
    """The standard's gamma, pi and theta steps in one table look-up per byte."""
    t0, t1, t2, t3, t4, t5, t6, t7 = _TABLES
    return [
        t0[words[i] & 0xFF]
        ^ t1[(words[(i - 1) % 8] >> 8) & 0xFF]
        ^ t2[(words[(i - 2) % 8] >> 16) & 0xFF]
        ^ t3[(words[(i - 3) % 8] >> 24) & 0xFF]
        ^ t4[(words[(i - 4) % 8] >> 32) & 0xFF]
        ^ t5[(words[(i - 5) % 8] >> 40) & 0xFF]
        ^ t6[(words[(i - 6) % 8] >> 48) & 0xFF]
        ^ t7[words[(i - 7) % 8] >> 56]
        for i in range(8)
    ]


def whirlpool_compress(state, block):
    """Returns the new chaining value from eight state words and eight block words."""
    key = list(state)
    cipher = [block[i] ^ key[i] for i in range(8)]
    for round_constant in ROUND_CONSTANTS:
        key = _round(key)
        key[0] ^= round_constant
        mixed = _round(cipher)
        cipher = [mixed[i] ^ key[i] for i in range(8)]
    return [state[i] ^ cipher[i] ^ block[i] for i in range(8)]


def _words(chunk):
    return [int.from_bytes(chunk[8 * i: 8 * i + 8], "little") for i in range(8)]


def whirlpool(message):
    """The 64-byte Whirlpool-512 digest of a byte string."""
    bit_length = 8 * len(message)
    padded = bytes(message) + b"\x80"
    padded += b"\x00" * ((32 - len(padded)) % 64)
    padded += bit_length.to_bytes(32, "big")
    state = [0] * 8
    for offset in range(0, len(padded), 64):
        state = whirlpool_compress(state, _words(padded[offset: offset + 64]))
    return b"".join(word.to_bytes(8, "little") for word in state)


def pow_hash(header):
    """Proof-of-work hash of an 80-byte header: the digest's halves XOR-ed, 32 bytes in byte order.

    Read as a little-endian 256-bit number (byte 0 least significant) for the
    comparison with the target.
    """
    if len(header) != 80:
        raise ValueError("a block header has 80 bytes, not %d" % len(header))
    digest = whirlpool(header)
    return bytes(digest[k] ^ digest[k + 32] for k in range(32))
