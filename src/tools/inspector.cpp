#include "tools/inspector.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace tools {
namespace {

constexpr std::string_view kTimeSemantics =
    "received_at is delivery time at Trelvo, not page-side event time. Console (USB Web "
    "Inspector) and flows (network proxy) travel different delivery paths \u2014 measured skew "
    "is typically ~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show "
    "receipt order, not event order or causation.";

using json::Tape;
using Missing = json::EmbeddedPretty::Missing;

// The elements of `node` when it is an array; none otherwise.
std::vector<std::uint32_t> elements(const Tape& tape, std::uint32_t node) {
  std::vector<std::uint32_t> out;
  if (!tape.is(node, Tape::Kind::Array)) return out;
  for (std::uint32_t e = tape.first_child(node); e < tape[node].end; e = tape[e].end) {
    out.push_back(e);
  }
  return out;
}

void write_page(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t page,
                std::uint32_t bundle) {
  if (!out.checkpoint()) return;
  out.begin_object();
  out.key("app_bundle");
  out.value_or(tape, bundle, Missing::Null);
  out.members(
      tape, page,
      {{"page_handle", "pageHandle"}, {"state", "state"}, {"title", "title"}, {"url", "url"}});
  out.end_object();
}

void write_device(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t device) {
  out.begin_object();
  out.key("device_id");
  out.value_or(tape, tape.find(device, "deviceId"), Missing::Null);
  out.key("pages");
  out.begin_array();
  for (std::uint32_t app : elements(tape, tape.find(device, "apps"))) {
    std::uint32_t bundle = tape.find(app, "bundleId");
    for (std::uint32_t page : elements(tape, tape.find(app, "pages"))) {
      write_page(out, tape, page, bundle);
    }
  }
  out.end_array();
  out.end_object();
}

void write_message(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t message) {
  if (!out.checkpoint()) return;
  out.begin_object();
  out.members(tape, message,
              {{"kind", "kind"},
               {"level", "level"},
               {"line", "line"},
               {"nav_gen", "navGen"},
               {"page_url_at_capture", "pageUrlAtCapture"},
               {"received_at", "receivedAt"},
               {"seq", "seq"},
               {"source", "sourceUrl"},
               {"text", "text"}});
  out.end_object();
}

}  // namespace

void write_pages(const Args& /*args*/, const Tape& tape, std::uint32_t answer,
                 json::EmbeddedPretty& out) {
  out.begin_object();
  out.key("devices");
  out.begin_array();
  for (std::uint32_t device : elements(tape, tape.find(answer, "devices"))) {
    write_device(out, tape, device);
  }
  out.end_array();
  out.end_object();
}

void write_console_messages(const Args& args, const Tape& tape, std::uint32_t answer,
                            json::EmbeddedPretty& out) {
  std::vector<std::uint32_t> messages = elements(tape, tape.find(answer, "messages"));
  // The core selected the newest messages when asked to; the agent sees
  // them in the order it asked for.
  if (args.flag("newest_first")) std::reverse(messages.begin(), messages.end());
  out.begin_object();
  out.key("messages");
  out.begin_array();
  for (std::uint32_t message : messages) write_message(out, tape, message);
  out.end_array();
  out.key("time_semantics");
  out.string(kTimeSemantics);
  out.key("truncated");
  out.value_or(tape, tape.find(answer, "truncated"), Missing::False);
  out.end_object();
}

void write_evaluation(const Args& /*args*/, const Tape& tape, std::uint32_t answer,
                      json::EmbeddedPretty& out) {
  out.begin_object();
  out.members(tape, answer,
              {{"result", "result", Missing::EmptyString},
               {"result_truncated", "resultTruncated", Missing::False},
               {"was_thrown", "wasThrown", Missing::False}});
  out.end_object();
}

}  // namespace tools
