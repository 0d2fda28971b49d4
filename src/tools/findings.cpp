#include "tools/findings.h"

#include <string>
#include <string_view>
#include <vector>

#include "sorted_members.h"
#include "tools/summaries.h"

namespace tools {
namespace {

using json::Tape;
using Missing = json::EmbeddedPretty::Missing;

std::string camel_to_snake(std::string_view key) {
  std::string out;
  out.reserve(key.size() + 4);
  for (char c : key) {
    if (c >= 'A' && c <= 'Z') {
      out += '_';
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += c;
    }
  }
  return out;
}

// The members of object node `object` under their snake_case keys, in key
// order: of a repeated key the last occurrence, and of two keys that convert
// alike the one that sorts last.
std::vector<Member> snake_members(const Tape& tape, std::uint32_t object) {
  std::vector<Member> members;
  for (const auto& [key, value] : tape.sorted_members(object)) {
    members.emplace_back(camel_to_snake(key), value);
  }
  json::sort_keeping_last(members);
  return members;
}

void write_item(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t item);

// A node with every object key at every level in snake_case. In the report
// itself (`report`), the items get their summaries.
void write_snake(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t node,
                 bool report = false) {
  if (tape.is(node, Tape::Kind::Array)) {
    out.begin_array();
    for (std::uint32_t e = tape.first_child(node); e < tape[node].end; e = tape[e].end) {
      write_snake(out, tape, e);
    }
    return out.end_array();
  }
  if (!tape.is(node, Tape::Kind::Object)) return out.value_or(tape, node, Missing::Null);
  out.begin_object();
  for (const auto& [key, value] : snake_members(tape, node)) {
    out.reply_key(key);
    if (!report || key != "items" || !tape.is(value, Tape::Kind::Array)) {
      write_snake(out, tape, value);
      continue;
    }
    out.begin_array();
    for (std::uint32_t i = tape.first_child(value); i < tape[value].end; i = tape[i].end) {
      write_item(out, tape, i);
    }
    out.end_array();
  }
  out.end_object();
}

// One findings item in snake_case with its "summary" (replacing any the
// core sent); an item that is not an object passes as it came.
void write_item(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t item) {
  if (!out.checkpoint()) return;
  const bool is_null = tape.is(item, Tape::Kind::Null);
  if (!is_null && !tape.is(item, Tape::Kind::Object)) return write_snake(out, tape, item);
  std::vector<Member> members = snake_members(tape, item);
  auto member = [&](std::string_view key) {
    for (const auto& [name, value] : members) {
      if (name == key) return value;
    }
    return Tape::kNone;
  };
  // Keyed by "code", else "question"; a "code" of the wrong type does not
  // fall back to "question".
  std::uint32_t key = member("code");
  if (key == Tape::kNone) key = member("question");
  const std::vector<Member> params = snake_members(tape, member("params"));
  const std::string summary =
      summary_for(tape.is(key, Tape::Kind::String) ? tape.string(key) : std::string_view(),
                  Params{tape, params});

  out.begin_object();
  bool summary_written = false;
  auto write_summary = [&] {
    out.key("summary");
    out.string(summary);
    summary_written = true;
  };
  for (const auto& [name, value] : members) {
    if (!summary_written && name >= "summary") write_summary();
    if (name == "summary") continue;
    out.reply_key(name);
    write_snake(out, tape, value);
  }
  if (!summary_written) write_summary();
  out.end_object();
}

}  // namespace

void write_findings(const Args& /*args*/, const Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out) {
  write_snake(out, tape, answer, true);
}

}  // namespace tools
