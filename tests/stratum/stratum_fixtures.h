#pragma once
// A job from the test pool (tools/testpool) with a fixed clock, and what the pool's own code
// computes for it: the coinbase, merkle root, header and proof-of-work hash for extranonce1
// 0a0b0c0d, extranonce2 00000007 and nonce 0x12345678.

#include <string>

namespace stratum_fixtures {

inline const std::string notify_line =
    R"({"id": null, "method": "mining.notify", "params": ["4f", )"
    R"("4e846f91215fdeb3a46ba6dfaab3300a759f54e19d5a450b66cc99561abfe918", )"
    R"("01000000010000000000000000000000000000000000000000000000000000000000000000ffffffff1d0165", )"
    R"("2f76656c7472616e652074657374706f6f6c2fffffffff02a600062a010000001600146465666768696a6b6c6d6e6f70717273)"
    R"(747576770000000000000000266a24aa21a9edab222e91f380747e7355e0398a93d174cfcf88d5d4951de6ecfcace6e09ded)"
    R"(6800000000", ["c587af9ff694c0e8fdcecd9470208fe24051695e3a4190bb95cf40a76b2a8fa3", )"
    R"("9c233bcc937d7729ebc31a9ac02ad08f0fc211961d4235aedbdad942bc33dc6a"], "20000000", "1c00ffff", )"
    R"("6553f100", true]})";

inline const std::string extranonce1_hex = "0a0b0c0d";
inline constexpr unsigned extranonce2_value = 7;
inline constexpr unsigned nonce = 0x12345678;

inline const std::string coinbase_hex =
    "01000000010000000000000000000000000000000000000000000000000000000000000000ffffffff1d01650a0b0c0d000000072f76656c"
    "7472616e652074657374706f6f6c2fffffffff02a600062a010000001600146465666768696a6b6c6d6e6f707172737475767700000000"
    "00000000266a24aa21a9edab222e91f380747e7355e0398a93d174cfcf88d5d4951de6ecfcace6e09ded6800000000";
inline const std::string merkle_root_hex = "0288d32d7174a555ee28bf4bdff047bb9932781e76c60725af3d5f7f39ee3776";
inline const std::string header_hex =
    "00000020916f844eb3de5f21dfa66ba40a30b3aae1549f750b455a9d5699cc6618e9bf1a0288d32d7174a555ee28bf4bdff047bb9932781e"
    "76c60725af3d5f7f39ee377600f15365ffff001c78563412";
inline const std::string pow_hash_hex = "45e1db21d6b699f05acd35446786128d41e44d10b09e4c0cdcc286ca61deb526";

}  // namespace stratum_fixtures
