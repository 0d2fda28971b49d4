#include "embedded_pretty.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>

namespace json {
namespace {

// A line break of the pretty text is the two characters \n in the response.
constexpr std::string_view kBreak = "\\n";

// Appends `text` escaped twice: as a JSON string's contents, and that again.
void append_escaped_twice(Buffer& out, std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  out.reserve_more(text.size() + text.size() / 8 + 16);
  while (p < end) {
    const char* stop = find_special(p, end);
    out.append(std::string_view(p, static_cast<std::size_t>(stop - p)));
    if (stop == end) break;
    out.append(kEscapedTwice[static_cast<unsigned char>(*stop)]);
    p = stop + 1;
  }
}

}  // namespace

void EmbeddedPretty::line_break(std::size_t depth) {
  std::size_t spaces = 2 * depth;
  char* at = out_.reserve_more(kBreak.size() + spaces);
  std::memcpy(at, kBreak.data(), kBreak.size());
  std::memset(at + kBreak.size(), ' ', spaces);
  out_.commit(kBreak.size() + spaces);
}

void EmbeddedPretty::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (empty_.empty()) return;  // the top-level value
  if (!empty_.back()) out_.append(',');
  empty_.back() = 0;
  line_break(empty_.size());
}

void EmbeddedPretty::open(char bracket) {
  before_value();
  out_.append(bracket);
  empty_.push_back(1);
}

void EmbeddedPretty::close(char bracket) {
  bool was_empty = empty_.back();
  empty_.pop_back();
  if (!was_empty) line_break(empty_.size());
  out_.append(bracket);
}

void EmbeddedPretty::reply_key(std::string_view name) {
  write_key(name,
            find_special(name.data(), name.data() + name.size()) != name.data() + name.size());
}

void EmbeddedPretty::write_key(std::string_view name, bool escape) {
  // The comma, line break, indentation and key in one go: this runs for
  // every member of every flow.
  std::size_t spaces = 2 * empty_.size();
  char* start = out_.reserve_more(1 + kBreak.size() + spaces + name.size() + 6);
  char* at = start;
  if (!empty_.back()) *at++ = ',';
  empty_.back() = 0;
  std::memcpy(at, kBreak.data(), kBreak.size());
  at += kBreak.size();
  std::memset(at, ' ', spaces);
  std::memcpy(at + spaces, "\\\"", 2);
  at += spaces + 2;
  after_key_ = true;
  if (!escape) {
    if (!name.empty()) std::memcpy(at, name.data(), name.size());
    std::memcpy(at + name.size(), "\\\": ", 4);
    return out_.commit(static_cast<std::size_t>(at + name.size() + 4 - start));
  }
  out_.commit(static_cast<std::size_t>(at - start));
  append_escaped_twice(out_, name);
  out_.append("\\\": ");
}

void EmbeddedPretty::scalar(std::string_view text) {
  before_value();
  out_.append(text);
}

template <class Integer>
void EmbeddedPretty::integer(Integer value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  scalar(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void EmbeddedPretty::uint(std::uint64_t value) {
  integer(value);
}

void EmbeddedPretty::string(std::string_view text) {
  before_value();
  if (find_special(text.data(), text.data() + text.size()) == text.data() + text.size()) {
    // Nothing to escape, as in most values: quotes and text in one go.
    char* at = out_.reserve_more(text.size() + 4);
    std::memcpy(at, "\\\"", 2);
    if (!text.empty()) std::memcpy(at + 2, text.data(), text.size());
    std::memcpy(at + 2 + text.size(), "\\\"", 2);
    out_.commit(text.size() + 4);
    return;
  }
  out_.append("\\\"");
  append_escaped_twice(out_, text);
  out_.append("\\\"");
}

void EmbeddedPretty::string(std::initializer_list<std::string_view> parts) {
  before_value();
  out_.append("\\\"");
  for (std::string_view part : parts) append_escaped_twice(out_, part);
  out_.append("\\\"");
}

void EmbeddedPretty::value(const Tape& tape, std::uint32_t node) {
  if (!checkpoint()) return;
  const Tape::Node& n = tape[node];
  switch (n.kind) {
    case Tape::Kind::Null:
      return null();
    case Tape::Kind::False:
      return boolean(false);
    case Tape::Kind::True:
      return boolean(true);
    case Tape::Kind::String:
      return string(tape.string(node));
    case Tape::Kind::Number:
      // The grammar leaves one way to write an unsigned integer; any other
      // number is written as its value reads ("-0" as 0, 1E2 as 100.0).
      if (n.number == NumberKind::Unsigned) return scalar({n.text, n.length});
      if (n.number == NumberKind::Signed) return integer(tape.int_value(node));
      return scalar(double_text(tape.double_value(node)));
    case Tape::Kind::Array:
      begin_array();
      for (std::uint32_t c = tape.first_child(node); c < n.end; c = tape[c].end) value(tape, c);
      return end_array();
    case Tape::Kind::Object:
      begin_object();
      for (const auto& [name, member] : tape.sorted_members(node)) {
        reply_key(name);
        value(tape, member);
      }
      return end_object();
  }
}

void EmbeddedPretty::value_or(const Tape& tape, std::uint32_t node, Missing missing) {
  if (node != Tape::kNone) return value(tape, node);
  switch (missing) {
    case Missing::Null:
      return null();
    case Missing::False:
      return boolean(false);
    case Missing::Zero:
      return uint(0);
    case Missing::EmptyString:
      return string(std::string_view());
    case Missing::EmptyArray:
      begin_array();
      return end_array();
  }
}

void EmbeddedPretty::members(const Tape& tape, std::uint32_t from,
                             std::initializer_list<Copied> copied) {
  for (const Copied& c : copied) {
    key(c.key);
    value_or(tape, tape.find(from, c.member), c.missing);
  }
}

}  // namespace json
