// The JSON value and the text rules every part of the program shares.
//
// Objects keep their keys in ascending byte order, integers keep their kind
// (unsigned, signed) and doubles print in their shortest round-trip form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "result.h"
#include "server_limits.h"

using Json = nlohmann::json;

namespace json {

class Tape;
// Node `node` of `tape` (and everything under it) as a JSON value.
Json value_of(const Tape& tape, std::uint32_t node);

// Parses `text` as exactly one JSON value, with only space, tab, line feed and
// carriage return around it, nested limits::kMaxDepth deep at most. On failure
// the error says what is wrong and at which byte of the text.
Result<Json, std::string> parse(std::string_view text);

// One line, no spaces: for JSON-RPC responses and core requests.
std::string compact(const Json& value);
// `text` (valid UTF-8) escaped as the contents of a JSON string, without its quotes.
std::string escaped(std::string_view text);

// A double in the shortest form that reads back as the same value, always
// with a fraction or an exponent (1000.0, 1e-7).
std::string double_text(double value);

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view bytes);

// The member `key` of `object`, or nullptr when `object` is not an object or
// has no such member. Never inserts.
const Json* find(const Json& object, std::string_view key);

// The member `key`, or `fallback` when it is missing (any type is returned).
Json get_or(const Json& object, std::string_view key, Json fallback);
}  // namespace json
