#include "rpc/json_scan.h"

#include <cstdlib>

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr std::string_view value_delimiters = ",}] \t\n\r";
constexpr std::size_t not_found = std::string_view::npos;

std::size_t skip_blanks(std::string_view text, std::size_t position) {
  while (position < text.size() && is_json_blank(text[position])) ++position;
  return position;
}

// Where the value starts when the quoted name that ends just before position is a member name
// (blanks, then a colon); not_found otherwise.
std::size_t value_after_name(std::string_view text, std::size_t position) {
  position = skip_blanks(text, position);
  if (position >= text.size() || text[position] != ':') return not_found;
  return skip_blanks(text, position + 1);
}

// The scanner's value rule, from the first character of the value.
std::string value_at(std::string_view text, std::size_t start) {
  if (start >= text.size()) return {};
  if (text[start] == '"') {
    const std::size_t closing = text.find('"', start + 1);
    if (closing == not_found) return {};
    return std::string(text.substr(start + 1, closing - start - 1));
  }
  const std::size_t end = text.find_first_of(value_delimiters, start);
  return std::string(text.substr(start, end == not_found ? not_found : end - start));
}

std::size_t any_member_value(std::string_view text, std::string_view key) {
  const std::string needle = "\"" + std::string(key) + "\"";
  for (std::size_t found = text.find(needle); found != not_found; found = text.find(needle, found + 1)) {
    const std::size_t value = value_after_name(text, found + needle.size());
    if (value != not_found) return value;
  }
  return not_found;
}

// Walks the object that the text starts with, counting nesting so that only its own members are
// compared. Strings are skipped with their backslash escapes, so a brace or quote inside one
// does not disturb the count.
std::size_t own_member_value(std::string_view object, std::string_view key) {
  std::size_t position = skip_blanks(object, 0);
  if (position >= object.size() || object[position] != '{') return not_found;
  int depth = 0;
  for (; position < object.size(); ++position) {
    const char c = object[position];
    if (c == '"') {
      const std::size_t string_start = position + 1;
      std::size_t string_end = string_start;
      while (string_end < object.size() && object[string_end] != '"') {
        string_end += object[string_end] == '\\' ? std::size_t{2} : std::size_t{1};
      }
      if (string_end >= object.size()) return not_found;
      if (depth == 1 && object.substr(string_start, string_end - string_start) == key) {
        const std::size_t value = value_after_name(object, string_end + 1);
        if (value != not_found) return value;
      }
      position = string_end;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return not_found;  // the end of the object
    }
  }
  return not_found;
}

}  // namespace

std::string json_get(std::string_view text, std::string_view key) {
  const std::size_t value = any_member_value(text, key);
  return value == not_found ? std::string() : value_at(text, value);
}

std::int64_t json_get_int(std::string_view text, std::string_view key) {
  return parse_int_auto_base(json_get(text, key));
}

std::string json_get_member(std::string_view object, std::string_view key) {
  const std::size_t value = own_member_value(object, key);
  return value == not_found ? std::string() : value_at(object, value);
}

std::int64_t json_get_member_int(std::string_view object, std::string_view key) {
  return parse_int_auto_base(json_get_member(object, key));
}

namespace {

std::string_view own_member_opening_with(std::string_view object, std::string_view key, char opening) {
  const std::size_t value = own_member_value(object, key);
  if (value == not_found || value >= object.size() || object[value] != opening) return {};
  return object.substr(value);
}

}  // namespace

std::string_view json_member_object(std::string_view object, std::string_view key) {
  return own_member_opening_with(object, key, '{');
}

std::string_view json_member_array(std::string_view object, std::string_view key) {
  return own_member_opening_with(object, key, '[');
}

std::int64_t parse_int_auto_base(std::string_view text) {
  // strtoll needs a terminated text; long long is 64 bits on every platform we build for.
  const std::string terminated(text);
  return static_cast<std::int64_t>(std::strtoll(terminated.c_str(), nullptr, 0));
}
