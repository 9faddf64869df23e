#pragma once
// Payout addresses to output scripts: segwit (bech32/bech32m, "vtr1"/"tvtr1") and Base58Check
// (version 0x1C pay-to-public-key-hash, 0x12 pay-to-script-hash). An empty result means the
// text is not a usable address. The text is taken exactly as given: no trimming, no case change.

#include <string_view>

#include "chain/bytes.h"

// The output script that pays the address, or empty. Texts starting "vtr1" or "tvtr1" try the
// segwit route first and fall back to Base58Check; either network is accepted.
ByteVector address_to_script(std::string_view address);

// Witness version byte followed by the program bytes, or empty. Part-agnostic: the
// human-readable part is not compared with any network.
ByteVector segwit_address_decode(std::string_view address);

// Big-endian bytes of the Base58 number, one leading zero byte per leading '1'; empty on a
// character outside the alphabet (and for the empty text).
ByteVector base58_decode(std::string_view text);
