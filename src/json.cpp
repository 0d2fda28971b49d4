#include "json.h"

#include <cstring>

namespace json {
namespace {

// Finds what the parser must not see: nesting deeper than kMaxDepth (so it
// never builds such a value) and NUL bytes (which it would take for the end of
// the text, ignoring whatever follows). Returns the message for the first.
std::optional<std::string> prescan_fault(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\0') return "unexpected NUL byte (at byte " + std::to_string(i + 1) + ")";
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) {
        return "nesting deeper than " + std::to_string(kMaxDepth) + " levels (at byte " +
               std::to_string(i + 1) + ")";
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::nullopt;
}

// The parser's own words without its exception tag and line/column preamble,
// followed by the byte where it stopped.
std::string describe(const Json::parse_error& e) {
  std::string what = e.what();
  auto pos = what.find(": ");
  std::string detail = pos == std::string::npos ? what : what.substr(pos + 2);
  return detail + " (at byte " + std::to_string(e.byte) + ")";
}

}  // namespace

Result<Json, std::string> parse(std::string_view text) {
  // The parser would skip a byte order mark; the protocol allows only the four
  // JSON white space characters around a value.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return Err{std::string("unexpected byte order mark (at byte 1)")};
  }
  if (auto fault = prescan_fault(text)) return Err{std::move(*fault)};
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    return Err{describe(e)};
  } catch (const Json::exception& e) {
    return Err{std::string(e.what())};
  }
}

namespace {

// An upper bound on the written size of a string, escapes included.
std::size_t written_size(const std::string& s) {
  std::size_t size = s.size() + 2;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      size += 1;
    } else if (c < 0x20) {
      size += 5;
    }
  }
  return size;
}

// An upper bound on the written size of `value`, so that the text can be
// allocated once: a tool result can carry a body of several megabytes, and
// letting the text grow by doubling would copy it again and again.
std::size_t written_size(const Json& value, std::size_t indent, std::size_t depth) {
  std::size_t line = indent ? 1 + indent * (depth + 1) : 0;  // line break and indentation
  switch (value.type()) {
    case Json::value_t::string:
      return written_size(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      std::size_t size = 2 + line;
      for (const Json& element : value) size += line + 1 + written_size(element, indent, depth + 1);
      return size;
    }
    case Json::value_t::object: {
      std::size_t size = 2 + line;
      for (auto it = value.begin(); it != value.end(); ++it) {
        size += line + 3 + written_size(it.key()) + written_size(it.value(), indent, depth + 1);
      }
      return size;
    }
    default:
      return 32;  // null, booleans and numbers
  }
}

std::string dump(const Json& value, int indent) {
  std::string text;
  text.reserve(written_size(value, indent < 0 ? 0 : static_cast<std::size_t>(indent), 0));
  nlohmann::detail::serializer<Json> writer(
      nlohmann::detail::output_adapter<char, std::string>(text), ' ',
      Json::error_handler_t::replace);
  writer.dump(value, indent >= 0, false, indent < 0 ? 0 : static_cast<unsigned>(indent));
  return text;
}

}  // namespace

std::string compact(const Json& value) {
  return dump(value, -1);
}

std::string pretty(const Json& value) {
  return dump(value, 2);
}

bool is_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Fast path: eight ASCII bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // no overlong forms
      if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

bool is_uint(const Json& value) {
  return value.is_number_unsigned();
}

const Json* find(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

Json get_or(const Json& object, std::string_view key, Json fallback) {
  const Json* member = find(object, key);
  return member ? *member : std::move(fallback);
}

}  // namespace json
