#include "tools/catalogue.h"

#include <gtest/gtest.h>

namespace {

// The published catalogue, as the agent receives it in the "tools/list" result.
constexpr const char* kGoldenToolsList =
    R"json({"tools":[)json"
    R"json({"description":"List recently captured HTTP(S) flows from Trelvo, newest first. Use filters to narrow by host, path, method, or status. Returns summaries (no bodies).","inputSchema":{"properties":{"host":{"description":"Exact host to match (case-insensitive).","type":"string"},"limit":{"description":"Max flows to return (default 50, max 200).","type":"integer"},"method":{"description":"HTTP method, e.g. GET, POST.","type":"string"},"path_contains":{"description":"Case-insensitive substring of the request path. When credential masking is enabled, matching runs against the masked path, so original secret values (e.g. token contents) will not match.","type":"string"},"since_seq":{"description":"Only flows with activity after this sequence number.","type":"integer"},"status":{"description":"Exact status like \"401\" or a class like \"4xx\".","type":"string"}},"type":"object"},"name":"list_flows"},)json"
    R"json({"description":"Get full detail for one flow by id: request/response headers, plus bodies when include_bodies is true (off by default — bodies are never masked). Bodies are decoded to text when printable, truncated to max_body_bytes; binary bodies are omitted with a note.","inputSchema":{"properties":{"flow_id":{"description":"The flow id from list_flows.","type":"integer"},"include_bodies":{"description":"Include request/response bodies (default false). Bodies are never masked and may contain raw credentials or session tokens.","type":"boolean"},"max_body_bytes":{"description":"Truncate each body to this many bytes (default 16384).","type":"integer"}},"required":["flow_id"],"type":"object"},"name":"get_flow"},)json"
    R"json({"description":"Report whether Trelvo is capturing: proxy port, paused state, the HTTPS decrypt allowlist, flow count, and the oldest retained flow time. Use this to check if a target host is being decrypted before asking why a request failed.","inputSchema":{"properties":{},"type":"object"},"name":"get_capture_status"},)json"
    R"json({"description":"Get Trelvo's deterministic findings about the capture path: proxy endpoints, profile push, PAC fetch, CA download, recent flows, and the open question of whether a device is currently routing through Trelvo. Each item is a fact (a verified observation), a finding (a rule-derived conclusion), or an unknown (a question Trelvo cannot decide, with the evidence that would decide it in would_decide) — relay unknowns as unknowns, never upgrade them to conclusions. Everything is observed on the Mac; the report never claims device-side state. The report is a point-in-time snapshot — re-fetch before answering.","inputSchema":{"properties":{},"type":"object"},"name":"get_findings"},)json"
    R"json({"description":"List inspectable web pages on connected iOS devices (Safari and WKWebViews with isInspectable=true), grouped by device. Returns page handles for get_console_messages.","inputSchema":{"properties":{},"type":"object"},"name":"list_pages"},)json"
    R"json({"description":"Get console messages and JS errors for one page by page_handle. received_at (ISO 8601) is delivery time at Trelvo, not page-side event time — console and flow delivery paths differ (measured skew typically ~20 ms, tails past 100 ms), so nearby cross-timeline timestamps do not establish order; correlate with list_flows by page_url_at_capture and content, not timestamp adjacency.","inputSchema":{"properties":{"level":{"description":"Minimum level.","enum":["debug","log","info","warn","error"],"type":"string"},"limit":{"description":"Max messages (default 100, max 500).","type":"integer"},"newest_first":{"description":"Take newest N (default true). Message order matches newest_first.","type":"boolean"},"page_handle":{"description":"From list_pages.","type":"string"},"since_seq":{"description":"Only messages with seq greater than this.","type":"integer"}},"required":["page_handle"],"type":"object"},"name":"get_console_messages"},)json"
    R"json({"description":"Executes JavaScript in the page. The page can see and react to this; results may contain sensitive data. Call get_console_messages first when you just need to observe — only reach for this when you need to actively query page state (e.g. document.title, a DOM value) that console output doesn't already show.","inputSchema":{"properties":{"expression":{"description":"JavaScript expression to evaluate in the page's top-level context.","type":"string"},"page_handle":{"description":"From list_pages.","type":"string"}},"required":["page_handle","expression"],"type":"object"},"name":"evaluate_js"})json"
    R"json(]})json";

TEST(CatalogueTest, SerializedToolsListMatchesThePublishedCatalogueByteForByte) {
  EXPECT_EQ(json::compact(Json{{"tools", tools::tool_specs()}}), kGoldenToolsList);
}

TEST(CatalogueTest, ToolsWithoutArgumentsHaveEmptyPropertiesAndNoRequiredMember) {
  for (const Json& tool : tools::tool_specs()) {
    const Json& schema = tool.at("inputSchema");
    if (!schema.at("properties").empty()) continue;
    EXPECT_EQ(json::find(schema, "required"), nullptr) << tool.at("name");
  }
}

TEST(CatalogueTest, EveryCallReturnsAFreshCopy) {
  Json first = tools::tool_specs();
  first[0]["name"] = "changed";
  first.erase(1);
  const Json second = tools::tool_specs();
  EXPECT_EQ(second.size(), 7u);
  EXPECT_EQ(second[0].at("name"), "list_flows");
}

}  // namespace
