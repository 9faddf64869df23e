#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "rpc/json_scan.h"

namespace {

struct ScanCase {
  const char* name;
  const char* text;
  const char* key;
  const char* expected;
};

TEST(JsonScan, GetReturnsTheRawValueOfTheFirstMemberOfThatName) {
  const ScanCase cases[] = {
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
      // Only a member name counts, not the same word as a value.
      {"key only as a string value", R"({"x":"a","b":"second"})", "a", ""},
      {"key in an array before the member", R"({"mutable":["time","a"],"a":"member"})", "a", "member"},
      {"key as a value followed by a colon-free text", R"({"x":"a" ,"a" : "member"})", "a", "member"},
      {"nested occurrence wins", R"({"o":{"a":"inner"},"a":"outer"})", "a", "inner"},
      {"array of numbers", R"({"a":[1,2]})", "a", "[1"},
      {"empty array", R"({"a":[]})", "a", "["},
      {"object", R"({"a":{"code":-1,"m":2}})", "a", "{\"code\":-1"},
      {"case-sensitive key", R"({"A":"up","a":"low"})", "a", "low"},
      {"key needs its quotes", R"({"ab":"1","b":"2"})", "b", "2"},
  };
  for (const ScanCase& c : cases) EXPECT_EQ(json_get(c.text, c.key), c.expected) << c.name;
}

TEST(JsonScan, MemberLooksOnlyAtTheObjectsOwnMembers) {
  const ScanCase cases[] = {
      {"own member", R"({"a":"x"})", "a", "x"},
      {"nested object first", R"({"o":{"a":"inner"},"a":"outer"})", "a", "outer"},
      {"nested array of objects first", R"({"l":[{"a":1},[{"a":2}]],"a":3})", "a", "3"},
      {"only nested", R"({"o":{"a":"inner"}})", "a", ""},
      {"as a value only", R"({"x":"a","m":["a"]})", "a", ""},
      {"braces and quotes inside strings", R"({"s":"{\"a\":1}","t":"]}","a":"after"})", "a", "after"},
      {"blanks before the object and the colon", " \n{ \"a\" :\t7 }", "a", "7"},
      {"after the object ends", R"({"b":1},"a":2)", "a", ""},
      {"text that is not an object", R"(["a",{"a":1}])", "a", ""},
      {"unterminated name", R"({"a)", "a", ""},
      {"string rule kept for the value", R"({"a":"x\"y"})", "a", "x\\"},
  };
  for (const ScanCase& c : cases) EXPECT_EQ(json_get_member(c.text, c.key), c.expected) << c.name;

  EXPECT_EQ(json_get_member_int(R"({"o":{"height":1},"height":815000})", "height"), 815000);
  const std::string_view reply = R"({"id":{"result":{"a":1}},"result":{"a":2,"o":{}},"error":null})";
  EXPECT_EQ(json_member_object(reply, "result"), R"({"a":2,"o":{}},"error":null})");
  EXPECT_EQ(json_get_member(json_member_object(reply, "result"), "a"), "2");
  EXPECT_EQ(json_member_object(reply, "error"), "") << "null is not an object";
  EXPECT_EQ(json_member_object(R"({"result":null,"error":{"code":-9}})", "result"), "")
      << "a null result must not reach into the next member";
  EXPECT_EQ(json_member_object(R"({"result":"text"})", "result"), "");
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
