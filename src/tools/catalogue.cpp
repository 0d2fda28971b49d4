#include "tools/catalogue.h"

#include <initializer_list>
#include <string>

namespace tools {
namespace {

Json property(const char* type, const char* description) {
  return Json{{"type", type}, {"description", description}};
}

Json schema(Json properties, std::initializer_list<const char*> required = {}) {
  Json out{{"type", "object"}, {"properties", std::move(properties)}};
  if (required.size() > 0) {
    Json names = Json::array();
    for (const char* name : required) names.push_back(name);
    out["required"] = std::move(names);
  }
  return out;
}

Json tool(const char* name, const char* description, Json input_schema) {
  return Json{
      {"name", name}, {"description", description}, {"inputSchema", std::move(input_schema)}};
}

Json list_flows_tool() {
  Json props = Json::object();
  props["host"] = property("string", "Exact host to match (case-insensitive).");
  props["path_contains"] = property(
      "string",
      "Case-insensitive substring of the request path. When credential masking is enabled, "
      "matching runs against the masked path, so original secret values (e.g. token contents) "
      "will not match.");
  props["method"] = property("string", "HTTP method, e.g. GET, POST.");
  props["status"] = property("string", "Exact status like \"401\" or a class like \"4xx\".");
  props["since_seq"] = property("integer", "Only flows with activity after this sequence number.");
  props["limit"] = property("integer", "Max flows to return (default 50, max 200).");
  return tool("list_flows",
              "List recently captured HTTP(S) flows from Trelvo, newest first. Use filters to "
              "narrow by host, path, method, or status. Returns summaries (no bodies).",
              schema(std::move(props)));
}

Json get_flow_tool() {
  Json props = Json::object();
  props["flow_id"] = property("integer", "The flow id from list_flows.");
  props["include_bodies"] = property(
      "boolean",
      "Include request/response bodies (default false). Bodies are never masked and may contain "
      "raw credentials or session tokens.");
  props["max_body_bytes"] =
      property("integer", "Truncate each body to this many bytes (default 16384).");
  return tool("get_flow",
              "Get full detail for one flow by id: request/response headers, plus bodies when "
              "include_bodies is true (off by default \u2014 bodies are never masked). Bodies are "
              "decoded to text when printable, truncated to max_body_bytes; binary bodies are "
              "omitted with a note.",
              schema(std::move(props), {"flow_id"}));
}

Json capture_status_tool() {
  return tool("get_capture_status",
              "Report whether Trelvo is capturing: proxy port, paused state, the HTTPS decrypt "
              "allowlist, flow count, and the oldest retained flow time. Use this to check if a "
              "target host is being decrypted before asking why a request failed.",
              schema(Json::object()));
}

Json findings_tool() {
  return tool(
      "get_findings",
      "Get Trelvo's deterministic findings about the capture path: proxy endpoints, profile push, "
      "PAC fetch, CA download, recent flows, and the open question of whether a device is "
      "currently routing through Trelvo. Each item is a fact (a verified observation), a finding "
      "(a rule-derived conclusion), or an unknown (a question Trelvo cannot decide, with the "
      "evidence that would decide it in would_decide) \u2014 relay unknowns as unknowns, never "
      "upgrade them to conclusions. Everything is observed on the Mac; the report never claims "
      "device-side state. The report is a point-in-time snapshot \u2014 re-fetch before "
      "answering.",
      schema(Json::object()));
}

Json list_pages_tool() {
  return tool("list_pages",
              "List inspectable web pages on connected iOS devices (Safari and WKWebViews with "
              "isInspectable=true), grouped by device. Returns page handles for "
              "get_console_messages.",
              schema(Json::object()));
}

Json console_messages_tool() {
  Json props = Json::object();
  props["page_handle"] = property("string", "From list_pages.");
  props["since_seq"] = property("integer", "Only messages with seq greater than this.");
  props["limit"] = property("integer", "Max messages (default 100, max 500).");
  props["newest_first"] =
      property("boolean", "Take newest N (default true). Message order matches newest_first.");
  Json level = property("string", "Minimum level.");
  level["enum"] = Json::array({"debug", "log", "info", "warn", "error"});
  props["level"] = std::move(level);
  return tool(
      "get_console_messages",
      "Get console messages and JS errors for one page by page_handle. received_at (ISO 8601) is "
      "delivery time at Trelvo, not page-side event time \u2014 console and flow delivery paths "
      "differ (measured skew typically ~20 ms, tails past 100 ms), so nearby cross-timeline "
      "timestamps do not establish order; correlate with list_flows by page_url_at_capture and "
      "content, not timestamp adjacency.",
      schema(std::move(props), {"page_handle"}));
}

Json evaluate_js_tool() {
  Json props = Json::object();
  props["page_handle"] = property("string", "From list_pages.");
  props["expression"] =
      property("string", "JavaScript expression to evaluate in the page's top-level context.");
  return tool("evaluate_js",
              "Executes JavaScript in the page. The page can see and react to this; results may "
              "contain sensitive data. Call get_console_messages first when you just need to "
              "observe \u2014 only reach for this when you need to actively query page state (e.g. "
              "document.title, a DOM value) that console output doesn't already show.",
              schema(std::move(props), {"page_handle", "expression"}));
}

}  // namespace

Json tool_specs() {
  return Json::array({list_flows_tool(), get_flow_tool(), capture_status_tool(), findings_tool(),
                      list_pages_tool(), console_messages_tool(), evaluate_js_tool()});
}

}  // namespace tools
