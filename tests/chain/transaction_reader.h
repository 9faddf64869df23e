#pragma once
// A test-only reader and writer of serialised transactions and blocks, written apart from the
// program's transaction code so that its results can check the program's serialisation.

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "chain/serialize.h"
#include "chain/sha256.h"

namespace test_chain {

using Bytes = std::vector<std::uint8_t>;

struct Reader {
  const Bytes& bytes;
  std::size_t position = 0;

  Bytes take(std::size_t count) {
    if (bytes.size() - position < count) throw std::runtime_error("read past the end");
    Bytes out(bytes.begin() + static_cast<std::ptrdiff_t>(position),
              bytes.begin() + static_cast<std::ptrdiff_t>(position + count));
    position += count;
    return out;
  }
  std::uint64_t little_endian(std::size_t count) {
    const Bytes raw = take(count);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{raw[i]} << (8 * i);
    return value;
  }
  std::uint64_t compact_size() {
    const auto first = little_endian(1);
    if (first == 0xfd) return little_endian(2);
    if (first == 0xfe) return little_endian(4);
    if (first == 0xff) return little_endian(8);
    return first;
  }
  Bytes sized_bytes() { return take(static_cast<std::size_t>(compact_size())); }
  bool at_end() const { return position == bytes.size(); }
};

struct Input {
  Bytes previous_output;  // 32-byte hash and 4-byte index
  Bytes script;
  std::uint32_t sequence = 0;
};

struct Output {
  std::int64_t value = 0;
  Bytes script;
};

struct Transaction {
  std::uint32_t version = 0;
  bool segwit = false;
  std::vector<Input> inputs;
  std::vector<Output> outputs;
  std::vector<std::vector<Bytes>> witnesses;  // one stack per input when segwit
  std::uint32_t lock_time = 0;
  Bytes raw;  // the bytes as read
};

inline Transaction read_transaction(Reader& reader) {
  const std::size_t start = reader.position;
  Transaction tx;
  tx.version = static_cast<std::uint32_t>(reader.little_endian(4));
  std::uint64_t input_count = reader.compact_size();
  if (input_count == 0) {  // marker; the flag follows
    if (reader.little_endian(1) != 1) throw std::runtime_error("bad segwit flag");
    tx.segwit = true;
    input_count = reader.compact_size();
  }
  for (std::uint64_t i = 0; i < input_count; ++i) {
    Input input;
    input.previous_output = reader.take(36);
    input.script = reader.sized_bytes();
    input.sequence = static_cast<std::uint32_t>(reader.little_endian(4));
    tx.inputs.push_back(input);
  }
  const std::uint64_t output_count = reader.compact_size();
  for (std::uint64_t i = 0; i < output_count; ++i) {
    Output output;
    output.value = static_cast<std::int64_t>(reader.little_endian(8));
    output.script = reader.sized_bytes();
    tx.outputs.push_back(output);
  }
  if (tx.segwit) {
    for (std::uint64_t i = 0; i < input_count; ++i) {
      std::vector<Bytes> stack(static_cast<std::size_t>(reader.compact_size()));
      for (Bytes& item : stack) item = reader.sized_bytes();
      tx.witnesses.push_back(stack);
    }
  }
  tx.lock_time = static_cast<std::uint32_t>(reader.little_endian(4));
  tx.raw.assign(reader.bytes.begin() + static_cast<std::ptrdiff_t>(start),
                reader.bytes.begin() + static_cast<std::ptrdiff_t>(reader.position));
  return tx;
}

inline Transaction read_transaction(const Bytes& bytes) {
  Reader reader{bytes};
  Transaction tx = read_transaction(reader);
  if (!reader.at_end()) throw std::runtime_error("bytes after the transaction");
  return tx;
}

inline void write_little_endian(Bytes& out, std::uint64_t value, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void write_sized(Bytes& out, const Bytes& bytes) {
  append_compact_size(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

inline Bytes double_sha256_of(const Bytes& bytes) {
  Bytes digest(32);
  double_sha256(bytes.data(), bytes.size(), digest.data());
  return digest;
}

// Serialises a transaction, with marker, flag and witness only when with_witness is set.
inline Bytes write_transaction(const Transaction& tx, bool with_witness) {
  Bytes out;
  write_little_endian(out, tx.version, 4);
  if (with_witness) out.insert(out.end(), {0x00, 0x01});
  append_compact_size(out, tx.inputs.size());
  for (const Input& input : tx.inputs) {
    out.insert(out.end(), input.previous_output.begin(), input.previous_output.end());
    write_sized(out, input.script);
    write_little_endian(out, input.sequence, 4);
  }
  append_compact_size(out, tx.outputs.size());
  for (const Output& output : tx.outputs) {
    write_little_endian(out, static_cast<std::uint64_t>(output.value), 8);
    write_sized(out, output.script);
  }
  if (with_witness) {
    for (const std::vector<Bytes>& stack : tx.witnesses) {
      append_compact_size(out, stack.size());
      for (const Bytes& item : stack) write_sized(out, item);
    }
  }
  write_little_endian(out, tx.lock_time, 4);
  return out;
}

}  // namespace test_chain
