#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "rpc/json_scan.h"

namespace {

TEST(JsonScan, GetReturnsTheRawValueOfTheFirstOccurrence) {
  struct Case {
    const char* name;
    const char* text;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"string", R"({"a":"xyz"})", "a", "xyz"},
      {"missing key", R"({"a":1})", "b", ""},
      {"empty string", R"({"a":""})", "a", ""},
      {"null", R"({"a":null})", "a", "null"},
      {"true", R"({"a":true,"b":1})", "a", "true"},
      {"number before brace", R"({"a":42})", "a", "42"},
      {"number keeps sign, fraction, exponent", R"({"a":-1.5e3,"b":0})", "a", "-1.5e3"},
      {"runs to the end", R"({"a":12345)", "a", "12345"},
      {"blanks around the colon", "{\"a\" \r\n:\t \n \"v\"}", "a", "v"},
      {"blanks before a number", "{\"a\":\n  7\n}", "a", "7"},
      {"backslash does not protect a quote", R"({"a":"x\"y"})", "a", "x\\"},
      {"unterminated string", R"({"a":"xyz)", "a", ""},
      {"nothing after the colon", "{\"a\":   ", "a", ""},
      {"no colon", R"({"a")", "a", ""},
      {"text shorter than the key", "ab", "abc", ""},
      {"key as a string value first", R"({"x":"a","b":"second"})", "a", "second"},
      {"nested occurrence wins", R"({"o":{"a":"inner"},"a":"outer"})", "a", "inner"},
      {"array of numbers", R"({"a":[1,2]})", "a", "[1"},
      {"empty array", R"({"a":[]})", "a", "["},
      {"object", R"({"a":{"code":-1,"m":2}})", "a", "{\"code\":-1"},
      {"case-sensitive key", R"({"A":"up","a":"low"})", "a", "low"},
      {"key needs its quotes", R"({"ab":"1","b":"2"})", "b", "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_get(c.text, c.key), c.expected) << c.name;
}

TEST(JsonScan, GetIntReadsWithAutomaticBase) {
  struct Case {
    const char* text;
    std::int64_t expected;
  };
  const Case cases[] = {
      {R"({"n":12abc})", 12},
      {R"({"n":-5})", -5},
      {R"({"n":"0x1f"})", 31},
      {R"({"n":"0X1F"})", 31},
      {R"({"n":010})", 8},
      {R"({"n":1.5})", 1},
      {R"({"n":+7})", 7},
      {R"({"n":"  42"})", 42},
      {R"({"n":"-0x10"})", -16},
      {R"({"n":089})", 0},  // octal stops at 8
      {R"({"n":null})", 0},
      {R"({"n":""})", 0},
      {R"({"m":5})", 0},
      {R"({"n":abc})", 0},
      {R"({"n":9223372036854775807})", std::numeric_limits<std::int64_t>::max()},
      {R"({"n":9223372036854775808})", std::numeric_limits<std::int64_t>::max()},
      {R"({"n":-9223372036854775809})", std::numeric_limits<std::int64_t>::min()},
      {R"({"n":1700000000000})", 1700000000000},
  };
  for (const Case& c : cases) EXPECT_EQ(json_get_int(c.text, "n"), c.expected) << c.text;
}

}  // namespace
