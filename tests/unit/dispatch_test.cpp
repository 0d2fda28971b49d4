#include "tools/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fake_core_link.h"
#include "tools/validate.h"

namespace {

// The catalogue as a client reads it: seven tools in a fixed order, each
// schema an object whose required arguments are among its properties.
TEST(DispatchTest, ToolsListAnswersTheCatalogueWithoutTheCore) {
  FakeCoreLink core;
  const Json response = Json::parse(tools::dispatch(core, "tools/list", "a", nullptr));
  EXPECT_EQ(response["id"], "a");
  std::string names;
  for (const Json& tool : response["result"]["tools"]) {
    names += tool["name"].get<std::string>() + " ";
    EXPECT_EQ(tool.size(), 3u) << tool;
    EXPECT_FALSE(tool["description"].get<std::string>().empty());
    EXPECT_EQ(tool["inputSchema"]["type"], "object");
    for (const Json& name : json::get_or(tool["inputSchema"], "required", Json::array())) {
      EXPECT_TRUE(tool["inputSchema"]["properties"].contains(name)) << name;
    }
  }
  EXPECT_EQ(names,
            "list_flows get_flow get_capture_status get_findings list_pages get_console_messages "
            "evaluate_js ");
  // The schemas promise what validation enforces: the first required argument is missing from
  // {}, and every property's type is checked.
  for (const Json& tool : response["result"]["tools"]) {
    const std::string name = tool["name"];
    const Json& schema = tool["inputSchema"];
    const Json required = json::get_or(schema, "required", Json::array());
    const std::string missing = tools::check_args(name, Json::object()).value_or("");
    EXPECT_EQ(missing, required.empty()
                           ? ""
                           : "missing required argument: " + required[0].get<std::string>() + " (" +
                                 schema["properties"][required[0]]["type"].get<std::string>() +
                                 ")");
    for (const auto& [key, property] : schema["properties"].items()) {
      const Json wrong = property["type"] == "string" ? Json(1) : Json("1");
      EXPECT_TRUE(
          tools::check_args(name, {{key, wrong}}).value_or("").starts_with("argument " + key))
          << name << " " << key;
    }
  }
  const Json& level = response["result"]["tools"][5]["inputSchema"]["properties"]["level"];
  EXPECT_EQ(json::get_or(level, "enum", nullptr).size(), 5u);  // hosts offer the choices
  EXPECT_EQ(response["result"]["tools"][4]["description"],
            "List inspectable web pages on connected iOS devices (Safari and WKWebViews with "
            "isInspectable=true), grouped by device. Returns page handles for "
            "get_console_messages.");
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

// Each known failure has a sentence of its own; an unknown core code (codes
// are case-sensitive) shows the core's message; a broken connection reads
// like an absent core.
TEST(DispatchTest, EveryCoreFailureIsAnErrorResultWithItsSentence) {
  const std::string not_running = "Trelvo is not running. Launch Trelvo to start capturing.";
  const Json params = Json::parse(R"({"name": "get_flow", "arguments": {"flow_id": 9}})");
  auto text_for = [&](const UpstreamError& failure) {
    FakeCoreLink core;
    core.fail(failure);
    const Json result = Json::parse(tools::dispatch(core, "tools/call", 1, params))["result"];
    EXPECT_EQ(result["isError"], true);
    EXPECT_EQ(core.calls().size(), 1u);
    return result["content"][0]["text"].get<std::string>();
  };
  std::vector<UpstreamError> known = {UpstreamError::protocol_mismatch(),
                                      UpstreamError::deadline_exceeded(),
                                      UpstreamError::interrupted("core closed connection")};
  for (const char* code :
       {"not_found", "MCP_DISABLED", "EVAL_DISABLED", "CONSOLE_READ_DISABLED", "eval_timeout",
        "page_not_found", "page_unavailable", "wir_disconnected", "inspection_disabled"}) {
    known.push_back(UpstreamError::core_error(code, "the core's words"));
  }
  std::set<std::string> sentences = {not_running};
  for (const UpstreamError& failure : known) {
    const std::string text = text_for(failure);
    EXPECT_TRUE(sentences.insert(text).second) << "said twice: " << text;
    EXPECT_EQ(text.find("the core's words"), std::string::npos) << text;
  }
  EXPECT_EQ(text_for(UpstreamError::not_running()), not_running);
  EXPECT_EQ(text_for(UpstreamError::transport("read timeout")), not_running);
  EXPECT_EQ(text_for(UpstreamError::core_error("page_not_found", "")),
            "Page not found \u2014 it may have closed or navigated away. Call list_pages for "
            "current handles.");
  EXPECT_EQ(text_for(UpstreamError::core_error("mcp_disabled", "lower case is another code")),
            "Trelvo error: lower case is another code");
  EXPECT_EQ(text_for(UpstreamError::core_error("", "")), "Trelvo error: ");
}

TEST(DispatchTest, AnAnswerOverrunningTheDeadlineIsCutShortAndReportedAsLate) {
  // Some 6 MB of summaries from 20,000 empty flows.
  Json flows = Json::array();
  for (int i = 0; i < 20000; ++i) flows.push_back(Json::object());
  FakeCoreLink core;
  core.answer({{"flows", flows}});
  core.answer({{"flows", flows}});
  core.late = true;
  Buffer out;
  tools::dispatch_into(out, core, "tools/call", 1, {{"name", "list_flows"}});
  EXPECT_EQ(Json::parse(out.view())["result"]["content"][0]["text"],
            "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening.");
  // Writing stopped at the first check, not at the end.
  EXPECT_LT(out.capacity(), 3u << 20);
  // On time, the same answer is written whole.
  core.late = false;
  out.clear();
  tools::dispatch_into(out, core, "tools/call", 2, {{"name", "list_flows"}});
  EXPECT_GT(out.size(), 3u << 20);
  EXPECT_EQ(Json::parse(out.view())["result"]["isError"], false);
}

}  // namespace
