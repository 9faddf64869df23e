#include "chain/serialize.h"

namespace {

void append_le(ByteVector& out, std::uint64_t value, int byte_count) {
  for (int i = 0; i < byte_count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

void append_compact_size(ByteVector& out, std::uint64_t value) {
  if (value < 253) {
    out.push_back(static_cast<std::uint8_t>(value));
  } else if (value <= 0xffff) {
    out.push_back(0xfd);
    append_le(out, value, 2);
  } else if (value <= 0xffffffff) {
    out.push_back(0xfe);
    append_le(out, value, 4);
  } else {
    out.push_back(0xff);
    append_le(out, value, 8);
  }
}

void append_u64_le(ByteVector& out, std::uint64_t value) { append_le(out, value, 8); }
