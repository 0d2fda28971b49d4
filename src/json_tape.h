// The reading of every JSON text the programs take in: the text is parsed
// into a flat list of nodes that point into it, with no value built and no
// string copied unless it holds escapes.
//
// Integers past 64 bits read as doubles, "-0" as 0, and of a repeated key the
// last value counts. Texts of 2 GiB and more are declined.
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
#include "json_escapes.h"
#include "server_limits.h"
#include "sorted_members.h"

namespace json {

// Numbers as they are read: an unsigned integer, a signed one, or a double
// when the token has a fraction or exponent or overflows 64 bits.
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
  // The value of a Signed number node, and of any number node as a double.
  std::int64_t int_value(std::uint32_t node) const;
  double double_value(std::uint32_t node) const;

  // String node `node`'s bytes, handed over to be rewritten in place (a body
  // decoded where it was read). The node reads as null from then on: what
  // the rewrite leaves there is no longer the reply's string.
  std::span<char> take_string(std::uint32_t node);

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

}  // namespace json
