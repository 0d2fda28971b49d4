// One successful tools/call through tools::dispatch, against a scripted core.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "fake_upstream.h"

struct ToolRun {
  std::string core_method;
  std::string core_params;  // compact text of the one core request's params
  Json value;               // the tool result text, parsed
};

// Calls `tool` with `args` (JSON text), the core answering `answer` (JSON text).
inline ToolRun run_tool(const std::string& tool, const std::string& args,
                        const std::string& answer = "{}") {
  const Json request = Json::object({{"name", tool}, {"arguments", Json::parse(args)}});
  FakeUpstream core;
  core.answer_text(answer);
  const Json result = Json::parse(dispatch_text(core, "tools/call", 1, request)).at("result");
  EXPECT_EQ(result.at("isError"), false) << result;
  EXPECT_EQ(core.calls().size(), 1u);
  return {core.calls().at(0).method, json::compact(core.calls().at(0).params),
          Json::parse(result.at("content").at(0).at("text").get<std::string>())};
}
