#include "tools/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tool_run.h"
#include "tools/validate.h"

namespace {

// The catalogue as a client reads it: seven tools in a fixed order, each
// schema an object whose required arguments are among its properties.
TEST(DispatchTest, ToolsListAnswersTheCatalogueWithoutTheCore) {
  FakeUpstream core;
  const Json response = Json::parse(dispatch_text(core, "tools/list", "a", nullptr));
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
      EXPECT_TRUE(tools::check_args(name, Json::object({{key, wrong}}))
                      .value_or("")
                      .starts_with("argument " + key))
          << name << " " << key;
    }
  }
  const Json& level = response["result"]["tools"][5]["inputSchema"]["properties"]["level"];
  EXPECT_EQ(json::get_or(level, "enum", nullptr).size(), 5u);  // hosts offer the choices
  EXPECT_TRUE(core.calls().empty());
}

// Every tool, called with its required arguments only: one core request, with
// params only when the tool takes arguments, and resent after a broken
// connection unless it runs code in a page.
TEST(DispatchTest, EveryToolMakesOneCoreCallAndOnlyEvaluationIsNeverResent) {
  FakeUpstream catalogue;
  const Json tools =
      Json::parse(dispatch_text(catalogue, "tools/list", 1, nullptr))["result"]["tools"];
  for (const Json& tool : tools) {
    const Json& schema = tool["inputSchema"];
    Json args = Json::object();
    for (const Json& name : json::get_or(schema, "required", Json::array())) {
      args[name.get<std::string>()] =
          schema["properties"][name]["type"] == "string" ? Json("x") : Json(1u);
    }
    FakeUpstream core;
    core.answer_text("{}");
    const Json request = Json::object({{"name", tool["name"]}, {"arguments", args}});
    const Json result = Json::parse(dispatch_text(core, "tools/call", 1, request))["result"];
    EXPECT_EQ(result["isError"], false) << tool["name"];
    ASSERT_EQ(core.calls().size(), 1u) << tool["name"];
    EXPECT_FALSE(core.calls()[0].method.empty());
    EXPECT_EQ(core.calls()[0].params.is_null(), schema["properties"].empty()) << tool["name"];
    EXPECT_EQ(core.calls()[0].resend == Resend::Never, tool["name"] == "evaluate_js")
        << tool["name"];
  }
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
  FakeUpstream core;
  for (const auto& [params, message] : cases) {
    EXPECT_EQ(dispatch_text(core, "tools/call", 7, Json::parse(params)),
              R"({"error":{"code":-32602,"message":")" + message + R"("},"id":7,"jsonrpc":"2.0"})");
  }
  EXPECT_TRUE(core.calls().empty());
}

TEST(DispatchTest, SuccessCarriesThePrettyShapedAnswerInTheEnvelope) {
  FakeUpstream core;
  core.answer(Json::parse(R"({"proxyPort": 9090, "flowCount": 2, "paused": false})"));
  EXPECT_EQ(
      dispatch_text(core, "tools/call", 7, Json::parse(R"({"name": "get_capture_status"})")),
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
    FakeUpstream core;
    core.fail(failure);
    const Json result = Json::parse(dispatch_text(core, "tools/call", 1, params))["result"];
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
  // Too large to hold reads as late, wherever memory ran out.
  EXPECT_EQ(text_for(UpstreamError::too_large()), text_for(UpstreamError::deadline_exceeded()));
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
  FakeUpstream core;
  core.answer(Json::object({{"flows", flows}}));
  core.answer(Json::object({{"flows", flows}}));
  core.late = true;
  Buffer out;
  tools::dispatch(out, core, "tools/call", 1, Json::object({{"name", "list_flows"}}));
  EXPECT_EQ(Json::parse(out.view())["result"]["content"][0]["text"],
            "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening.");
  // Writing stopped at the first check, not at the end.
  EXPECT_LT(out.capacity(), 3u << 20);
  // On time, the same answer is written whole.
  core.late = false;
  out.clear();
  tools::dispatch(out, core, "tools/call", 2, Json::object({{"name", "list_flows"}}));
  EXPECT_GT(out.size(), 3u << 20);
  EXPECT_EQ(Json::parse(out.view())["result"]["isError"], false);
}

}  // namespace
