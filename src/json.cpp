#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "json_tape.h"

namespace json {
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

// `s` with every byte that starts no valid sequence replaced by U+FFFD, so
// that no stray byte ever reaches the output.
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

// The character at `at` (`text` being UTF-8) as a message shows it: quoted
// when it is visible ASCII, else as its code point, since white space and
// marks outside ASCII look like nothing at all.
std::string shown(std::string_view text, std::size_t at) {
  if (at >= text.size()) return {};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (s[at] > 0x20 && s[at] < 0x7F) return std::string(" '") + text[at] + "'";
  std::size_t len = std::max<std::size_t>(sequence_length(s, text.size(), at), 1);
  char32_t c = len == 1 ? s[at] : s[at] & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (s[at + k] & 0x3F);
  char hex[16];
  std::snprintf(hex, sizeof hex, " U+%04X", static_cast<unsigned>(c));
  return hex;
}

}  // namespace

Result<Json, std::string> parse(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = sequence_length(s, text.size(), i);
    if (len == 0) return Err{"invalid UTF-8 (at byte " + std::to_string(i + 1) + ")"};
    i += len;
  }
  std::string copy(text);  // the tape reads its text in place
  Tape tape;
  if (!tape.parse(copy.data(), copy.size())) {
    const Tape::Fault& fault = tape.fault();
    std::string message(fault.what);
    // Name the character, never more of the line: a message stays short
    // whatever the input.
    constexpr std::string_view kUnexpected = "unexpected character";
    if (message.starts_with(kUnexpected)) message.insert(kUnexpected.size(), shown(text, fault.at));
    return Err{message + " (at byte " + std::to_string(fault.at + 1) + ")"};
  }
  return value_of(tape, tape.root());
}

Json value_of(const Tape& tape, std::uint32_t node) {
  const Tape::Node& n = tape[node];
  switch (n.kind) {
    case Tape::Kind::Null:
      return nullptr;
    case Tape::Kind::False:
      return false;
    case Tape::Kind::True:
      return true;
    case Tape::Kind::String:
      return std::string(tape.string(node));
    case Tape::Kind::Number:
      switch (n.number) {
        case NumberKind::Unsigned:
          return *tape.uint_value(node);
        case NumberKind::Signed:
          return tape.int_value(node);
        case NumberKind::Double:
          return tape.double_value(node);
      }
      return nullptr;
    case Tape::Kind::Array: {
      Json array = Json::array();
      for (std::uint32_t c = tape.first_child(node); c < n.end; c = tape[c].end) {
        array.push_back(value_of(tape, c));
      }
      return array;
    }
    case Tape::Kind::Object: {
      Json object = Json::object();
      // Assigning in order lets a repeated key keep its last value.
      for (std::uint32_t k = node + 1; k < n.end; k = tape[k + 1].end) {
        object[std::string(tape.string(k))] = value_of(tape, k + 1);
      }
      return object;
    }
  }
  return nullptr;
}

namespace {

// Only the quotation mark, the backslash and control characters are escaped;
// everything else, non-ASCII included, is written as it is.
void append_escaped(std::string& out, std::string_view text) {
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p < end;) {
    const char* stop = find_special(p, end);
    out.append(p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    out += kEscapedOnce[static_cast<unsigned char>(*stop)];
    p = stop + 1;
  }
}

void write_string(std::string& out, std::string_view text) {
  if (!is_utf8(text)) return write_string(out, sanitized(text));
  out += '"';
  append_escaped(out, text);
  out += '"';
}

template <class Integer>
void write_integer(std::string& out, Integer value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void write_value(std::string& out, const Json& value) {
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
        write_string(out, it.key());
        out += ':';
        write_value(out, it.value());
      }
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
        write_value(out, element);
      }
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
      out += double_text(value.get<double>());
      return;
    default:
      out += "null";  // null, and kinds that parsing never produces
      return;
  }
}

}  // namespace

std::string compact(const Json& value) {
  std::string text;
  write_value(text, value);
  return text;
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

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
