// An in-process CoreLink for tool tests: records every call and answers from a
// queue of scripted results. With the queue empty it behaves like a core that
// is not running.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "json.h"
#include "upstream.h"

class FakeCoreLink : public CoreLink {
 public:
  struct Call {
    std::string method;
    Json params;  // null when the request carried no params
  };

  // Queues the next answer.
  void answer(Json result) { script_.emplace_back(std::move(result)); }
  // Queues the next failure.
  void fail(UpstreamError error) { script_.emplace_back(Err{std::move(error)}); }

  CallResult call(const std::string& method, const Json& params) override {
    calls_.push_back({method, params});
    if (script_.empty()) return Err{UpstreamError::not_running()};
    CallResult next = std::move(script_.front());
    script_.pop_front();
    return next;
  }

  const std::vector<Call>& calls() const { return calls_; }
  std::size_t pending() const { return script_.size(); }

 private:
  std::deque<CallResult> script_;
  std::vector<Call> calls_;
};
