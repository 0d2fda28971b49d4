#include "tools/catalogue.h"

#include <initializer_list>

namespace tools {
namespace {

struct Property {
  const char* name;
  const char* type;
  const char* description;
  std::initializer_list<const char*> choices = {};  // an "enum" when any
};

Json tool(const char* name, const char* description,
          std::initializer_list<Property> properties = {},
          std::initializer_list<const char*> required = {}) {
  Json props = Json::object();
  for (const Property& p : properties) {
    Json property = Json::object({{"type", p.type}, {"description", p.description}});
    if (p.choices.size() > 0) property["enum"] = p.choices;
    props[p.name] = std::move(property);
  }
  Json schema = Json::object({{"type", "object"}, {"properties", std::move(props)}});
  if (required.size() > 0) schema["required"] = required;
  return Json::object(
      {{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}});
}

}  // namespace

Json tool_specs() {
  return Json::array({
      tool("list_flows",
           "List recently captured HTTP(S) flows from Trelvo, newest first. Use filters to narrow "
           "by host, path, method, or status. Returns summaries (no bodies).",
           {{"host", "string", "Exact host to match (case-insensitive)."},
            {"path_contains", "string",
             "Case-insensitive substring of the request path. When credential masking is "
             "enabled, matching runs against the masked path, so original secret values (e.g. "
             "token contents) will not match."},
            {"method", "string", "HTTP method, e.g. GET, POST."},
            {"status", "string", "Exact status like \"401\" or a class like \"4xx\"."},
            {"since_seq", "integer", "Only flows with activity after this sequence number."},
            {"limit", "integer", "Max flows to return (default 50, max 200)."}}),
      tool(
          "get_flow",
          "Get full detail for one flow by id: request/response headers, plus bodies when "
          "include_bodies is true (off by default \u2014 bodies are never masked). Bodies are "
          "decoded to text when printable, truncated to max_body_bytes; binary bodies are "
          "omitted with a note.",
          {{"flow_id", "integer", "The flow id from list_flows."},
           {"include_bodies", "boolean",
            "Include request/response bodies (default false). Bodies are never masked and may "
            "contain raw credentials or session tokens."},
           {"max_body_bytes", "integer", "Truncate each body to this many bytes (default 16384)."}},
          {"flow_id"}),
      tool("get_capture_status",
           "Report whether Trelvo is capturing: proxy port, paused state, the HTTPS decrypt "
           "allowlist, flow count, and the oldest retained flow time. Use this to check if a "
           "target host is being decrypted before asking why a request failed."),
      tool("get_findings",
           "Get Trelvo's deterministic findings about the capture path: proxy endpoints, profile "
           "push, PAC fetch, CA download, recent flows, and the open question of whether a device "
           "is currently routing through Trelvo. Each item is a fact (a verified observation), a "
           "finding (a rule-derived conclusion), or an unknown (a question Trelvo cannot decide, "
           "with the evidence that would decide it in would_decide) \u2014 relay unknowns as "
           "unknowns, never upgrade them to conclusions. Everything is observed on the Mac; the "
           "report never claims device-side state. The report is a point-in-time snapshot "
           "\u2014 re-fetch before answering."),
      tool("list_pages",
           "List inspectable web pages on connected iOS devices (Safari and WKWebViews with "
           "isInspectable=true), grouped by device. Returns page handles for "
           "get_console_messages."),
      tool("get_console_messages",
           "Get console messages and JS errors for one page by page_handle. received_at (ISO "
           "8601) is delivery time at Trelvo, not page-side event time \u2014 console and flow "
           "delivery paths differ (measured skew typically ~20 ms, tails past 100 ms), so nearby "
           "cross-timeline timestamps do not establish order; correlate with list_flows by "
           "page_url_at_capture and content, not timestamp adjacency.",
           {{"page_handle", "string", "From list_pages."},
            {"since_seq", "integer", "Only messages with seq greater than this."},
            {"limit", "integer", "Max messages (default 100, max 500)."},
            {"newest_first", "boolean",
             "Take newest N (default true). Message order matches newest_first."},
            {"level", "string", "Minimum level.", {"debug", "log", "info", "warn", "error"}}},
           {"page_handle"}),
      tool("evaluate_js",
           "Executes JavaScript in the page. The page can see and react to this; results may "
           "contain sensitive data. Call get_console_messages first when you just need to "
           "observe \u2014 only reach for this when you need to actively query page state (e.g. "
           "document.title, a DOM value) that console output doesn't already show.",
           {{"page_handle", "string", "From list_pages."},
            {"expression", "string",
             "JavaScript expression to evaluate in the page's top-level context."}},
           {"page_handle", "expression"}),
  });
}

}  // namespace tools
