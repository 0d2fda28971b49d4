#include "tools/validate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::string tool;
  std::string args;     // JSON text, so integers keep the kind a client's text gives them
  std::string message;  // empty when the arguments pass
};

void expect_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::optional<std::string> problem = tools::check_args(c.tool, Json::parse(c.args));
    EXPECT_EQ(problem.value_or(""), c.message) << c.tool << " " << c.args;
  }
}

TEST(CheckArgsTest, ArgumentsThatAreNotAnObjectAreRejected) {
  expect_cases({
      {"list_flows", "null", "arguments must be an object"},
      {"list_flows", "[]", "arguments must be an object"},
      {"list_flows", R"("x")", "arguments must be an object"},
      {"list_flows", "3", "arguments must be an object"},
      {"list_flows", "true", "arguments must be an object"},
      {"no_such_tool", "[1]", "arguments must be an object"},
  });
}

TEST(CheckArgsTest, EachTypedArgumentHasItsOwnMessage) {
  const std::string uint_msg = " must be a non-negative integer";
  expect_cases({
      {"list_flows", R"({"limit": -1})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": 5.0})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": 1e2})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": "5"})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": null})", "argument limit" + uint_msg},
      {"get_flow", R"({"flow_id": true})", "argument flow_id" + uint_msg},
      {"get_flow", R"({"flow_id": 18446744073709551616})", "argument flow_id" + uint_msg},
      {"list_flows", R"({"since_seq": []})", "argument since_seq" + uint_msg},
      {"get_flow", R"({"flow_id": 1, "max_body_bytes": {}})", "argument max_body_bytes" + uint_msg},
      {"list_flows", R"({"host": 5})", "argument host must be a string"},
      {"list_flows", R"({"path_contains": null})", "argument path_contains must be a string"},
      {"list_flows", R"({"method": 1})", "argument method must be a string"},
      {"list_flows", R"({"status": 401})", "argument status must be a string"},
      {"get_console_messages", R"({"level": 0})", "argument level must be a string"},
      {"evaluate_js", R"({"expression": 1})", "argument expression must be a string"},
      {"evaluate_js", R"({"page_handle": false})", "argument page_handle must be a string"},
      {"get_flow", R"({"flow_id": 1, "include_bodies": "true"})",
       "argument include_bodies must be a boolean"},
      {"get_console_messages", R"({"newest_first": "true"})",
       "argument newest_first must be a boolean"},
  });
}

TEST(CheckArgsTest, WellTypedArgumentsPassWithoutBoundsOrEnums) {
  expect_cases({
      {"list_flows", "{}", ""},
      {"list_flows", R"({"limit": 0})", ""},
      {"list_flows", R"({"limit": 100000, "host": "a", "status": "4xx", "since_seq": 3})", ""},
      {"get_flow", R"({"flow_id": 18446744073709551615})", ""},
      {"get_console_messages", R"({"page_handle": "p", "level": "verbose"})", ""},
      {"evaluate_js", R"({"page_handle": "p", "expression": "1+1"})", ""},
  });
}

TEST(CheckArgsTest, UnlistedKeysAreIgnoredWhateverTheirValue) {
  expect_cases({
      {"list_flows", R"({"Limit": "x", "other": null})", ""},
      {"list_flows", R"({"host": 5, "zzz": null})", "argument host must be a string"},
  });
}

TEST(CheckArgsTest, TypeRulesHoldForEveryToolName) {
  expect_cases({
      {"get_capture_status", R"({"expression": 1})", "argument expression must be a string"},
      {"no_such_tool", R"({"flow_id": true})", "argument flow_id must be a non-negative integer"},
      {"no_such_tool", R"({"flow_id": 1})", ""},
      {"", "{}", ""},
  });
}

TEST(CheckArgsTest, TheLowestBadKeyIsReported) {
  expect_cases({
      {"list_flows", R"({"limit": "x", "host": 5})", "argument host must be a string"},
  });
}

TEST(CheckArgsTest, TypeErrorsAreReportedBeforeMissingArguments) {
  expect_cases({
      {"evaluate_js", R"({"page_handle": 1})", "argument page_handle must be a string"},
      {"get_flow", R"({"limit": "x"})", "argument limit must be a non-negative integer"},
  });
}

TEST(CheckArgsTest, MissingRequiredArgumentsAreReportedInOrder) {
  expect_cases({
      {"get_flow", "{}", "missing required argument: flow_id (integer)"},
      {"get_console_messages", "{}", "missing required argument: page_handle (string)"},
      {"evaluate_js", "{}", "missing required argument: page_handle (string)"},
      {"evaluate_js", R"({"expression": "1"})", "missing required argument: page_handle (string)"},
      {"evaluate_js", R"({"page_handle": "p"})", "missing required argument: expression (string)"},
      {"Get_Flow", "{}", ""},
  });
}

}  // namespace
