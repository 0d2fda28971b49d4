// An Upstream that answers from a script instead of a socket, for the tests
// and fuzzers of the tools: each call takes the next scripted result (JSON
// text, read into a tape as a real reply is) or failure, and is recorded.
// With the script empty it behaves like a core that is not running.
#pragma once

#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "buffer.h"
#include "json.h"
#include "json_tape.h"
#include "tools/dispatch.h"
#include "upstream.h"

class FakeUpstream : public Upstream {
 public:
  FakeUpstream() : Upstream("") {}

  struct Call {
    std::string method;
    Json params;  // null when the request carried no params
    Resend resend;
  };

  // The next call's "result", as JSON text (read exactly as given) or a value.
  void answer_text(std::string text) { script_.emplace_back(std::move(text)); }
  void answer(const Json& result) { answer_text(json::compact(result)); }
  void fail(UpstreamError error) { script_.emplace_back(std::move(error)); }
  const std::vector<Call>& calls() const { return calls_; }

  AnswerResult call(const std::string& method, const Json& params, Resend resend) override {
    calls_.push_back({method, params, resend});
    if (script_.empty()) return Err{UpstreamError::not_running()};
    auto next = std::move(script_.front());
    script_.pop_front();
    if (auto* error = std::get_if<UpstreamError>(&next)) return Err{std::move(*error)};
    text_ = std::get<std::string>(std::move(next));              // the tape reads its text in place
    if (!tape_.parse(text_.data(), text_.size())) std::abort();  // a script that is not JSON
    return Answer(tape_, tape_.root());
  }
  bool past_deadline() const override { return late; }

  bool late = false;  // the call's deadline has passed

 private:
  std::string text_;
  json::Tape tape_;
  std::deque<std::variant<std::string, UpstreamError>> script_;
  std::vector<Call> calls_;
};

// The response text tools::dispatch gives.
inline std::string dispatch_text(Upstream& upstream, std::string_view method, Json id,
                                 Json params) {
  Buffer out;
  tools::dispatch(out, upstream, method, std::move(id), std::move(params));
  return std::string(out.view());
}
