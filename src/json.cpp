#include "json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace json {
namespace {

// Finds what the parser must not see: nesting deeper than limits::kMaxDepth (so
// it never builds such a value) and NUL bytes (which it would take for the end
// of the text, ignoring whatever follows). Returns the message for the first.
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
      if (++depth > limits::kMaxDepth) {
        return "nesting deeper than " + std::to_string(limits::kMaxDepth) + " levels (at byte " +
               std::to_string(i + 1) + ")";
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::nullopt;
}

// `detail` with the quoted token after "last read: '" cut to limits::kMaxQuote
// bytes at a character boundary, marked as cut. The parser quotes the token it
// last read, which can be a whole unterminated string.
std::string bounded_quote(std::string detail) {
  constexpr std::string_view kLastRead = "last read: '";
  auto open = detail.find(kLastRead);
  if (open == std::string::npos) return detail;
  std::size_t start = open + kLastRead.size();
  std::size_t close = detail.rfind('\'');
  if (close == std::string::npos || close < start || close - start <= limits::kMaxQuote)
    return detail;
  std::size_t cut = start + limits::kMaxQuote;
  while (cut > start && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;
  return detail.substr(0, cut) + "...' (cut)" + detail.substr(close + 1);
}

// The parser's own words without its exception tag and line/column preamble,
// followed by the byte where it stopped.
std::string describe(const Json::parse_error& e) {
  std::string what = e.what();
  auto pos = what.find(": ");
  std::string detail = pos == std::string::npos ? what : what.substr(pos + 2);
  return bounded_quote(std::move(detail)) + " (at byte " + std::to_string(e.byte) + ")";
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
    // A number too large for a double: the message quotes it, so point at it.
    std::string what = e.what();
    auto tag_end = what.find("] ");
    std::string detail = tag_end == std::string::npos ? what : what.substr(tag_end + 2);
    auto open = detail.find('\''), close = detail.rfind('\'');
    if (open != std::string::npos && close > open) {
      auto at = text.find(detail.substr(open + 1, close - open - 1));
      if (at != std::string_view::npos) detail += " (at byte " + std::to_string(at + 1) + ")";
    }
    return Err{std::move(detail)};
  }
}

namespace {

// The length of the UTF-8 sequence at `i`, or 0 when none starts there: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t sequence_length(const unsigned char* s, std::size_t n, std::size_t i) {
  unsigned char c = s[i];
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
  }
  return len;
}

// `s` with every byte that starts no valid sequence replaced by U+FFFD. Only
// a parser message quoting part of a line can hold such bytes.
std::string sanitized(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = sequence_length(s, text.size(), i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  return out;
}

// Only the quotation mark, the backslash and control characters are escaped;
// everything else, non-ASCII included, is written as it is.
void write_string(std::string& out, std::string_view text) {
  if (!is_utf8(text)) return write_string(out, sanitized(text));
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(text.substr(plain));
  out += '"';
}

template <class Integer>
void write_integer(std::string& out, Integer value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void write_double(std::string& out, double value) {
  out += double_text(value);
}

void write_break(std::string& out, int indent, int depth) {
  if (indent <= 0) return;
  out += '\n';
  out.append(static_cast<std::size_t>(indent * depth), ' ');
}

void write_value(std::string& out, const Json& value, int indent, int depth) {
  switch (value.type()) {
    case Json::value_t::object: {
      if (value.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ',';
        first = false;
        write_break(out, indent, depth + 1);
        write_string(out, it.key());
        out += indent > 0 ? ": " : ":";
        write_value(out, it.value(), indent, depth + 1);
      }
      write_break(out, indent, depth);
      out += '}';
      return;
    }
    case Json::value_t::array: {
      if (value.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (const Json& element : value) {
        if (!first) out += ',';
        first = false;
        write_break(out, indent, depth + 1);
        write_value(out, element, indent, depth + 1);
      }
      write_break(out, indent, depth);
      out += ']';
      return;
    }
    case Json::value_t::string:
      write_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_unsigned:
      write_integer(out, value.get<std::uint64_t>());
      return;
    case Json::value_t::number_integer:
      write_integer(out, value.get<std::int64_t>());
      return;
    case Json::value_t::number_float:
      write_double(out, value.get<double>());
      return;
    default:
      out += "null";  // null, and kinds that parsing never produces
      return;
  }
}

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
  text.reserve(written_size(value, static_cast<std::size_t>(indent), 0));
  write_value(text, value, indent, 0);
  return text;
}

}  // namespace

std::string compact(const Json& value) {
  return dump(value, 0);
}

std::string pretty(const Json& value) {
  return dump(value, 2);
}

// The shortest digits that read back as the same double, laid out as
// 1000.0, 0.001234, 1e-7, 1.5e300: plain notation while the decimal point
// falls within 16 digits (or 5 zeros after it), else an exponent without
// padding or plus sign. Integral values keep a ".0" so they read back as
// doubles.
// The shortest digits that read back as the same double, laid out as
// 1000.0, 0.001234, 1e-7, 1.5e300: plain notation while the decimal point
// falls within 16 digits (or 5 zeros after it), else an exponent without
// padding or plus sign. Integral values keep a ".0" so they read back as
// doubles.
std::string double_text(double value) {
  std::string out;
  if (!std::isfinite(value)) {
    return "null";  // never parsed; JSON has no text for it
  }
  char buf[40];
  auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));  // -D.DDDe-XX
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  const int length = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  if (point >= length && point <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(point - length), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(point - 1);
  }
  return out;
}

bool is_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Fast path: ASCII, 32 and then 8 bytes at a time.
    while (i + 32 <= n) {
      std::uint64_t chunk[4];
      std::memcpy(chunk, s + i, 32);
      if (((chunk[0] | chunk[1] | chunk[2] | chunk[3]) & 0x8080808080808080ULL) != 0) break;
      i += 32;
    }
    if (i == n) break;
    if (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    std::size_t len = sequence_length(s, n, i);
    if (len == 0) return false;
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
