#include "tools/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_core_link.h"
#include "tools/catalogue.h"

namespace {

Json parse(const std::string& text) {
  return Json::parse(text);
}

class DispatchTest : public ::testing::Test {
 protected:
  // A tools/call with the given params text; returns the parsed response.
  Json call(const std::string& params) {
    return parse(tools::dispatch(core_, "tools/call", 7, parse(params)));
  }

  void expect_error(const Json& response, std::int64_t code, const std::string& message) {
    EXPECT_EQ(response.at("error").at("code"), code);
    EXPECT_EQ(response.at("error").at("message"), message);
    EXPECT_EQ(response.at("id"), 7);
  }

  FakeCoreLink core_;
};

TEST_F(DispatchTest, ToolsListAnswersWithTheCatalogueWithoutTheCore) {
  const Json response = parse(tools::dispatch(core_, "tools/list", "a", nullptr));
  EXPECT_EQ(response.at("id"), "a");
  EXPECT_EQ(response.at("result"), Json({{"tools", tools::tool_specs()}}));
  EXPECT_TRUE(core_.calls().empty());
}

TEST_F(DispatchTest, OtherMethodsAreNotFound) {
  expect_error(parse(tools::dispatch(core_, "tools/List", 7, nullptr)), -32601,
               "method not found: tools/List");
  EXPECT_TRUE(core_.calls().empty());
}

TEST_F(DispatchTest, BadCallsAreInvalidParamsAndNeverReachTheCore) {
  struct Case {
    std::string params;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"null", "unknown tool: "},
      {"[]", "unknown tool: "},
      {R"({"name": 5})", "unknown tool: "},
      {R"({"name": "nope", "arguments": {"x": 1}})", "unknown tool: nope"},
      {R"({"name": "List_flows"})", "unknown tool: List_flows"},
      // Arguments are judged before the name is looked up.
      {R"({"name": "nope", "arguments": []})", "arguments must be an object"},
      {R"({"name": "nope", "arguments": {"limit": "x"}})",
       "argument limit must be a non-negative integer"},
      {R"({"name": "list_flows", "arguments": null})", "arguments must be an object"},
      {R"({"name": "get_flow"})", "missing required argument: flow_id (integer)"},
  };
  for (const Case& c : cases) expect_error(call(c.params), -32602, c.message);
  EXPECT_TRUE(core_.calls().empty());
}

TEST_F(DispatchTest, EachToolMakesExactlyOneCoreCallWithItsMethodAndParams) {
  struct Case {
    std::string params;
    std::string method;
    std::string core_params;  // JSON text; null means the request has no params
  };
  const std::vector<Case> cases = {
      {R"({"name": "list_flows"})", "flow.list", R"({"limit": 50, "newestFirst": true})"},
      {R"({"name": "get_flow", "arguments": {"flow_id": 3}})", "flow.getDetail",
       R"({"flowId": 3})"},
      {R"({"name": "get_capture_status"})", "mcp.status", "null"},
      {R"({"name": "get_findings", "arguments": {"ignored": 1}})", "findings.get", "null"},
      {R"({"name": "list_pages"})", "wir.snapshot", "null"},
      {R"({"name": "get_console_messages", "arguments": {"page_handle": "p"}})",
       "wir.consoleMessages", R"({"limit": 100, "newestFirst": true, "pageHandle": "p"})"},
      {R"({"name": "evaluate_js", "arguments": {"page_handle": "p", "expression": "1"}})",
       "wir.evaluate", R"({"expression": "1", "pageHandle": "p"})"},
  };
  for (const Case& c : cases) {
    FakeCoreLink core;
    core.answer(Json::object());
    const Json response = parse(tools::dispatch(core, "tools/call", 1, parse(c.params)));
    ASSERT_EQ(core.calls().size(), 1u) << c.params;
    EXPECT_EQ(core.calls()[0].method, c.method);
    EXPECT_EQ(core.calls()[0].params, parse(c.core_params)) << c.method;
    EXPECT_EQ(response.at("result").at("isError"), false) << c.method;
  }
}

TEST_F(DispatchTest, SuccessCarriesThePrettyShapedAnswerInTheEnvelope) {
  core_.answer(parse(R"({"proxyPort": 9090, "flowCount": 2, "paused": false})"));
  const std::string text =
      tools::dispatch(core_, "tools/call", 7, parse(R"({"name": "get_capture_status"})"));
  const std::string pretty =
      "{\n  \"decrypt_allowlist\": [],\n  \"flow_count\": 2,\n  \"oldest_flow_time\": null,\n"
      "  \"paused\": false,\n  \"proxy_port\": 9090\n}";
  EXPECT_EQ(text, tools::tool_result(7, {pretty, false}));
  EXPECT_EQ(parse(text).at("result"),
            Json({{"content", {{{"text", pretty}, {"type", "text"}}}}, {"isError", false}}));
}

TEST_F(DispatchTest, CoreFailuresBecomeErrorResultsNotJsonRpcErrors) {
  const std::vector<UpstreamError> failures = {
      UpstreamError::not_running(), UpstreamError::protocol_mismatch(),
      UpstreamError::core_error("not_found", "gone"), UpstreamError::transport("reset"),
      UpstreamError::deadline_exceeded()};
  for (const UpstreamError& failure : failures) {
    FakeCoreLink core;
    core.fail(failure);
    const Json response = parse(tools::dispatch(
        core, "tools/call", 1, parse(R"({"name": "get_flow", "arguments": {"flow_id": 9}})")));
    EXPECT_EQ(json::find(response, "error"), nullptr);
    const Json& result = response.at("result");
    EXPECT_EQ(result.at("isError"), true);
    ASSERT_EQ(result.at("content").size(), 1u);
    EXPECT_EQ(result.at("content")[0].at("type"), "text");
    EXPECT_FALSE(result.at("content")[0].at("text").get<std::string>().empty());
    EXPECT_EQ(core.calls().size(), 1u);
  }
}

TEST_F(DispatchTest, ToolResultEnvelopeHasExactlyContentAndIsError) {
  EXPECT_EQ(
      tools::tool_result("x", {"boom", true}),
      R"({"id":"x","jsonrpc":"2.0","result":{"content":[{"text":"boom","type":"text"}],"isError":true}})");
}

TEST(CamelToSnakeTest, EveryCapitalBecomesUnderscoreAndLowerCase) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"durationMs", "duration_ms"},
      {"pageUrlAtCapture", "page_url_at_capture"},
      {"reqBodyB64", "req_body_b64"},
      {"total_in_store", "total_in_store"},
      {"Id", "_id"},
      {"XY", "_x_y"},
      {"A1b", "_a1b"},
      {"", ""},
      {"caf\u00e9Bar", "caf\u00e9_bar"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(tools::camel_to_snake(in), out) << in;
}

TEST(SnakeCaseKeysTest, ConvertsKeysAtEveryLevelButNeverStrings) {
  EXPECT_EQ(tools::snake_case_keys(parse(R"(["aB", "cD"])")), parse(R"(["aB", "cD"])"));
  EXPECT_EQ(tools::snake_case_keys(parse(R"({"outerKey": [{"innerKey": {"deepKey": "valueX"}}]})")),
            parse(R"({"outer_key": [{"inner_key": {"deep_key": "valueX"}}]})"));
  EXPECT_EQ(tools::snake_case_keys(parse("5")), parse("5"));
}

TEST(SnakeCaseKeysTest, OnACollisionTheKeyThatSortsLastWins) {
  EXPECT_EQ(tools::snake_case_keys(parse(R"({"duration_ms": 2, "durationMs": 1})")),
            parse(R"({"duration_ms": 2})"));
  EXPECT_EQ(tools::snake_case_keys(parse(R"({"aB": 1, "a_b": 2, "a_B": 3})")),
            parse(R"({"a__b": 3, "a_b": 2})"));
}

}  // namespace
