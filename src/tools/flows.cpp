#include "tools/flows.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tools/bodies.h"
#include "tools/summaries.h"

namespace tools {
namespace {

constexpr std::uint64_t kDefaultFlowLimit = 50;
constexpr std::uint64_t kMaxFlowLimit = 200;
constexpr std::uint64_t kDefaultBodyLimit = 16384;

// Tool argument and the core parameter it becomes, copied when present.
constexpr std::pair<std::string_view, std::string_view> kListFilters[] = {
    {"host", "host"},     {"path_contains", "pathContains"}, {"method", "method"},
    {"status", "status"}, {"since_seq", "sinceSeq"},
};

std::string string_or_empty(const Json& flow, std::string_view key) {
  const Json* member = json::find(flow, key);
  return member && member->is_string() ? member->get<std::string>() : std::string();
}

std::string time_of(const Json& flow) {
  const Json* ts = json::find(flow, "ts");
  return ts && json::is_uint(*ts) ? utc_text(ts->get<std::uint64_t>()) : std::string();
}

// The non-negative integer argument `key`, or `fallback` when it is absent.
std::uint64_t uint_arg(const Json& args, std::string_view key, std::uint64_t fallback) {
  const Json* value = json::find(args, key);
  return value && json::is_uint(*value) ? value->get<std::uint64_t>() : fallback;
}

Json headers_of(const Json& answer, std::string_view key) {
  return json::get_or(answer, key, Json::array());
}

}  // namespace

Json summary_dto(const Json& flow) {
  return Json{
      {"completed", json::get_or(flow, "completed", nullptr)},
      {"content_type", json::get_or(flow, "contentType", nullptr)},
      {"duration_ms", json::get_or(flow, "durationMs", nullptr)},
      {"error", json::get_or(flow, "error", nullptr)},
      {"id", json::get_or(flow, "flowId", nullptr)},
      {"method", json::get_or(flow, "method", nullptr)},
      {"resp_size", json::get_or(flow, "respSize", nullptr)},
      {"seq", json::get_or(flow, "seq", nullptr)},
      {"status", json::get_or(flow, "status", nullptr)},
      {"time", time_of(flow)},
      {"url", string_or_empty(flow, "scheme") + "://" + string_or_empty(flow, "host") +
                  string_or_empty(flow, "path")},
  };
}

Json list_flows_params(const Json& args) {
  Json params = Json::object();
  params["newestFirst"] = true;
  params["limit"] = std::min(uint_arg(args, "limit", kDefaultFlowLimit), kMaxFlowLimit);
  for (const auto& [arg, param] : kListFilters) {
    if (const Json* value = json::find(args, arg)) params[std::string(param)] = *value;
  }
  return params;
}

Json list_flows_shape(const Json& /*args*/, const Json& answer) {
  const Json* flows = json::find(answer, "flows");
  Json summaries = Json::array();
  if (flows && flows->is_array()) {
    // The core lists its selection oldest first; the agent reads newest first.
    for (auto it = flows->rbegin(); it != flows->rend(); ++it)
      summaries.push_back(summary_dto(*it));
  }
  std::uint64_t count = summaries.size();
  const Json* matched = json::find(answer, "matchedTotal");
  std::uint64_t total = matched && json::is_uint(*matched) ? matched->get<std::uint64_t>() : count;
  Json value = Json::object();
  value["flows"] = std::move(summaries);
  value["total_in_store"] = total;
  value["truncated"] = count < total;
  return value;
}

Json get_flow_params(const Json& args) {
  return Json{{"flowId", uint_arg(args, "flow_id", 0)}};
}

Json get_flow_shape(const Json& args, const Json& answer) {
  std::uint64_t limit = uint_arg(args, "max_body_bytes", kDefaultBodyLimit);
  const Json* include = json::find(args, "include_bodies");
  bool with_bodies = include && include->is_boolean() && include->get<bool>();

  auto side = [&](std::string_view bytes_key, std::string_view meta_key,
                  std::string_view headers_key) {
    Json part = Json::object();
    part["body"] = with_bodies ? body_field(answer, bytes_key, meta_key, headers_key, limit)
                               : omitted_body(answer, meta_key);
    part["headers"] = headers_of(answer, headers_key);
    return part;
  };

  Json value = Json::object();
  value["request"] = side("reqBodyB64", "reqBodyMeta", "reqHeaders");
  value["response"] = side("respBodyB64", "respBodyMeta", "respHeaders");
  const Json* summary = json::find(answer, "summary");
  value["summary"] = summary && !summary->is_null() ? summary_dto(*summary) : Json(nullptr);
  return value;
}

}  // namespace tools
