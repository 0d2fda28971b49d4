#include "tools/dispatch.h"

#include <array>

#include "mcp.h"
#include "tools/catalogue.h"
#include "tools/failure_texts.h"
#include "tools/flows.h"
#include "tools/inspector.h"
#include "tools/status.h"
#include "tools/validate.h"

namespace tools {
namespace {

constexpr std::int64_t kMethodNotFound = -32601;
constexpr std::int64_t kInvalidParams = -32602;

Json no_params(const Json&) {
  return nullptr;
}

struct Route {
  std::string_view tool;
  const char* core_method;
  Json (*params)(const Json& args);  // null params: the request carries no "params"
  Json (*shape)(const Json& args, const Json& answer);
};

// Every tool, in catalogue order: one core method each, called exactly once.
const std::array kRoutes{
    Route{"list_flows", "flow.list", list_flows_params, list_flows_shape},
    Route{"get_flow", "flow.getDetail", get_flow_params, get_flow_shape},
    Route{"get_capture_status", "mcp.status", no_params,
          [](const Json&, const Json& answer) { return capture_status_shape(answer); }},
    Route{"get_findings", "findings.get", no_params,
          [](const Json&, const Json& answer) { return findings_shape(answer); }},
    Route{"list_pages", "wir.snapshot", no_params, list_pages_shape},
    Route{"get_console_messages", "wir.consoleMessages", console_messages_params,
          console_messages_shape},
    Route{"evaluate_js", "wir.evaluate", evaluate_js_params, evaluate_js_shape},
};

const Route* find_route(std::string_view tool) {
  for (const Route& route : kRoutes) {
    if (route.tool == tool) return &route;
  }
  return nullptr;
}

ToolOutcome run(CoreLink& core, const Route& route, const Json& args) {
  CallResult answer = core.call(route.core_method, route.params(args));
  if (!answer) return {upstream_err_text(answer.error()), true};
  return {json::pretty(route.shape(args, answer.value())), false};
}

std::string call_tool(CoreLink& core, Json id, const Json& params) {
  const Json* name_member = json::find(params, "name");
  const std::string name = name_member != nullptr && name_member->is_string()
                               ? name_member->get<std::string>()
                               : std::string();
  const Json args = json::get_or(params, "arguments", Json::object());

  // Arguments are judged before the name, so bad arguments to an unknown tool
  // are reported as bad arguments.
  if (std::optional<std::string> problem = check_args(name, args)) {
    return mcp::error_response(std::move(id), kInvalidParams, *problem);
  }
  const Route* route = find_route(name);
  if (route == nullptr) {
    return mcp::error_response(std::move(id), kInvalidParams, "unknown tool: " + name);
  }
  return tool_result(std::move(id), run(core, *route, args));
}

}  // namespace

std::string dispatch(CoreLink& core, std::string_view method, Json id, Json params) {
  if (method == "tools/list") {
    return mcp::result_response(std::move(id), Json{{"tools", tool_specs()}});
  }
  if (method == "tools/call") return call_tool(core, std::move(id), params);
  return mcp::error_response(std::move(id), kMethodNotFound,
                             "method not found: " + std::string(method));
}

std::string tool_result(Json id, ToolOutcome outcome) {
  // Built member by member: a braced list would copy the text, which can be a
  // body of several megabytes.
  Json item = Json::object();
  item["text"] = std::move(outcome.text);
  item["type"] = "text";
  Json content = Json::array();
  content.push_back(std::move(item));
  Json envelope = Json::object();
  envelope["content"] = std::move(content);
  envelope["isError"] = outcome.is_error;
  return mcp::result_response(std::move(id), std::move(envelope));
}

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

}  // namespace tools
