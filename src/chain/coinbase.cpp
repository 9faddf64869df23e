#include "chain/coinbase.h"

#include <optional>

#include "chain/serialize.h"
#include "chain/sha256.h"

namespace {

// Below this length a text is pushed with a one-byte length in front; from it on, its bytes go
// into the script bare (the single-byte push opcodes end at 75).
constexpr std::size_t largest_direct_push = 75;

// The height as a script number push: a length byte, then the minimal little-endian bytes with
// a 00 added when the top bit of the last byte is set (so the number stays positive). Height 0
// is the single byte 00, and small heights use this form too, not OP_1..OP_16.
ByteVector height_push(std::uint64_t height) {
  ByteVector push{0x00};  // the length byte, set once the number is written
  do {
    push.push_back(static_cast<std::uint8_t>(height & 0xff));
    height >>= 8;
  } while (height != 0);
  if (push.back() & 0x80) push.push_back(0x00);
  push[0] = static_cast<std::uint8_t>(push.size() - 1);
  return push;
}

// A 64-bit height takes at most 8 bytes, a sign byte and the length byte.
constexpr std::size_t largest_height_push = 10;
static_assert(max_coinbase_script_size - largest_height_push - extra_nonce_push_size >= largest_direct_push + 1,
              "a short text with its length byte must always fit beside the height and extra nonce pushes");

void append_bytes(ByteVector& out, const ByteVector& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

void append_output(ByteVector& out, std::int64_t value, const ByteVector& script) {
  append_u64_le(out, static_cast<std::uint64_t>(value));
  append_compact_size(out, script.size());
  append_bytes(out, script);
}

// Reads one whole serialised transaction, legacy or segwit, and collects its legacy
// serialisation (marker, flag and witness data left out). Any count or length that runs past
// the end, and bytes left over after the lock time, make it fail.
struct TransactionReader {
  const ByteVector& transaction;
  std::size_t position = 0;
  ByteVector legacy;

  bool read_compact_size(std::uint64_t& value) {
    if (position >= transaction.size()) return false;
    const std::uint8_t first = transaction[position++];
    if (first < 253) {
      value = first;
      return true;
    }
    const std::size_t width = first == 0xfd ? 2 : first == 0xfe ? 4 : 8;
    if (transaction.size() - position < width) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{transaction[position + i]} << (8 * i);
    position += width;
    return true;
  }

  bool skip(std::uint64_t length) {
    if (transaction.size() - position < length) return false;
    position += static_cast<std::size_t>(length);
    return true;
  }

  // Copies length bytes unchanged.
  bool copy(std::uint64_t length) {
    const std::size_t start = position;
    if (!skip(length)) return false;
    legacy.insert(legacy.end(), transaction.begin() + static_cast<std::ptrdiff_t>(start),
                  transaction.begin() + static_cast<std::ptrdiff_t>(position));
    return true;
  }

  // Copies a compact size exactly as stored, so that a non-minimal encoding keeps its id.
  bool copy_compact_size(std::uint64_t& value) {
    const std::size_t start = position;
    if (!read_compact_size(value)) return false;
    legacy.insert(legacy.end(), transaction.begin() + static_cast<std::ptrdiff_t>(start),
                  transaction.begin() + static_cast<std::ptrdiff_t>(position));
    return true;
  }

  bool copy_sized_bytes() {
    std::uint64_t length = 0;
    return copy_compact_size(length) && copy(length);
  }

  bool run() {
    if (!copy(4)) return false;  // version
    // Marker 00 and flag 01 after the version mark the segwit serialisation.
    const bool segwit =
        transaction.size() - position >= 2 && transaction[position] == 0x00 && transaction[position + 1] == 0x01;
    if (segwit) position += 2;
    // Each loop pass consumes at least one byte or fails, so a huge count ends at the data's end.
    std::uint64_t input_count = 0;
    if (!copy_compact_size(input_count)) return false;
    for (std::uint64_t i = 0; i < input_count; ++i) {
      // previous output hash and index, script, sequence
      if (!copy(36) || !copy_sized_bytes() || !copy(4)) return false;
    }
    std::uint64_t output_count = 0;
    if (!copy_compact_size(output_count)) return false;
    for (std::uint64_t i = 0; i < output_count; ++i) {
      if (!copy(8) || !copy_sized_bytes()) return false;  // value, script
    }
    if (segwit) {
      // One witness stack per input, between the outputs and the lock time.
      for (std::uint64_t i = 0; i < input_count; ++i) {
        std::uint64_t item_count = 0;
        if (!read_compact_size(item_count)) return false;
        for (std::uint64_t item = 0; item < item_count; ++item) {
          std::uint64_t length = 0;
          if (!read_compact_size(length) || !skip(length)) return false;
        }
      }
    }
    return copy(4) && position == transaction.size();  // lock time, and nothing after it
  }
};

}  // namespace

std::size_t coinbase_text_kept_length(std::uint64_t height, std::size_t text_length, bool with_extra_nonce) {
  // A text shorter than 76 bytes costs its length plus a length byte, at most 76 bytes, which
  // always fits beside the height push (at most 10 bytes) and the extra nonce push (5). A longer
  // text has no length byte, so it is cut to exactly the room left; that room is at least 85
  // bytes, so the cut text is still 76 bytes or more and gains no length byte.
  if (text_length <= largest_direct_push) return text_length;
  const std::size_t room =
      max_coinbase_script_size - height_push(height).size() - (with_extra_nonce ? extra_nonce_push_size : 0);
  return text_length < room ? text_length : room;
}

ByteVector build_coinbase(std::uint64_t height, std::int64_t coinbase_value, const ByteVector& payout_script,
                          std::string_view coinbase_text, const ByteVector& witness_commitment,
                          const ByteVector& fee_script, std::int32_t fee_percent,
                          std::optional<std::uint32_t> extra_nonce) {
  const bool has_witness = !witness_commitment.empty();
  const bool has_fee = !fee_script.empty() && fee_percent >= 1;
  // Truncated toward zero: a value below 100 at 1 % still gets a fee output, of value 0.
  const std::int64_t fee = has_fee ? coinbase_value * fee_percent / 100 : 0;

  ByteVector script_sig = height_push(height);
  const std::string_view text =
      coinbase_text.substr(0, coinbase_text_kept_length(height, coinbase_text.size(), extra_nonce.has_value()));
  if (!text.empty()) {
    if (text.size() <= largest_direct_push) script_sig.push_back(static_cast<std::uint8_t>(text.size()));
    script_sig.insert(script_sig.end(), text.begin(), text.end());
  }
  if (extra_nonce) {
    script_sig.push_back(extra_nonce_push_size - 1);
    for (int shift = 0; shift < 32; shift += 8) script_sig.push_back(static_cast<std::uint8_t>(*extra_nonce >> shift));
  }

  ByteVector transaction{0x02, 0x00, 0x00, 0x00};  // version 2
  if (has_witness) transaction.insert(transaction.end(), {0x00, 0x01});  // marker, flag
  transaction.push_back(0x01);  // one input, spending nothing
  transaction.insert(transaction.end(), 32, 0x00);
  transaction.insert(transaction.end(), 4, 0xff);
  append_compact_size(transaction, script_sig.size());
  append_bytes(transaction, script_sig);
  transaction.insert(transaction.end(), 4, 0xff);  // sequence

  append_compact_size(transaction, 1u + (has_fee ? 1u : 0u) + (has_witness ? 1u : 0u));
  append_output(transaction, coinbase_value - fee, payout_script);
  if (has_fee) append_output(transaction, fee, fee_script);
  if (has_witness) {
    append_output(transaction, 0, witness_commitment);
    // The coinbase witness: one item, the 32-byte reserved value, all zero.
    transaction.insert(transaction.end(), {0x01, 0x20});
    transaction.insert(transaction.end(), 32, 0x00);
  }
  transaction.insert(transaction.end(), 4, 0x00);  // lock time
  return transaction;
}

std::optional<ByteVector> read_transaction_id(const ByteVector& transaction) {
  TransactionReader reader{transaction, 0, {}};
  if (!reader.run()) return std::nullopt;
  ByteVector id(32);
  double_sha256(reader.legacy.data(), reader.legacy.size(), id.data());
  return id;
}

ByteVector transaction_id(const ByteVector& transaction) {
  if (std::optional<ByteVector> id = read_transaction_id(transaction)) return *id;
  ByteVector id(32);
  double_sha256(transaction.data(), transaction.size(), id.data());
  return id;
}
