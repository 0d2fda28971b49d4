#include "tools/status.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tools/summaries.h"

namespace tools {

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

Json snake_case_keys(Json value) {
  if (value.is_array()) {
    for (Json& element : value) element = snake_case_keys(std::move(element));
    return value;
  }
  if (!value.is_object()) return value;
  Json out = Json::object();
  // Members come in ascending key order, so on a collision the key that sorts
  // last is written last and wins.
  for (auto it = value.begin(); it != value.end(); ++it) {
    out[camel_to_snake(it.key())] = snake_case_keys(std::move(it.value()));
  }
  return out;
}

namespace {

using json::Tape;
using Missing = json::EmbeddedPretty::Missing;

// The members of object node `object` under their snake_case keys, in key
// order, as snake_case_keys leaves them: of a repeated key the last
// occurrence, and of two keys that convert alike the one that sorts last.
std::vector<std::pair<std::string, std::uint32_t>> snake_members(const Tape& tape,
                                                                 std::uint32_t object) {
  std::vector<std::pair<std::string_view, std::uint32_t>> sorted;
  for (std::uint32_t k = tape.first_child(object); k < tape[object].end; k = tape[k + 1].end) {
    sorted.emplace_back(tape.string(k), k + 1);
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::uint32_t>> members;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i + 1 < sorted.size() && sorted[i + 1].first == sorted[i].first) continue;
    members.emplace_back(camel_to_snake(sorted[i].first), sorted[i].second);
  }
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::uint32_t>> unique;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    unique.push_back(std::move(members[i]));
  }
  return unique;
}

// A node with every object key at every level in snake_case.
void write_snake(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t node) {
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
    out.key(key);
    write_snake(out, tape, value);
  }
  out.end_object();
}

// One findings item in snake_case with its "summary" (replacing any the
// core sent); an item that is not an object passes as it came.
void write_item(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t item) {
  if (!out.checkpoint()) return;
  const bool is_null = tape.is(item, Tape::Kind::Null);
  if (!is_null && !tape.is(item, Tape::Kind::Object)) return write_snake(out, tape, item);
  std::vector<std::pair<std::string, std::uint32_t>> members;
  if (!is_null) members = snake_members(tape, item);
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
  std::uint32_t params = member("params");
  Json params_value = Json::object();
  if (params != Tape::kNone) params_value = snake_case_keys(tape.to_json(params));
  const std::string summary = summary_for(
      tape.is(key, Tape::Kind::String) ? tape.string(key) : std::string_view(), params_value);

  out.begin_object();
  bool summary_written = false;
  auto write_summary = [&] {
    out.plain_key("summary");
    out.string(summary);
    summary_written = true;
  };
  for (const auto& [name, value] : members) {
    if (!summary_written && name >= "summary") write_summary();
    if (name == "summary") continue;
    out.key(name);
    write_snake(out, tape, value);
  }
  if (!summary_written) write_summary();
  out.end_object();
}

}  // namespace

void capture_status_write(const Json& /*args*/, const Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out) {
  out.begin_object();
  out.members(tape, answer,
              {{"decrypt_allowlist", "decryptHosts", Missing::EmptyArray},
               {"flow_count", "flowCount", Missing::Zero},
               {"oldest_flow_time", "oldestFlowTs"},
               {"paused", "paused"},
               {"proxy_port", "proxyPort"}});
  out.end_object();
}

void findings_write(const Json& /*args*/, const Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out) {
  if (!tape.is(answer, Tape::Kind::Object)) return write_snake(out, tape, answer);
  out.begin_object();
  for (const auto& [key, value] : snake_members(tape, answer)) {
    out.key(key);
    if (key != "items" || !tape.is(value, Tape::Kind::Array)) {
      write_snake(out, tape, value);
      continue;
    }
    out.begin_array();
    for (std::uint32_t item = tape.first_child(value); item < tape[value].end;
         item = tape[item].end) {
      write_item(out, tape, item);
    }
    out.end_array();
  }
  out.end_object();
}

}  // namespace tools
