#include "rpc/json_scan.h"

#include <cstdlib>

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr std::string_view value_delimiters = ",}] \t\n\r";

}  // namespace

std::string json_get(std::string_view text, std::string_view key) {
  const std::string needle = "\"" + std::string(key) + "\"";
  const std::size_t key_position = text.find(needle);
  if (key_position == std::string_view::npos) return {};
  const std::size_t colon = text.find(':', key_position);
  if (colon == std::string_view::npos) return {};

  std::size_t start = colon + 1;
  while (start < text.size() && is_json_blank(text[start])) ++start;
  if (start >= text.size()) return {};

  if (text[start] == '"') {
    const std::size_t closing = text.find('"', start + 1);
    if (closing == std::string_view::npos) return {};
    return std::string(text.substr(start + 1, closing - start - 1));
  }
  const std::size_t end = text.find_first_of(value_delimiters, start);
  return std::string(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

std::int64_t json_get_int(std::string_view text, std::string_view key) {
  return parse_int_auto_base(json_get(text, key));
}

std::int64_t parse_int_auto_base(std::string_view text) {
  // strtoll needs a terminated text; long long is 64 bits on every platform we build for.
  const std::string terminated(text);
  return static_cast<std::int64_t>(std::strtoll(terminated.c_str(), nullptr, 0));
}
