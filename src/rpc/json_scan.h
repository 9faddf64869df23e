#pragma once
// A small scanner for the node's JSON replies: the raw value of the first occurrence of a key.
// It builds no tree and does not validate; callers narrow the text first where that matters.

#include <cstdint>
#include <string>
#include <string_view>

// Raw value of the first "key" in the text, found at any depth and also inside string values.
// A string value comes back without its quotes and with backslash sequences untouched (a
// backslash does not protect a quote); any other value runs up to the first of ",}] \t\n\r",
// so null, true and false come back as words and numbers in their written form. Empty when the
// key, its colon or the closing quote is missing, and for an empty string.
std::string json_get(std::string_view text, std::string_view key);

// json_get read as parse_int_auto_base reads; 0 when the value is missing or empty.
std::int64_t json_get_int(std::string_view text, std::string_view key);

// Reads a signed 64-bit integer the way strtoll with base 0 does: leading white space, an
// optional sign, "0x"/"0X" for hexadecimal, a leading "0" for octal, else decimal. Reading stops
// at the first character that is not a digit of the base; no digits give 0; values outside the
// 64-bit range give the nearest limit.
std::int64_t parse_int_auto_base(std::string_view text);
