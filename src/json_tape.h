// A fast reading of JSON text for the large core replies: the text is parsed
// into a flat list of nodes that point into it, with no value built and no
// string copied unless it holds escapes.
//
// The tape takes what json::parse takes, short of texts of 2 GiB and more,
// and reads every value exactly as json::parse would: integers past 64 bits
// as doubles, "-0" as 0, a repeated key keeping its last value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "buffer.h"
#include "json.h"
#include "server_limits.h"

namespace json {

// Numbers as json::parse reads them: an unsigned integer, a signed one, or
// a double when the token has a fraction or exponent or overflows 64 bits.
enum class NumberKind : std::uint8_t { Unsigned, Signed, Double };

class Tape {
 public:
  enum class Kind : std::uint8_t { Null, False, True, Number, String, Array, Object };
  static constexpr std::uint32_t kNone = UINT32_MAX;

  struct Node {
    const char* text;      // String: its bytes, unescaped; Number: its token
    std::uint32_t length;  // of `text`
    std::uint32_t end;     // index one past this node's subtree
    Kind kind;
    NumberKind number;  // of a Number
  };

  // Node lengths are 32-bit, so texts of limits::kMaxText bytes are declined.
  static_assert(limits::kMaxText < kNone);

  // Parses `text` (valid UTF-8) as one JSON value with only JSON white space
  // around it, nested limits::kMaxDepth deep at most. Strings point into
  // `text`, which must stay alive and unchanged while the tape is read.
  // False when the text is not that, or is limits::kMaxText bytes or more.
  bool parse(char* text, std::size_t size);

  // Why the last parse() declined its text: what was wrong, at which byte
  // (counted from 0).
  struct Fault {
    std::size_t at = 0;
    std::string_view what;
  };
  const Fault& fault() const { return fault_; }

  const Node& operator[](std::uint32_t i) const { return nodes_[i]; }
  std::uint32_t root() const { return 0; }

  // The member `key` of object node `object` (the last one when the key is
  // repeated), or kNone when `object` is kNone, not an object or lacks it.
  std::uint32_t find(std::uint32_t object, std::string_view key) const;
  // find() for several non-empty keys in one pass over the members: found[i]
  // is the member named keys[i], or kNone.
  void find_all(std::uint32_t object, const std::string_view* keys, std::size_t count,
                std::uint32_t* found) const;
  // The members of object node `object` (none for another node) sorted by
  // key, stably, of a repeated key only the last: as a JSON value holds them.
  std::vector<std::pair<std::string_view, std::uint32_t>> sorted_members(
      std::uint32_t object) const;
  // The first child of an array or object node; members are key, value.
  std::uint32_t first_child(std::uint32_t node) const { return node + 1; }

  bool is(std::uint32_t node, Kind kind) const {
    return node != kNone && nodes_[node].kind == kind;
  }
  std::string_view string(std::uint32_t node) const {
    return {nodes_[node].text, nodes_[node].length};
  }
  // The value of a number written as a plain integer in 0 .. 2^64-1.
  std::optional<std::uint64_t> uint_value(std::uint32_t node) const;

  // String node `node`'s bytes, handed over to be rewritten in place (a body
  // decoded where it was read). The node reads as null from then on: what
  // the rewrite leaves there is no longer the reply's string.
  std::span<char> take_string(std::uint32_t node);

  // The node as a JSON value, exactly as json::parse reads it.
  Json to_json(std::uint32_t node) const;

  // Gives back storage grown past `limit` bytes; true when it did.
  bool release_if_over(std::size_t limit);

 private:
  bool parse_string(const char*& p, const char* end);
  bool parse_number(const char*& p, const char* end);
  bool fail(const char* at, std::string_view what);

  std::vector<Node> nodes_;
  std::vector<std::uint32_t> open_;  // containers not yet closed
  Buffer unescaped_;                 // strings that held escapes
  const char* text_ = nullptr;       // of the last parse()
  Fault fault_;
};

// Sorts (key, node) pairs by key, stably, keeping of each key only the last.
template <class Key>
void sort_keeping_last(std::vector<std::pair<Key, std::uint32_t>>& members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  auto last = std::unique(members.rbegin(), members.rend(),
                          [](const auto& a, const auto& b) { return a.first == b.first; });
  members.erase(members.begin(), last.base());
}

NumberKind number_kind(std::string_view token);
// The token's double value (json::parse uses the same conversion).
double number_double(std::string_view token);

// The first byte in [p, end) that a JSON string must escape or that ends
// it: a quotation mark, a backslash or a control character; `end` if none.
const char* find_special(const char* p, const char* end);

// What each byte of a string becomes in JSON text, escaped once (a string of
// a response line) or twice (a string inside the pretty text that a response
// line carries as a string): empty for the bytes that stay as they are.
struct Escapes {
  char text[256][8] = {};
  std::uint8_t size[256] = {};
  constexpr std::string_view operator[](unsigned char c) const { return {text[c], size[c]}; }
};
constexpr Escapes make_escapes(int times) {
  // The bytes with a short escape, each followed by the letter of its escape.
  constexpr std::string_view kShort = "\"\"\\\\\bb\ff\nn\rr\tt";
  constexpr char kHex[] = "0123456789abcdef";
  Escapes e;
  for (int c = 0; c < 256; ++c) {
    char once[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};  // the escape in JSON text
    std::size_t size = c < 0x20 ? sizeof once : 0;
    for (std::size_t at = 0; at < kShort.size(); at += 2) {
      if (kShort[at] == c) once[1] = kShort[at + 1], size = 2;
    }
    for (std::size_t i = 0; i < size; ++i) {
      if (times == 2 && (once[i] == '\\' || once[i] == '"')) e.text[c][e.size[c]++] = '\\';
      e.text[c][e.size[c]++] = once[i];
    }
  }
  return e;
}
inline constexpr Escapes kEscapedOnce = make_escapes(1);
inline constexpr Escapes kEscapedTwice = make_escapes(2);

}  // namespace json
