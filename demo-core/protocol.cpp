#include "protocol.h"

#include <functional>
#include <map>
#include <stdexcept>

#include "expression.h"
#include "text.h"

namespace demo {
namespace {

// A request the core refuses; becomes {"error":{"code":...,"message":...}}.
struct Refusal {
  std::string code;
  std::string message;
};

Refusal bad_params(const std::string& message) {
  return {"invalid_params", message};
}

// ---- reading params --------------------------------------------------------

std::optional<std::uint64_t> opt_uint(const Json& params, std::string_view key) {
  const Json* v = json::find(params, key);
  if (!v || v->is_null()) return std::nullopt;
  if (!v->is_number_unsigned()) {
    throw bad_params("\"" + std::string(key) + "\" must be a non-negative integer");
  }
  return v->get<std::uint64_t>();
}

std::optional<std::string> opt_string(const Json& params, std::string_view key) {
  const Json* v = json::find(params, key);
  if (!v || v->is_null()) return std::nullopt;
  if (!v->is_string()) throw bad_params("\"" + std::string(key) + "\" must be a string");
  return v->get<std::string>();
}

bool opt_bool(const Json& params, std::string_view key, bool fallback) {
  const Json* v = json::find(params, key);
  if (!v || v->is_null()) return fallback;
  if (!v->is_boolean()) throw bad_params("\"" + std::string(key) + "\" must be true or false");
  return v->get<bool>();
}

std::string required_string(const Json& params, std::string_view key) {
  auto value = opt_string(params, key);
  if (!value) throw bad_params("\"" + std::string(key) + "\" is required");
  return *value;
}

// ---- shaping answers -------------------------------------------------------

template <class T>
Json or_null(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json headers_json(const Headers& headers) {
  Json out = Json::array();
  for (const auto& [name, value] : headers) out.push_back(Json::array({name, value}));
  return out;
}

Json body_meta(const Body& body) {
  return {{"total", body.total}, {"truncated", body.truncated}, {"dropped", body.dropped}};
}

Json flow_json(const Flow& f) {
  return {{"flowId", f.id},
          {"seq", f.seq},
          {"ts", f.ts},
          {"method", f.method},
          {"scheme", f.scheme},
          {"host", f.host},
          {"path", f.path},
          {"status", or_null(f.status)},
          {"durationMs", or_null(f.duration_ms)},
          {"respSize", f.resp_size},
          {"contentType", f.content_type},
          {"completed", f.completed},
          {"error", or_null(f.error)}};
}

Json message_json(const ConsoleMessage& m) {
  return {{"seq", m.seq},        {"receivedAt", iso_time(m.received_at)},
          {"kind", m.kind},      {"level", m.level},
          {"text", m.text},      {"pageUrlAtCapture", m.page_url},
          {"navGen", m.nav_gen}, {"sourceUrl", m.source_url},
          {"line", m.line}};
}

// ---- methods ---------------------------------------------------------------

struct Context {
  Capture& capture;
  const Switches& switches;
  Connection& connection;
  const Json& params;
};

Json hello(Context& c) {
  const Json* version = json::find(c.params, "protocolVersion");
  if (!version || !version->is_number_unsigned() || version->get<std::uint64_t>() != 1) {
    throw Refusal{"version_mismatch", "this core speaks protocol version 1"};
  }
  const Json* kind = json::find(c.params, "clientKind");
  if (!kind || *kind != "mcp") {
    throw Refusal{"unsupported_client", "this core accepts only clientKind \"mcp\""};
  }
  if (c.switches.mcp_disabled) throw Refusal{"MCP_DISABLED", "MCP access is turned off"};
  c.connection.greeted = true;
  return {{"protocolVersion", std::uint64_t{1}},
          {"acceptedClientKind", "mcp"},
          {"coreVersion", "trelvo-demo-core 0.1.0"}};
}

Json flow_list(Context& c) {
  FlowFilter filter;
  filter.limit = opt_uint(c.params, "limit").value_or(50);
  filter.newest_first = opt_bool(c.params, "newestFirst", true);
  filter.host = opt_string(c.params, "host");
  filter.path_contains = opt_string(c.params, "pathContains");
  filter.method = opt_string(c.params, "method");
  filter.since_seq = opt_uint(c.params, "sinceSeq");
  if (auto status = opt_string(c.params, "status")) {
    filter.status = parse_status_filter(*status);
    if (!filter.status) {
      throw bad_params(
          "\"status\" must be a code such as \"401\" or a class such as \"4xx\", not \"" + *status +
          "\"");
    }
  }
  FlowListing listing = c.capture.list_flows(filter);
  Json flows = Json::array();
  for (const Flow* f : listing.flows) flows.push_back(flow_json(*f));
  return {{"flows", std::move(flows)}, {"matchedTotal", listing.matched_total}};
}

Json flow_detail(Context& c) {
  auto id = opt_uint(c.params, "flowId");
  if (!id) throw bad_params("\"flowId\" is required");
  const Flow* f = c.capture.find_flow(*id);
  if (!f) throw Refusal{"not_found", "no flow with id " + std::to_string(*id)};
  return {{"summary", flow_json(*f)},
          {"reqHeaders", headers_json(f->req_headers)},
          {"respHeaders", headers_json(f->resp_headers)},
          {"reqBodyB64", base64_encode(f->req_body.bytes)},
          {"respBodyB64", base64_encode(f->resp_body.bytes)},
          {"reqBodyMeta", body_meta(f->req_body)},
          {"respBodyMeta", body_meta(f->resp_body)}};
}

Json status(Context& c) {
  const auto& flows = c.capture.flows;
  return {{"proxyPort", c.capture.proxy_port},
          {"paused", c.capture.paused},
          {"decryptHosts", c.capture.decrypt_hosts},
          {"flowCount", static_cast<std::uint64_t>(flows.size())},
          {"oldestFlowTs", flows.empty() ? Json(nullptr) : Json(flows.front().ts)}};
}

Json findings(Context& c) {
  return c.capture.findings;
}

void check_inspection(const Context& c) {
  if (c.switches.inspection_disabled) {
    throw Refusal{"inspection_disabled", "page inspection is turned off"};
  }
}

Page& page_param(Context& c) {
  std::string handle = required_string(c.params, "pageHandle");
  Page* page = c.capture.find_page(handle);
  if (!page) throw Refusal{"page_not_found", "no page with handle " + handle};
  return *page;
}

Json snapshot(Context& c) {
  check_inspection(c);
  Json devices = Json::array();
  for (const Device& d : c.capture.devices) {
    Json apps = Json::array();
    for (const App& a : d.apps) {
      Json pages = Json::array();
      for (const Page& p : a.pages) {
        pages.push_back(
            {{"pageHandle", p.handle}, {"title", p.title}, {"url", p.url}, {"state", p.state}});
      }
      apps.push_back({{"bundleId", a.bundle_id}, {"pages", std::move(pages)}});
    }
    devices.push_back({{"deviceId", d.id}, {"name", d.name}, {"apps", std::move(apps)}});
  }
  return {{"devices", std::move(devices)}};
}

Json console_messages(Context& c) {
  check_inspection(c);
  if (c.switches.console_disabled) {
    throw Refusal{"CONSOLE_READ_DISABLED", "console access for AI agents is turned off"};
  }
  Page& page = page_param(c);
  ConsoleFilter filter;
  filter.limit = opt_uint(c.params, "limit").value_or(100);
  filter.newest_first = opt_bool(c.params, "newestFirst", true);
  filter.since_seq = opt_uint(c.params, "sinceSeq");
  if (auto level = opt_string(c.params, "level")) {
    filter.min_level = level_rank(*level);
    if (!filter.min_level) {
      throw bad_params("\"level\" must be debug, log, info, warn or error, not \"" + *level + "\"");
    }
  }
  ConsoleListing listing = list_console(page, filter);
  Json messages = Json::array();
  for (const ConsoleMessage* m : listing.messages) messages.push_back(message_json(*m));
  return {{"messages", std::move(messages)}, {"truncated", listing.truncated}};
}

Json evaluation(Json result, bool thrown) {
  return {{"result", std::move(result)}, {"wasThrown", thrown}, {"resultTruncated", false}};
}

// What a demo page says of an expression it cannot evaluate.
constexpr const char* kCannotEvaluate =
    "Error: a demo page evaluates arithmetic on numbers and strings (1 + 1, 'a' + 'b'), "
    "document.title, location.href, navigator.userAgent and document.readyState, "
    "nothing else";

Json evaluate(Context& c) {
  check_inspection(c);
  if (c.switches.eval_disabled) {
    throw Refusal{"EVAL_DISABLED", "JavaScript evaluation for AI agents is turned off"};
  }
  Page& page = page_param(c);
  std::string expression = required_string(c.params, "expression");
  if (page.state == "suspended") {
    throw Refusal{"page_unavailable", "the page is suspended"};
  }
  if (expression == "document.title") return evaluation(page.title, false);
  if (expression == "location.href") return evaluation(page.url, false);
  if (expression == "navigator.userAgent") return evaluation(page.user_agent, false);
  if (expression == "document.readyState") return evaluation("complete", false);
  if (expression.find("while (true)") != std::string::npos ||
      expression.find("while(true)") != std::string::npos) {
    throw Refusal{"eval_timeout", "the page did not answer within 5 s"};
  }
  if (auto value = evaluate_arithmetic(expression)) return evaluation(std::move(*value), false);
  return evaluation(kCannotEvaluate, true);
}

using Method = std::function<Json(Context&)>;

const std::map<std::string, Method, std::less<>>& methods() {
  static const std::map<std::string, Method, std::less<>> table = {
      {"hello", hello},
      {"flow.list", flow_list},
      {"flow.getDetail", flow_detail},
      {"mcp.status", status},
      {"findings.get", findings},
      {"wir.snapshot", snapshot},
      {"wir.consoleMessages", console_messages},
      {"wir.evaluate", evaluate},
  };
  return table;
}

Json answer(Context& c, const Json& method) {
  if (!method.is_string()) throw Refusal{"invalid_request", "\"method\" must be a string"};
  const std::string& name = method.get_ref<const std::string&>();
  auto it = methods().find(name);
  if (it == methods().end()) throw Refusal{"unknown_method", "unknown method: " + name};
  if (name != "hello" && !c.connection.greeted) {
    throw Refusal{"hello_required", "say hello before calling " + name};
  }
  if (!c.params.is_null() && !c.params.is_object()) {
    throw bad_params("params must be an object");
  }
  return it->second(c);
}

std::string error_reply(const Json& id, const Refusal& r) {
  return json::compact({{"id", id}, {"error", {{"code", r.code}, {"message", r.message}}}});
}

}  // namespace

std::optional<std::string> handle_line(Capture& capture, const Switches& switches,
                                       Connection& connection, std::string_view line) {
  auto parsed = json::parse(line);
  if (!parsed) return std::nullopt;
  const Json& request = parsed.value();
  if (!request.is_object()) {
    return error_reply(nullptr, {"invalid_request", "a request must be a JSON object"});
  }
  Json id = json::get_or(request, "id", nullptr);
  Json params = json::get_or(request, "params", nullptr);
  Context context{capture, switches, connection, params};
  try {
    Json result = answer(context, json::get_or(request, "method", nullptr));
    return json::compact({{"id", id}, {"result", std::move(result)}});
  } catch (const Refusal& r) {
    return error_reply(id, r);
  } catch (const std::exception& e) {
    return error_reply(id, {"internal", std::string("the demo core failed: ") + e.what()});
  }
}

}  // namespace demo
