// An in-process CoreLink for tool tests: records every call and answers from a
// queue of scripted results. With the queue empty it behaves like a core that
// is not running. Unless `exact` is set, it hands answers over read into a
// tape, as the socket link does, so the tools that can write straight from
// it do.
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

  CallResult call(const std::string& method, const Json& params) override {
    calls_.push_back({method, params});
    if (script_.empty()) return Err{UpstreamError::not_running()};
    CallResult next = std::move(script_.front());
    script_.pop_front();
    return next;
  }

  AnswerResult call_answer(const std::string& method, const Json& params) override {
    CallResult next = call(method, params);
    if (!next) return Err{std::move(next).error()};
    text_ = json::compact(next.value());
    if (!exact && tape_.parse(text_.data(), text_.size())) return Answer(tape_, tape_.root());
    return Answer(std::move(next).value());
  }

  bool past_deadline() const override { return late; }

  bool exact = false;
  bool late = false;  // the call's deadline has passed

 private:
  std::string text_;
  json::Tape tape_;
  std::deque<CallResult> script_;
  std::vector<Call> calls_;
};

// One successful tools/call through tools::dispatch.
struct ToolRun {
  std::string core_method;
  std::string core_params;  // compact text of the one core request's params
  Json value;               // the tool result text, parsed
};

// Calls `tool` with `args` (JSON text), the core answering `answer` (JSON
// text). Both readings of the answer must give the same response.
inline ToolRun run_tool(const std::string& tool, const std::string& args,
                        const std::string& answer = "{}") {
  const Json request = {{"name", tool}, {"arguments", Json::parse(args)}};
  FakeCoreLink core, exact_core;
  exact_core.exact = true;
  core.answer(Json::parse(answer));
  exact_core.answer(Json::parse(answer));
  const std::string response = tools::dispatch(core, "tools/call", 1, request);
  EXPECT_EQ(response, tools::dispatch(exact_core, "tools/call", 1, request));
  const Json result = Json::parse(response).at("result");
  EXPECT_EQ(result.at("isError"), false) << result;
  EXPECT_EQ(core.calls().size(), 1u);
  return {core.calls().at(0).method, json::compact(core.calls().at(0).params),
          Json::parse(result.at("content").at(0).at("text").get<std::string>())};
}
