#include "tools/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_core_link.h"

namespace {

// The published catalogue, in the response to a "tools/list" with id "a".
constexpr const char* kGoldenToolsList =
    R"json({"id":"a","jsonrpc":"2.0","result":{"tools":[)json"
    R"json({"description":"List recently captured HTTP(S) flows from Trelvo, newest first. Use filters to narrow by host, path, method, or status. Returns summaries (no bodies).","inputSchema":{"properties":{"host":{"description":"Exact host to match (case-insensitive).","type":"string"},"limit":{"description":"Max flows to return (default 50, max 200).","type":"integer"},"method":{"description":"HTTP method, e.g. GET, POST.","type":"string"},"path_contains":{"description":"Case-insensitive substring of the request path. When credential masking is enabled, matching runs against the masked path, so original secret values (e.g. token contents) will not match.","type":"string"},"since_seq":{"description":"Only flows with activity after this sequence number.","type":"integer"},"status":{"description":"Exact status like \"401\" or a class like \"4xx\".","type":"string"}},"type":"object"},"name":"list_flows"},)json"
    R"json({"description":"Get full detail for one flow by id: request/response headers, plus bodies when include_bodies is true (off by default — bodies are never masked). Bodies are decoded to text when printable, truncated to max_body_bytes; binary bodies are omitted with a note.","inputSchema":{"properties":{"flow_id":{"description":"The flow id from list_flows.","type":"integer"},"include_bodies":{"description":"Include request/response bodies (default false). Bodies are never masked and may contain raw credentials or session tokens.","type":"boolean"},"max_body_bytes":{"description":"Truncate each body to this many bytes (default 16384).","type":"integer"}},"required":["flow_id"],"type":"object"},"name":"get_flow"},)json"
    R"json({"description":"Report whether Trelvo is capturing: proxy port, paused state, the HTTPS decrypt allowlist, flow count, and the oldest retained flow time. Use this to check if a target host is being decrypted before asking why a request failed.","inputSchema":{"properties":{},"type":"object"},"name":"get_capture_status"},)json"
    R"json({"description":"Get Trelvo's deterministic findings about the capture path: proxy endpoints, profile push, PAC fetch, CA download, recent flows, and the open question of whether a device is currently routing through Trelvo. Each item is a fact (a verified observation), a finding (a rule-derived conclusion), or an unknown (a question Trelvo cannot decide, with the evidence that would decide it in would_decide) — relay unknowns as unknowns, never upgrade them to conclusions. Everything is observed on the Mac; the report never claims device-side state. The report is a point-in-time snapshot — re-fetch before answering.","inputSchema":{"properties":{},"type":"object"},"name":"get_findings"},)json"
    R"json({"description":"List inspectable web pages on connected iOS devices (Safari and WKWebViews with isInspectable=true), grouped by device. Returns page handles for get_console_messages.","inputSchema":{"properties":{},"type":"object"},"name":"list_pages"},)json"
    R"json({"description":"Get console messages and JS errors for one page by page_handle. received_at (ISO 8601) is delivery time at Trelvo, not page-side event time — console and flow delivery paths differ (measured skew typically ~20 ms, tails past 100 ms), so nearby cross-timeline timestamps do not establish order; correlate with list_flows by page_url_at_capture and content, not timestamp adjacency.","inputSchema":{"properties":{"level":{"description":"Minimum level.","enum":["debug","log","info","warn","error"],"type":"string"},"limit":{"description":"Max messages (default 100, max 500).","type":"integer"},"newest_first":{"description":"Take newest N (default true). Message order matches newest_first.","type":"boolean"},"page_handle":{"description":"From list_pages.","type":"string"},"since_seq":{"description":"Only messages with seq greater than this.","type":"integer"}},"required":["page_handle"],"type":"object"},"name":"get_console_messages"},)json"
    R"json({"description":"Executes JavaScript in the page. The page can see and react to this; results may contain sensitive data. Call get_console_messages first when you just need to observe — only reach for this when you need to actively query page state (e.g. document.title, a DOM value) that console output doesn't already show.","inputSchema":{"properties":{"expression":{"description":"JavaScript expression to evaluate in the page's top-level context.","type":"string"},"page_handle":{"description":"From list_pages.","type":"string"}},"required":["page_handle","expression"],"type":"object"},"name":"evaluate_js"})json"
    R"json(]}})json";

TEST(DispatchTest, ToolsListAnswersThePublishedCatalogueByteForByteWithoutTheCore) {
  FakeCoreLink core;
  EXPECT_EQ(tools::dispatch(core, "tools/list", "a", nullptr), kGoldenToolsList);
  EXPECT_EQ(
      tools::dispatch(core, "tools/List", 7, nullptr),
      R"({"error":{"code":-32601,"message":"method not found: tools/List"},"id":7,"jsonrpc":"2.0"})");
  EXPECT_TRUE(core.calls().empty());
}

TEST(DispatchTest, BadCallsAreInvalidParamsAndNeverReachTheCore) {
  const std::pair<std::string, std::string> cases[] = {
      {"null", "unknown tool: "},
      {R"({"name": 5})", "unknown tool: "},
      {R"({"name": "List_flows", "arguments": {"x": 1}})", "unknown tool: List_flows"},
      // Arguments are judged before the name is looked up.
      {R"({"name": "nope", "arguments": {"limit": "x"}})",
       "argument limit must be a non-negative integer"},
      {R"({"name": "list_flows", "arguments": null})", "arguments must be an object"},
      {R"({"name": "get_flow"})", "missing required argument: flow_id (integer)"},
  };
  FakeCoreLink core;
  for (const auto& [params, message] : cases) {
    EXPECT_EQ(tools::dispatch(core, "tools/call", 7, Json::parse(params)),
              R"({"error":{"code":-32602,"message":")" + message + R"("},"id":7,"jsonrpc":"2.0"})");
  }
  EXPECT_TRUE(core.calls().empty());
}

TEST(DispatchTest, EachToolMakesOneCoreCallWithItsMethodAndDefaultParams) {
  const struct {
    std::string tool;
    std::string args;
    std::string method;
    std::string params;  // null: the request has no params
  } cases[] = {
      {"list_flows", "{}", "flow.list", R"({"limit":50,"newestFirst":true})"},
      {"get_flow", R"({"flow_id": 3})", "flow.getDetail", R"({"flowId":3})"},
      {"get_capture_status", "{}", "mcp.status", "null"},
      {"get_findings", R"({"ignored": 1})", "findings.get", "null"},
      {"list_pages", "{}", "wir.snapshot", "null"},
      {"get_console_messages", R"({"page_handle": "p"})", "wir.consoleMessages",
       R"({"limit":100,"newestFirst":true,"pageHandle":"p"})"},
      {"evaluate_js", R"({"page_handle": "p", "expression": "1"})", "wir.evaluate",
       R"({"expression":"1","pageHandle":"p"})"},
  };
  for (const auto& c : cases) {
    const ToolRun run = run_tool(c.tool, c.args);
    EXPECT_EQ(run.core_method, c.method);
    EXPECT_EQ(run.core_params, c.params) << c.method;
  }
}

TEST(DispatchTest, SuccessCarriesThePrettyShapedAnswerInTheEnvelope) {
  FakeCoreLink core;
  core.answer(Json::parse(R"({"proxyPort": 9090, "flowCount": 2, "paused": false})"));
  EXPECT_EQ(
      tools::dispatch(core, "tools/call", 7, Json::parse(R"({"name": "get_capture_status"})")),
      R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":)"
      R"("{\n  \"decrypt_allowlist\": [],\n  \"flow_count\": 2,\n  \"oldest_flow_time\": null,)"
      R"(\n  \"paused\": false,\n  \"proxy_port\": 9090\n}","type":"text"}],"isError":false}})");
}

TEST(DispatchTest, EveryCoreFailureIsAnErrorResultWithItsSentence) {
  const std::string not_running = "Trelvo is not running. Launch Trelvo to start capturing.";
  const std::string settings = " Enable it in Trelvo \u2192 Settings \u2192 AI Agents.";
  const std::vector<std::pair<UpstreamError, std::string>> cases = {
      {UpstreamError::not_running(), not_running},
      {UpstreamError::transport("read timeout"), not_running},
      {UpstreamError::protocol_mismatch(),
       "Trelvo core protocol mismatch \u2014 update Trelvo and retry."},
      {UpstreamError::deadline_exceeded(),
       "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening."},
      {UpstreamError::interrupted("core closed connection"),
       "Lost the connection to Trelvo while the expression was running; it may or may not have "
       "run. Check the page before running it again."},
      {UpstreamError::core_error("not_found", "no such flow"),
       "Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have been "
       "evicted."},
      {UpstreamError::core_error("MCP_DISABLED", "x"), "MCP access is disabled." + settings},
      {UpstreamError::core_error("EVAL_DISABLED", "x"),
       "JS evaluation for AI agents is disabled." + settings},
      {UpstreamError::core_error("CONSOLE_READ_DISABLED", "x"),
       "Console access for AI agents is disabled." + settings},
      {UpstreamError::core_error("eval_timeout", "x"),
       "The page did not respond to the JavaScript call in time. Bring it to the foreground and "
       "retry."},
      {UpstreamError::core_error("page_not_found", "x"),
       "Page not found \u2014 it may have closed or navigated away. Call list_pages for current "
       "handles."},
      {UpstreamError::core_error("page_unavailable", "x"),
       "Page is unavailable \u2014 the device may be locked, or the page suspended or closed. "
       "Bring it to the foreground and retry."},
      {UpstreamError::core_error("wir_disconnected", "x"),
       "Device connection dropped mid-request. Retry; Trelvo reconnects automatically."},
      {UpstreamError::core_error("inspection_disabled", "x"),
       "Page inspection is disabled. Ask the user to enable it in Trelvo's Console space "
       "(\xE2\x8C\x98"
       "4)."},
      {UpstreamError::core_error("mcp_disabled", "lower case is another code"),
       "Trelvo error: lower case is another code"},
      {UpstreamError::core_error("", ""), "Trelvo error: "},
  };
  const Json params = Json::parse(R"({"name": "get_flow", "arguments": {"flow_id": 9}})");
  for (const auto& [failure, text] : cases) {
    FakeCoreLink core;
    core.fail(failure);
    EXPECT_EQ(tools::dispatch(core, "tools/call", 1, params), tools::tool_result(1, {text, true}))
        << text;
    EXPECT_EQ(core.calls().size(), 1u);
  }
  EXPECT_EQ(
      tools::tool_result("x", {"boom", true}),
      R"({"id":"x","jsonrpc":"2.0","result":{"content":[{"text":"boom","type":"text"}],"isError":true}})");
}

}  // namespace
