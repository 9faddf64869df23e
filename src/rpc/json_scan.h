#pragma once
// A small scanner for the node's JSON replies: the raw value of the first occurrence of a member.
// It builds no tree and does not validate; callers narrow the text first where that matters.

#include <cstdint>
#include <string>
#include <string_view>

// Raw value of the first member named key in the text, found at any depth. Only a member name
// counts: the quoted key followed by optional blanks and a colon, so the same word as a string
// value (in an array, say) is passed over. A string value comes back without its quotes and with
// backslash sequences untouched (a backslash does not protect a quote); any other value runs up
// to the first of ",}] \t\n\r", so null, true and false come back as words and numbers in their
// written form. Empty when the member or the closing quote is missing, and for an empty string.
std::string json_get(std::string_view text, std::string_view key);

// json_get read as parse_int_auto_base reads; 0 when the value is missing or empty.
std::int64_t json_get_int(std::string_view text, std::string_view key);

// Like json_get, but only the object's own members count: the text must start (after blanks)
// with the object's "{", and members of the objects and arrays nested in it are passed over.
std::string json_get_member(std::string_view object, std::string_view key);
std::int64_t json_get_member_int(std::string_view object, std::string_view key);

// The object's own member whose value is an object: the text from that value's "{" to the end
// of the text, ready for json_get_member. Empty when there is no such member or its value is
// not an object (null, a string, a number).
std::string_view json_member_object(std::string_view object, std::string_view key);
// The same for an own member whose value is an array: the text from its "[" to the end.
std::string_view json_member_array(std::string_view object, std::string_view key);

// Reads a signed 64-bit integer the way strtoll with base 0 does: leading white space, an
// optional sign, "0x"/"0X" for hexadecimal, a leading "0" for octal, else decimal. Reading stops
// at the first character that is not a digit of the base; no digits give 0; values outside the
// 64-bit range give the nearest limit.
std::int64_t parse_int_auto_base(std::string_view text);
