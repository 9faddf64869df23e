#include "support/test_support.h"

#include "support/platform.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace test_support {

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  }
  return bytes;
}

std::string to_hex(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = open_command_pipe(command.c_str());
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  std::size_t count = 0;
  while ((count = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), count);
  result.exit_code = close_command_pipe(pipe);
  return result;
}

TemporaryFile::TemporaryFile(std::string_view contents, std::string_view suffix) {
  std::random_device random;
  path = std::filesystem::temp_directory_path() /
         ("veltrane-test-" + std::to_string(getpid()) + "-" + std::to_string(random()) + std::string(suffix));
  std::ofstream out(path, std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

TemporaryFile::~TemporaryFile() {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

TemporaryDirectory::TemporaryDirectory() {
  std::random_device random;
  path = std::filesystem::temp_directory_path() /
         ("veltrane-miner-test-" + std::to_string(getpid()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path);
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::filesystem::path miner_cache_home() {
  const std::filesystem::path folder = std::filesystem::path(VELTRANE_BINARY_DIR) / "test-cache";
  std::filesystem::create_directories(folder);
  return folder;
}

std::optional<std::filesystem::path> fixtures_dir() {
  const std::filesystem::path dir = VELTRANE_FIXTURES_DIR;
  if (std::filesystem::is_directory(dir)) return dir;
  return std::nullopt;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

namespace {

struct JsonParser {
  std::string_view text;
  std::size_t position = 0;

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(position));
  }

  void skip_blanks() {
    while (position < text.size() && std::string_view(" \t\r\n").find(text[position]) != std::string_view::npos) {
      ++position;
    }
  }

  bool consume(std::string_view word) {
    if (text.substr(position, word.size()) != word) return false;
    position += word.size();
    return true;
  }

  std::string parse_string() {
    ++position;  // opening quote
    std::string value;
    while (true) {
      if (position >= text.size()) fail("unterminated string");
      const char c = text[position++];
      if (c == '"') return value;
      if (c != '\\') {
        value += c;
        continue;
      }
      if (position >= text.size()) fail("unterminated escape");
      const char escaped = text[position++];
      switch (escaped) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case '"': case '\\': case '/': value += escaped; break;
        default: fail("unsupported escape");  // \u never occurs in the fixtures
      }
    }
  }

  JsonValue parse_value() {
    skip_blanks();
    if (position >= text.size()) fail("unexpected end");
    JsonValue value;
    const char c = text[position];
    if (c == '[') {
      value.kind = JsonValue::Kind::array;
      ++position;
      skip_blanks();
      if (consume("]")) return value;
      while (true) {
        value.items.push_back(parse_value());
        skip_blanks();
        if (consume("]")) return value;
        if (!consume(",")) fail("expected , or ]");
      }
    }
    if (c == '"') {
      value.kind = JsonValue::Kind::string;
      value.text = parse_string();
    } else if (consume("true")) {
      value.kind = JsonValue::Kind::boolean;
      value.boolean = true;
    } else if (consume("false")) {
      value.kind = JsonValue::Kind::boolean;
    } else if (consume("null")) {
      value.kind = JsonValue::Kind::null;
    } else {
      const std::size_t start = position;
      while (position < text.size() && std::string_view("+-.0123456789eE").find(text[position]) != std::string_view::npos) {
        ++position;
      }
      if (position == start) fail("unexpected character");
      value.kind = JsonValue::Kind::number;
      value.number = std::stod(std::string(text.substr(start, position - start)));
    }
    return value;
  }
};

}  // namespace

JsonValue parse_json(std::string_view text) {
  JsonParser parser{text};
  JsonValue value = parser.parse_value();
  parser.skip_blanks();
  if (parser.position != text.size()) parser.fail("trailing characters");
  return value;
}

}  // namespace test_support
