#include "tools/inspector.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace tools {
namespace {

constexpr std::uint64_t kDefaultMessageLimit = 100;
constexpr std::uint64_t kMaxMessageLimit = 500;

constexpr std::string_view kTimeSemantics =
    "received_at is delivery time at Trelvo, not page-side event time. Console (USB Web "
    "Inspector) and flows (network proxy) travel different delivery paths \u2014 measured skew "
    "is typically ~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show "
    "receipt order, not event order or causation.";

// Output key of a console message record and the core field it copies, in
// the record's key order.
constexpr std::pair<std::string_view, std::string_view> kMessageFields[] = {
    {"kind", "kind"},
    {"level", "level"},
    {"line", "line"},
    {"nav_gen", "navGen"},
    {"page_url_at_capture", "pageUrlAtCapture"},
    {"received_at", "receivedAt"},
    {"seq", "seq"},
    {"source", "sourceUrl"},
    {"text", "text"},
};

// The member `key` when it is an array; nullptr otherwise, which callers
// treat as empty.
const Json* array_member(const Json& object, std::string_view key) {
  const Json* member = json::find(object, key);
  return member && member->is_array() ? member : nullptr;
}

bool newest_first(const Json& args) {
  const Json* value = json::find(args, "newest_first");
  return value && value->is_boolean() ? value->get<bool>() : true;
}

Json page_record(const Json& page, const Json& bundle) {
  return Json{
      {"app_bundle", bundle},
      {"page_handle", json::get_or(page, "pageHandle", nullptr)},
      {"state", json::get_or(page, "state", nullptr)},
      {"title", json::get_or(page, "title", nullptr)},
      {"url", json::get_or(page, "url", nullptr)},
  };
}

Json device_record(const Json& device) {
  Json pages = Json::array();
  if (const Json* apps = array_member(device, "apps")) {
    for (const Json& app : *apps) {
      const Json* app_pages = array_member(app, "pages");
      if (!app_pages) continue;
      Json bundle = json::get_or(app, "bundleId", nullptr);
      for (const Json& page : *app_pages) pages.push_back(page_record(page, bundle));
    }
  }
  Json record = Json::object();
  record["device_id"] = json::get_or(device, "deviceId", nullptr);
  record["pages"] = std::move(pages);
  return record;
}

}  // namespace

Json message_dto(const Json& message) {
  Json record = Json::object();
  for (const auto& [out, in] : kMessageFields) {
    record[std::string(out)] = json::get_or(message, in, nullptr);
  }
  return record;
}

Json list_pages_shape(const Json& /*args*/, const Json& answer) {
  Json devices = Json::array();
  if (const Json* list = array_member(answer, "devices")) {
    for (const Json& device : *list) devices.push_back(device_record(device));
  }
  Json value = Json::object();
  value["devices"] = std::move(devices);
  return value;
}

Json console_messages_params(const Json& args) {
  Json params = Json::object();
  params["pageHandle"] = json::get_or(args, "page_handle", "");
  const Json* limit = json::find(args, "limit");
  params["limit"] = limit && json::is_uint(*limit)
                        ? std::min(limit->get<std::uint64_t>(), kMaxMessageLimit)
                        : kDefaultMessageLimit;
  params["newestFirst"] = newest_first(args);
  if (const Json* since = json::find(args, "since_seq")) params["sinceSeq"] = *since;
  if (const Json* level = json::find(args, "level")) params["level"] = *level;
  return params;
}

Json console_messages_shape(const Json& args, const Json& answer) {
  Json messages = Json::array();
  if (const Json* list = array_member(answer, "messages")) {
    // The core selected the newest messages when asked to; the agent sees
    // them in the order it asked for.
    if (newest_first(args)) {
      for (auto it = list->rbegin(); it != list->rend(); ++it) messages.push_back(message_dto(*it));
    } else {
      for (const Json& message : *list) messages.push_back(message_dto(message));
    }
  }
  Json value = Json::object();
  value["messages"] = std::move(messages);
  value["time_semantics"] = kTimeSemantics;
  value["truncated"] = json::get_or(answer, "truncated", false);
  return value;
}

Json evaluate_js_params(const Json& args) {
  return Json{{"pageHandle", json::get_or(args, "page_handle", "")},
              {"expression", json::get_or(args, "expression", "")}};
}

Json evaluate_js_shape(const Json& /*args*/, const Json& answer) {
  return Json{{"result", json::get_or(answer, "result", "")},
              {"result_truncated", json::get_or(answer, "resultTruncated", false)},
              {"was_thrown", json::get_or(answer, "wasThrown", false)}};
}

namespace {

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
  out.plain_key("app_bundle");
  out.value_or(tape, bundle, Missing::Null);
  for (auto [key, member] : {std::pair{"page_handle", "pageHandle"}, std::pair{"state", "state"},
                             std::pair{"title", "title"}, std::pair{"url", "url"}}) {
    out.plain_key(key);
    out.value_or(tape, tape.find(page, member), Missing::Null);
  }
  out.end_object();
}

void write_device(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t device) {
  out.begin_object();
  out.plain_key("device_id");
  out.value_or(tape, tape.find(device, "deviceId"), Missing::Null);
  out.plain_key("pages");
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
  for (const auto& [key, member] : kMessageFields) {
    out.plain_key(key);
    out.value_or(tape, tape.find(message, member), Missing::Null);
  }
  out.end_object();
}

}  // namespace

void list_pages_write(const Json& /*args*/, const Tape& tape, std::uint32_t answer,
                      json::EmbeddedPretty& out) {
  out.begin_object();
  out.plain_key("devices");
  out.begin_array();
  for (std::uint32_t device : elements(tape, tape.find(answer, "devices"))) {
    write_device(out, tape, device);
  }
  out.end_array();
  out.end_object();
}

void console_messages_write(const Json& args, const Tape& tape, std::uint32_t answer,
                            json::EmbeddedPretty& out) {
  std::vector<std::uint32_t> messages = elements(tape, tape.find(answer, "messages"));
  // The core selected the newest messages when asked to; the agent sees
  // them in the order it asked for.
  if (newest_first(args)) std::reverse(messages.begin(), messages.end());
  out.begin_object();
  out.plain_key("messages");
  out.begin_array();
  for (std::uint32_t message : messages) write_message(out, tape, message);
  out.end_array();
  out.plain_key("time_semantics");
  out.string(kTimeSemantics);
  out.plain_key("truncated");
  out.value_or(tape, tape.find(answer, "truncated"), Missing::False);
  out.end_object();
}

void evaluate_js_write(const Json& /*args*/, const Tape& tape, std::uint32_t answer,
                       json::EmbeddedPretty& out) {
  out.begin_object();
  out.plain_key("result");
  out.value_or(tape, tape.find(answer, "result"), Missing::EmptyString);
  out.plain_key("result_truncated");
  out.value_or(tape, tape.find(answer, "resultTruncated"), Missing::False);
  out.plain_key("was_thrown");
  out.value_or(tape, tape.find(answer, "wasThrown"), Missing::False);
  out.end_object();
}

}  // namespace tools
