#pragma once
// Why a payout address does not decode, in words a user can act on. The script is always the
// one address_to_script gives, so this never accepts or refuses differently from the miner.

#include <string>
#include <string_view>

#include "chain/bytes.h"

enum class AddressProblem {
  none,        // the address decodes
  empty,
  character,   // a character outside the address's alphabet
  mixed_case,  // upper and lower case letters in one segwit address
  prefix,      // another network's or coin's prefix, or an unknown Base58 version byte
  checksum,    // every character is allowed but the checksum does not match: a typo
  length,      // the checksum holds but the payload has a length no script takes
};

struct AddressDecoding {
  ByteVector script;  // as address_to_script returns it; empty when the address does not decode
  AddressProblem problem = AddressProblem::none;
  std::string explanation;  // one sentence for the console; empty when the address decodes
};

AddressDecoding decode_address_explained(std::string_view address);
