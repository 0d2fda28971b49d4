// Any findings report the core may send, through get_findings: every key is
// converted (no ASCII capital left, shape and values kept, of two keys that
// convert alike the one that sorts last), every top-level item that is an
// object or null gets a summary in valid UTF-8, and the same report gives
// the same text every time.
//
// Input: JSON text used as the report; when its first byte is '!', the rest
// is used as the params of an item of each known code instead.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "fake_upstream.h"
#include "json.h"

namespace {

const char* const kCodes[] = {
    "capture_path.proxy_endpoints_ready",
    "capture_path.profile_pushed",
    "capture_path.pac_fetched",
    "capture_path.ca_downloaded",
    "capture_path.flows_in_window",
    "capture_path.non_loopback_traffic_observed",
    "capture_path.device_routing_now",
    "capture_path.pac_fetch_not_observed",
    "capture_path.push_profile_then_observe",
    "capture_path.Device_Routing_Now",
};

std::string snake(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c >= 'A' && c <= 'Z') {
      out += '_';
      out += static_cast<char>(c + ('a' - 'A'));
    } else {
      out += c;
    }
  }
  return out;
}

// `out` is `in` with every key converted. In the report itself (`report`),
// items that are objects or null carry a string "summary" besides.
bool mirrors(const Json& in, const Json& out, bool report = false, bool item = false) {
  if (item && (in.is_object() || in.is_null())) {
    const Json* summary = json::find(out, "summary");
    if (summary == nullptr || !summary->is_string() || !json::is_utf8(summary->get<std::string>()))
      return false;
    Json in_rest = in.is_null() ? Json::object() : in, out_rest = out;
    in_rest.erase("summary");
    out_rest.erase("summary");
    return mirrors(in_rest, out_rest);
  }
  if (in.is_array()) {
    if (!out.is_array() || out.size() != in.size()) return false;
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (!mirrors(in[i], out[i], false, report)) return false;
    }
    return true;
  }
  if (in.is_object()) {
    if (!out.is_object()) return false;
    std::map<std::string, std::pair<std::string, const Json*>> winners;
    for (auto it = in.begin(); it != in.end(); ++it) {  // in ascending key order
      winners[snake(it.key())] = {it.key(), &it.value()};
    }
    if (winners.size() != out.size()) return false;
    for (const auto& [key, from] : winners) {
      if (!out.contains(key)) return false;
      const bool items = report && key == "items" && from.second->is_array();
      if (!mirrors(*from.second, out.at(key), items)) return false;
    }
    return true;
  }
  return json::compact(in) == json::compact(out);
}

std::string findings_text(const std::string& report) {
  FakeUpstream core;
  core.answer_text(report);
  std::string response =
      dispatch_text(core, "tools/call", 1u, Json::object({{"name", "get_findings"}}));
  auto parsed = json::parse(response);
  if (!parsed) std::abort();
  const Json& result = parsed.value().at("result");
  if (result.at("isError") != false) std::abort();
  return result.at("content").at(0).at("text").get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool as_params = input.starts_with('!');
  if (as_params) input.remove_prefix(1);
  auto parsed = json::parse(input);
  if (!parsed) return 0;
  Json report = parsed.value();
  if (as_params) {
    Json items = Json::array();
    for (const char* code : kCodes) {
      Json item = Json::object();
      item["code"] = code;
      item["params"] = parsed.value();
      items.push_back(std::move(item));
    }
    report = Json::object();
    report["items"] = std::move(items);
  }
  // Wrapped params may nest too deep to be read as a reply.
  if (!json::parse(json::compact(report))) return 0;
  const std::string text = findings_text(json::compact(report));
  auto shown = json::parse(text);
  if (!shown || !mirrors(report, shown.value(), report.is_object())) std::abort();
  if (findings_text(json::compact(report)) != text) std::abort();
  return 0;
}
