// Any findings report the core may send: key conversion leaves no ASCII
// capital in any key, keeps the shape and every value, and changes nothing
// the second time; a summary is the same text every time and valid UTF-8.
//
// Input: one byte choosing the summary key (a known one, or the "code" of the
// value itself), then JSON text used both as the report and as the params.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "json.h"
#include "tools/status.h"
#include "tools/summaries.h"

namespace {

const char* const kKeys[] = {
    "capture_path.proxy_endpoints_ready",
    "capture_path.profile_pushed",
    "capture_path.pac_fetched",
    "capture_path.ca_downloaded",
    "capture_path.flows_in_window",
    "capture_path.non_loopback_traffic_observed",
    "capture_path.device_routing_now",
    "capture_path.pac_fetch_not_observed",
    "capture_path.ca_download_not_observed",
    "capture_path.profile_push_not_observed",
    "capture_path.push_profile_then_observe",
    "capture_path.new_remote_flow_in_window",
    "capture_path.device_side_network_check",
    "capture_path.pac_refetch_after_wifi_cycle",
    "capture_path.Device_Routing_Now",
    "",
};

bool has_capital(const std::string& key) {
  for (char c : key) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

std::string lowered_with_marks(const std::string& key) {
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

// `out` is `in` with every key converted: same arrays and scalars, and each
// object holds one member per converted key, taken from the input key that
// sorts last among those converting alike.
bool mirrors(const Json& in, const Json& out) {
  if (in.is_array()) {
    if (!out.is_array() || out.size() != in.size()) return false;
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (!mirrors(in[i], out[i])) return false;
    }
    return true;
  }
  if (in.is_object()) {
    if (!out.is_object()) return false;
    std::map<std::string, const Json*> winners;
    for (auto it = in.begin(); it != in.end(); ++it) {
      auto [slot, fresh] = winners.try_emplace(lowered_with_marks(it.key()), &it.value());
      if (!fresh) slot->second = &it.value();  // iteration is in ascending key order
    }
    if (winners.size() != out.size()) return false;
    for (const auto& [key, value] : winners) {
      if (has_capital(key) || !out.contains(key) || !mirrors(*value, out.at(key))) return false;
    }
    return true;
  }
  return in == out && json::compact(in) == json::compact(out);
}

void check_summary(std::string_view key, const Json& params) {
  std::string first = tools::summary_for(key, params);
  if (tools::summary_for(key, params) != first) std::abort();
  if (!json::is_utf8(first)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  auto parsed = json::parse(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (!parsed) return 0;
  const Json& value = parsed.value();

  Json converted = tools::snake_case_keys(value);
  if (!mirrors(value, converted)) std::abort();
  if (tools::snake_case_keys(converted) != converted) std::abort();
  std::string text = json::pretty(converted);
  if (!json::is_utf8(text) || !json::parse(text).ok()) std::abort();

  std::size_t choice = data[0] % (sizeof kKeys / sizeof kKeys[0] + 1);
  std::string key;
  if (choice < sizeof kKeys / sizeof kKeys[0]) {
    key = kKeys[choice];
  } else if (const Json* code = json::find(converted, "code"); code && code->is_string()) {
    key = code->get<std::string>();
  }
  check_summary(key, value);
  check_summary(key, converted);
  if (const Json* params = json::find(converted, "params")) check_summary(key, *params);
  return 0;
}
