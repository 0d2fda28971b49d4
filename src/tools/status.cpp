#include "tools/status.h"

#include "tools/dispatch.h"
#include "tools/summaries.h"

namespace tools {
namespace {

// The key a findings item is summarised under: its "code", else its "question".
// A "code" of the wrong type does not fall back to "question".
std::string summary_key(const Json& item) {
  const Json* key = json::find(item, "code");
  if (key == nullptr) key = json::find(item, "question");
  return key != nullptr && key->is_string() ? key->get<std::string>() : std::string();
}

void add_summary(Json& item) {
  if (item.is_null()) item = Json::object();
  // The core sends objects; anything else cannot carry a summary and passes as it came.
  if (!item.is_object()) return;
  const std::string key = summary_key(item);
  const Json params = json::get_or(item, "params", Json::object());
  item["summary"] = summary_for(key, params);
}

}  // namespace

Json capture_status_shape(const Json& answer) {
  Json out = Json::object();
  out["proxy_port"] = json::get_or(answer, "proxyPort", nullptr);
  out["paused"] = json::get_or(answer, "paused", nullptr);
  out["decrypt_allowlist"] = json::get_or(answer, "decryptHosts", Json::array());
  out["flow_count"] = json::get_or(answer, "flowCount", std::uint64_t{0});
  out["oldest_flow_time"] = json::get_or(answer, "oldestFlowTs", nullptr);
  return out;
}

Json findings_shape(Json answer) {
  Json shaped = snake_case_keys(std::move(answer));
  if (!shaped.is_object()) return shaped;
  auto items = shaped.find("items");
  if (items == shaped.end() || !items->is_array()) return shaped;
  for (Json& item : *items) add_summary(item);
  return shaped;
}

}  // namespace tools
