"""Whirlpool-512 against the ISO/IEC 10118-3 vectors and the folded proof-of-work hash."""

import unittest

from whirlpool import C0, ROUND_CONSTANTS, SBOX, pow_hash, whirlpool

# Expected digests as printed by `openssl dgst -provider legacy -provider default -whirlpool`.
DIGESTS = [
    ("empty", b"",
     "19fa61d75522a4669b44e39c1d2e1726c530232130d407f89afee0964997f7a7"
     "3e83be698b288febcf88e3e03c4f0757ea8964e59b63d93708b138cc42a66eb3"),
    ("a", b"a",
     "8aca2602792aec6f11a67206531fb7d7f0dff59413145e6973c45001d0087b42"
     "d11bc645413aeff63a42391a39145a591a92200d560195e53b478584fdae231a"),
    ("abc", b"abc",
     "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c"
     "7181eebdb6c57e277d0e34957114cbd6c797fc9d95d8b582d225292076d4eef5"),
    ("message digest", b"message digest",
     "378c84a4126e2dc6e56dcc7458377aac838d00032230f53ce1f5700c0ffb4d3b"
     "8421557659ef55c106b4b52ac5a4aaa692ed920052838f3362e86dbd37a8903e"),
    ("alphabet", b"abcdefghijklmnopqrstuvwxyz",
     "f1d754662636ffe92c82ebb9212a484a8d38631ead4238f5442ee13b8054e41b"
     "08bf2a9251c30b6a0b8aae86177ab4a6f68f673e7207865d5d9819a3dba4eb3b"),
    # 31 bytes still fit the length field into one block; 32 need a second block.
    ("31 bytes", b"a" * 31,
     "698d25826e50bfd1f4e67a1ddbe0d40fac00c4b8f49bd17f706e2f4c5c813249"
     "a8a2b771acec2a7425c20406acbc672a2bc83a62150af78f0d804d382658af05"),
    ("32 bytes", b"a" * 32,
     "661fe85e302a100bc85048438a734d219e0c006c8464f10eb2281194db21d3b2"
     "36fabb497818f63511a63be7e1c5ea4009a0f937040f4bc080a68a2fff589dab"),
    ("64 bytes", b"a" * 64,
     "3ab1400670b9c37bc24274578aac331eb7150167c598c6c247bcdd8ae54be548"
     "470fcdc3718f276cebc324d2c9b35b6b4748d9a26985d9b79563f7e2890da38a"),
    ("80 digits", b"1234567890" * 8,
     "466ef18babb0154d25b9d38a6414f5c08784372bccb204d6549c4afadb601429"
     "4d5bd8df2a6c44e538cd047b2681a51a2c60481e88c5a20b2c2a80cf3a9a083b"),
]

POW_HASHES = [
    ("all-zero header", bytes(80), "829d0b00f746ef2907cead38ab4e8320dd98440f9351eba05b33057406e115ae"),
    ("header of bytes 0..79", bytes(range(80)),
     "01e9274cf09e478d9bffe75c46f2a65cb75c2ff2e17153155381f5b1624ef223"),
]


class WhirlpoolTest(unittest.TestCase):
    def test_known_digests(self):
        for name, message, expected in DIGESTS:
            with self.subTest(name):
                self.assertEqual(whirlpool(message).hex(), expected)

    def test_tables_built_from_the_mini_boxes_match_the_standard(self):
        # The standard prints S[0..7] = 18 23 c6 e8 87 b8 01 4f and C0[0] = 18186018c07830d8.
        self.assertEqual(bytes(SBOX[:8]).hex(), "1823c6e887b8014f")
        self.assertEqual(sorted(SBOX), list(range(256)))
        self.assertEqual(C0[0].to_bytes(8, "little").hex(), "18186018c07830d8")
        self.assertEqual(ROUND_CONSTANTS[0], 0x4F01B887E8C62318)
        self.assertEqual(ROUND_CONSTANTS[9], 0x33835AAD07BF2DCA)

    def test_pow_hash_folds_the_digest_of_the_header(self):
        for name, header, expected in POW_HASHES:
            with self.subTest(name):
                self.assertEqual(pow_hash(header).hex(), expected)
                digest = whirlpool(header)
                self.assertEqual(pow_hash(header), bytes(a ^ b for a, b in zip(digest[:32], digest[32:])))

    def test_pow_hash_takes_exactly_80_bytes(self):
        for length in (79, 81):
            with self.subTest(length=length), self.assertRaises(ValueError):
                pow_hash(bytes(length))


if __name__ == "__main__":
    unittest.main()
