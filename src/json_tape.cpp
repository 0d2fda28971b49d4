#include "json_tape.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace json {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const char* skip_space(const char* p, const char* end) {
  while (p < end && is_space(*p)) ++p;
  return p;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at `p` (at least four bytes readable), or -1.
long hex4(const char* p) {
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hex_value(p[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

char* put_utf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

NumberKind number_kind(std::string_view token) {
  for (char c : token) {
    if (c == '.' || c == 'e' || c == 'E') return NumberKind::Double;
  }
  const char* first = token.data();
  const char* last = first + token.size();
  if (*first == '-') {
    std::int64_t value;
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last ? NumberKind::Signed : NumberKind::Double;
  }
  if (token.size() < 20) return NumberKind::Unsigned;  // 19 digits always fit
  std::uint64_t value;
  auto [ptr, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && ptr == last ? NumberKind::Unsigned : NumberKind::Double;
}

double number_double(std::string_view token) {
  std::string copy(token);  // strtod wants the end marked
  return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

bool Tape::parse_number(const char*& p, const char* end) {
  const char* start = p;
  if (*p != '-' && !is_digit(*p)) return fail(p, "unexpected character");
  if (*p == '-') ++p;
  if (p == end || !is_digit(*p)) return fail(start, "invalid number");
  if (*p == '0') {
    ++p;
  } else {
    while (p < end && is_digit(*p)) ++p;
  }
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return fail(start, "invalid number");
    while (p < end && is_digit(*p)) ++p;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return fail(start, "invalid number");
    while (p < end && is_digit(*p)) ++p;
  }
  std::string_view token(start, static_cast<std::size_t>(p - start));
  NumberKind kind = number_kind(token);
  // JSON numbers are read as doubles when they are not 64-bit integers; one
  // beyond a double's range cannot be.
  if (kind == NumberKind::Double && !std::isfinite(number_double(token))) {
    return fail(start, "number out of range");
  }
  nodes_.push_back({start, static_cast<std::uint32_t>(token.size()),
                    static_cast<std::uint32_t>(nodes_.size() + 1), Kind::Number, kind});
  return true;
}

bool Tape::parse_string(const char*& p, const char* end) {
  const char* quote = p;
  const char* start = ++p;  // past the opening quote
  const char* stop = find_special(start, end);
  if (stop == end) return fail(quote, "unterminated string");
  if (*stop == '"') {
    nodes_.push_back({start,
                      static_cast<std::uint32_t>(stop - start),
                      static_cast<std::uint32_t>(nodes_.size() + 1),
                      Kind::String,
                      {}});
    p = stop + 1;
    return true;
  }
  // Escapes: unescape into storage sized for the whole text at the first
  // one, so that strings already stored never move.
  if (unescaped_.empty()) unescaped_.reserve_more(static_cast<std::size_t>(end - start));
  char* out_start = unescaped_.data() + unescaped_.size();
  char* out = out_start;
  const char* s = start;
  for (;;) {
    stop = find_special(s, end);
    if (stop == end) return fail(quote, "unterminated string");
    std::memcpy(out, s, static_cast<std::size_t>(stop - s));
    out += stop - s;
    if (*stop == '"') break;
    if (*stop != '\\') return fail(stop, "control character in string");
    if (end - stop < 2) return fail(quote, "unterminated string");
    char c = stop[1];
    s = stop + 2;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        *out++ = c;
        break;
      case 'b':
        *out++ = '\b';
        break;
      case 'f':
        *out++ = '\f';
        break;
      case 'n':
        *out++ = '\n';
        break;
      case 'r':
        *out++ = '\r';
        break;
      case 't':
        *out++ = '\t';
        break;
      case 'u': {
        if (end - s < 4 || hex4(s) < 0) return fail(stop, "invalid \\u escape");
        long cp = hex4(s);
        s += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(stop, "lone surrogate in \\u escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (end - s < 6 || s[0] != '\\' || s[1] != 'u') {
            return fail(stop, "lone surrogate in \\u escape");
          }
          long low = hex4(s + 2);
          if (low < 0xDC00 || low > 0xDFFF) return fail(stop, "lone surrogate in \\u escape");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          s += 6;
        }
        out = put_utf8(out, static_cast<std::uint32_t>(cp));
        break;
      }
      default:
        return fail(stop, "invalid escape in string");
    }
  }
  auto length = static_cast<std::size_t>(out - out_start);
  unescaped_.commit(length);
  nodes_.push_back({out_start,
                    static_cast<std::uint32_t>(length),
                    static_cast<std::uint32_t>(nodes_.size() + 1),
                    Kind::String,
                    {}});
  p = stop + 1;
  return true;
}

bool Tape::fail(const char* at, std::string_view what) {
  fault_ = {static_cast<std::size_t>(at - text_), what};
  return false;
}

bool Tape::parse(char* text, std::size_t size) {
  nodes_.clear();
  open_.clear();
  unescaped_.clear();
  text_ = text;
  if (size >= limits::kMaxText) return fail(text, "text too long");
  const char* p = skip_space(text, text + size);
  const char* end = text + size;
  bool expect_key = false;  // inside an object, where a key comes next
  for (;;) {
    // A value (or, after "{" or ",", a key and its colon first).
    if (p == end) return fail(p, "unexpected end of text");
    if (expect_key) {
      if (*p != '"') return fail(p, "expected a string key");
      if (!parse_string(p, end)) return false;
      p = skip_space(p, end);
      if (p == end || *p != ':') return fail(p, "expected ':'");
      p = skip_space(p + 1, end);
      if (p == end) return fail(p, "unexpected end of text");
      expect_key = false;
    }
    switch (*p) {
      case '{':
      case '[': {
        if (open_.size() == static_cast<std::size_t>(limits::kMaxDepth)) {
          static const std::string kTooDeep =
              "nesting deeper than " + std::to_string(limits::kMaxDepth) + " levels";
          return fail(p, kTooDeep);
        }
        bool object = *p == '{';
        auto index = static_cast<std::uint32_t>(nodes_.size());
        nodes_.push_back({nullptr, 0, index + 1, object ? Kind::Object : Kind::Array, {}});
        p = skip_space(p + 1, end);
        if (p < end && *p == (object ? '}' : ']')) {
          ++p;
          break;  // empty: a complete value
        }
        open_.push_back(index);
        expect_key = object;
        continue;
      }
      case '"':
        if (!parse_string(p, end)) return false;
        break;
      case 't':
      case 'f':
      case 'n': {
        static constexpr std::string_view kWords[] = {"true", "false", "null"};
        static constexpr Kind kKinds[] = {Kind::True, Kind::False, Kind::Null};
        std::size_t w = *p == 't' ? 0 : *p == 'f' ? 1 : 2;
        if (static_cast<std::size_t>(end - p) < kWords[w].size() ||
            std::memcmp(p, kWords[w].data(), kWords[w].size()) != 0) {
          return fail(p, "invalid literal");
        }
        p += kWords[w].size();
        nodes_.push_back(
            {nullptr, 0, static_cast<std::uint32_t>(nodes_.size() + 1), kKinds[w], {}});
        break;
      }
      default:
        if (!parse_number(p, end)) return false;
        break;
    }
    // After a complete value: close what ends here, then a comma or the end.
    for (;;) {
      p = skip_space(p, end);
      if (open_.empty()) return p == end || fail(p, "unexpected character after the value");
      if (p == end) return fail(p, "unexpected end of text");
      Node& container = nodes_[open_.back()];
      bool object = container.kind == Kind::Object;
      if (*p == ',') {
        p = skip_space(p + 1, end);
        expect_key = object;
        break;
      }
      if (*p != (object ? '}' : ']'))
        return fail(p, object ? "expected ',' or '}'" : "expected ',' or ']'");
      ++p;
      container.end = static_cast<std::uint32_t>(nodes_.size());
      open_.pop_back();
    }
  }
}

std::uint32_t Tape::find(std::uint32_t object, std::string_view key) const {
  if (!is(object, Kind::Object)) return kNone;
  std::uint32_t found = kNone;
  for (std::uint32_t k = object + 1; k < nodes_[object].end; k = nodes_[k + 1].end) {
    if (string(k) == key) found = k + 1;
  }
  return found;
}

void Tape::find_all(std::uint32_t object, const std::string_view* keys, std::size_t count,
                    std::uint32_t* found) const {
  std::fill(found, found + count, kNone);
  if (!is(object, Kind::Object)) return;
  for (std::uint32_t k = object + 1; k < nodes_[object].end; k = nodes_[k + 1].end) {
    std::string_view name = string(k);
    if (name.empty()) continue;
    for (std::size_t i = 0; i < count; ++i) {
      // Length and first byte rule out most keys without a call.
      if (keys[i].size() == name.size() && keys[i][0] == name[0] && keys[i] == name) {
        found[i] = k + 1;
      }
    }
  }
}

std::vector<std::pair<std::string_view, std::uint32_t>> Tape::sorted_members(
    std::uint32_t object) const {
  std::vector<std::pair<std::string_view, std::uint32_t>> members;
  if (!is(object, Kind::Object)) return members;
  for (std::uint32_t k = object + 1; k < nodes_[object].end; k = nodes_[k + 1].end) {
    members.emplace_back(string(k), k + 1);
  }
  sort_keeping_last(members);
  return members;
}

std::optional<std::uint64_t> Tape::uint_value(std::uint32_t node) const {
  if (!is(node, Kind::Number)) return std::nullopt;
  if (nodes_[node].number != NumberKind::Unsigned) return std::nullopt;
  std::string_view token(nodes_[node].text, nodes_[node].length);
  std::uint64_t value = 0;
  std::from_chars(token.data(), token.data() + token.size(), value);
  return value;
}

std::span<char> Tape::take_string(std::uint32_t node) {
  Node& n = nodes_[node];
  n.kind = Kind::Null;
  // parse() was handed writable text, and unescaped strings are our own.
  return {const_cast<char*>(n.text), n.length};
}

std::int64_t Tape::int_value(std::uint32_t node) const {
  std::int64_t value = 0;
  std::from_chars(nodes_[node].text, nodes_[node].text + nodes_[node].length, value);
  return value;
}

double Tape::double_value(std::uint32_t node) const {
  return number_double({nodes_[node].text, nodes_[node].length});
}

bool Tape::release_if_over(std::size_t limit) {
  bool released = unescaped_.release_if_over(limit);
  if (nodes_.capacity() * sizeof(Node) > limit) {
    std::vector<Node>().swap(nodes_);
    released = true;
  }
  return released;
}

}  // namespace json
