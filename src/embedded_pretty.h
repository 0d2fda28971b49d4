// Writes pretty JSON text (two-space indentation, ": " after keys, no
// trailing newline) already escaped as the contents of a JSON string: byte
// for byte what json::compact would write between the quotes of a string
// holding that text. A tool result is sent that way, so its text is written
// straight into the response line.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "buffer.h"
#include "json.h"
#include "json_tape.h"

namespace json {

class EmbeddedPretty {
 public:
  explicit EmbeddedPretty(Buffer& out) : out_(out) {}
  // With `late`, writing asks it again each time another kCheckEvery bytes
  // are written, and stops for good once it says yes: an answer can be far
  // larger than its reply, and must not take the call past its deadline.
  EmbeddedPretty(Buffer& out, std::function<bool()> late) : out_(out), late_(std::move(late)) {}
  static constexpr std::size_t kCheckEvery = 1u << 20;

  // False once writing has stopped; then nothing more is written, and what
  // was is incomplete. Writers call it once per element of a long list.
  bool checkpoint() {
    if (stopped_ || out_.size() < next_check_) return !stopped_;
    next_check_ = out_.size() + kCheckEvery;
    stopped_ = late_ && late_();
    return !stopped_;
  }
  bool stopped() const { return stopped_; }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Inside an object: the next member's key. Keys must come in ascending
  // byte order, as in every object the program writes. A name of the
  // program's own (letters, digits, "_") is written as it is; a name read
  // from a reply is escaped where it needs to be.
  void key(std::string_view name) { write_key(name, false); }
  void reply_key(std::string_view name);

  void null() { scalar("null"); }
  void boolean(bool value) { scalar(value ? "true" : "false"); }
  void uint(std::uint64_t value);
  // A string made of `parts` one after another.
  void string(std::initializer_list<std::string_view> parts);
  void string(std::string_view text);
  // A node of `tape` and everything under it: objects with sorted keys, a
  // repeated key keeping its last value, numbers as json::parse reads them.
  void value(const Tape& tape, std::uint32_t node);
  // value(), or what stands in for a member the core left out when `node`
  // is Tape::kNone.
  enum class Missing { Null, False, Zero, EmptyString, EmptyArray };
  void value_or(const Tape& tape, std::uint32_t node, Missing missing);
  // Members of object node `from` under new names (keys in ascending order),
  // each with what stands in when the core left it out.
  struct Copied {
    std::string_view key;
    std::string_view member;
    Missing missing = Missing::Null;
  };
  void members(const Tape& tape, std::uint32_t from, std::initializer_list<Copied> copied);

 private:
  void open(char bracket);
  void close(char bracket);
  void before_value();
  void line_break(std::size_t depth);
  void write_key(std::string_view name, bool escape);
  void scalar(std::string_view text);
  template <class Integer>
  void integer(Integer value);

  Buffer& out_;
  std::vector<char> empty_;  // per open container: nothing in it yet
  bool after_key_ = false;
  std::function<bool()> late_;
  std::size_t next_check_ = kCheckEvery;
  bool stopped_ = false;
};

}  // namespace json
