// An in-process CoreLink for tool tests: records every call and answers from a
// queue of scripted results, handed over read into a tape as the socket link
// does. With the queue empty it behaves like a core that is not running.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"
#include "tools/dispatch.h"
#include "upstream.h"

class FakeCoreLink : public CoreLink {
 public:
  struct Call {
    std::string method;
    Json params;  // null when the request carried no params
  };

  void answer(Json result) { script_.emplace_back(std::move(result)); }
  void fail(UpstreamError error) { script_.emplace_back(Err{std::move(error)}); }
  const std::vector<Call>& calls() const { return calls_; }

  // The next scripted result, read into a tape as the socket link reads it.
  AnswerResult call(const std::string& method, const Json& params) override {
    calls_.push_back({method, params});
    if (script_.empty()) return Err{UpstreamError::not_running()};
    Result<Json, UpstreamError> next = std::move(script_.front());
    script_.pop_front();
    if (!next) return Err{std::move(next).error()};
    text_ = json::compact(next.value());
    EXPECT_TRUE(tape_.parse(text_.data(), text_.size()));
    return Answer(tape_, tape_.root());
  }

  bool past_deadline() const override { return late; }

  bool late = false;  // the call's deadline has passed

 private:
  std::string text_;
  json::Tape tape_;
  std::deque<Result<Json, UpstreamError>> script_;
  std::vector<Call> calls_;
};

// One successful tools/call through tools::dispatch.
struct ToolRun {
  std::string core_method;
  std::string core_params;  // compact text of the one core request's params
  Json value;               // the tool result text, parsed
};

// Calls `tool` with `args` (JSON text), the core answering `answer` (JSON
// text).
inline ToolRun run_tool(const std::string& tool, const std::string& args,
                        const std::string& answer = "{}") {
  const Json request = {{"name", tool}, {"arguments", Json::parse(args)}};
  FakeCoreLink core;
  core.answer(Json::parse(answer));
  const std::string response = tools::dispatch(core, "tools/call", 1, request);
  const Json result = Json::parse(response).at("result");
  EXPECT_EQ(result.at("isError"), false) << result;
  EXPECT_EQ(core.calls().size(), 1u);
  return {core.calls().at(0).method, json::compact(core.calls().at(0).params),
          Json::parse(result.at("content").at(0).at("text").get<std::string>())};
}
