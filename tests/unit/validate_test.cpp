#include "tools/validate.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CheckArgsTest, EachTypeAndRequiredArgumentHasItsMessage) {
  const std::string uint_msg = " must be a non-negative integer";
  const std::string page_handle = "missing required argument: page_handle (string)";
  const struct {
    std::string tool;
    std::string args;     // JSON text, so integers keep the kind a client's text gives them
    std::string message;  // empty when the arguments pass
  } cases[] = {
      {"list_flows", "null", "arguments must be an object"},
      {"list_flows", "[]", "arguments must be an object"},
      {"no_such_tool", R"("x")", "arguments must be an object"},
      {"list_flows", R"({"limit": -1})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": 5.0})", "argument limit" + uint_msg},
      {"list_flows", R"({"limit": "5"})", "argument limit" + uint_msg},
      {"get_flow", R"({"flow_id": 18446744073709551616})", "argument flow_id" + uint_msg},
      {"list_flows", R"({"since_seq": []})", "argument since_seq" + uint_msg},
      {"get_flow", R"({"flow_id": 1, "max_body_bytes": {}})", "argument max_body_bytes" + uint_msg},
      {"list_flows", R"({"host": 5, "zzz": null})", "argument host must be a string"},
      {"list_flows", R"({"path_contains": null})", "argument path_contains must be a string"},
      {"list_flows", R"({"method": 1})", "argument method must be a string"},
      {"list_flows", R"({"status": 401})", "argument status must be a string"},
      {"get_console_messages", R"({"level": 0})", "argument level must be a string"},
      {"evaluate_js", R"({"expression": 1})", "argument expression must be a string"},
      {"get_flow", R"({"flow_id": 1, "include_bodies": "true"})",
       "argument include_bodies must be a boolean"},
      {"get_console_messages", R"({"newest_first": "true"})",
       "argument newest_first must be a boolean"},
      // The lowest bad key is reported, and type errors come before missing arguments.
      {"list_flows", R"({"limit": "x", "host": 5})", "argument host must be a string"},
      {"evaluate_js", R"({"page_handle": false})", "argument page_handle must be a string"},
      // Type rules hold for every tool name, even unknown ones.
      {"get_capture_status", R"({"expression": 1})", "argument expression must be a string"},
      {"no_such_tool", R"({"flow_id": true})", "argument flow_id" + uint_msg},
      {"get_flow", "{}", "missing required argument: flow_id (integer)"},
      {"get_console_messages", "{}", page_handle},
      {"evaluate_js", R"({"expression": "1"})", page_handle},
      {"evaluate_js", R"({"page_handle": "p"})", "missing required argument: expression (string)"},
      // Bounds, enums and unlisted keys are not checked here.
      {"list_flows", R"({"limit": 100000, "status": "4xx", "Limit": "x", "other": null})", ""},
      {"get_flow", R"({"flow_id": 18446744073709551615})", ""},
      {"get_console_messages", R"({"page_handle": "p", "level": "verbose"})", ""},
      {"Get_Flow", "{}", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tools::check_args(c.tool, Json::parse(c.args)).value_or(""), c.message)
        << c.tool << " " << c.args;
  }
}

}  // namespace
