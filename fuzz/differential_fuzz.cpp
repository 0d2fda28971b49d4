// The fast path against the exact path on the same core reply: the tape takes
// what the JSON library's parser takes and reads it back alike, and every
// tool answers byte for byte alike either way.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json.h"
#include "json_tape.h"
#include "reference_json.h"
#include "tools/dispatch.h"
#include "upstream.h"

namespace {

// Hands over one answer, read into a tape or as a JSON value.
class OneAnswer : public CoreLink {
 public:
  OneAnswer(std::string text, bool fast) : text_(std::move(text)), fast_(fast) {}
  CallResult call(const std::string&, const Json&) override { return json::parse(text_).value(); }
  AnswerResult call_answer(const std::string& method, const Json& params) override {
    if (fast_ && tape_.parse(text_.data(), text_.size())) return Answer(tape_, tape_.root());
    return Answer(call(method, params).value());
  }

 private:
  std::string text_;
  bool fast_;
  json::Tape tape_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  // Byte 0 picks the call, bytes 1..4 the body limit; the rest is the answer.
  std::uint32_t limit;
  std::memcpy(&limit, data + 1, 4);
  std::string text(reinterpret_cast<const char*>(data) + 5, size - 5);
  if (!json::is_utf8(text)) return 0;  // the link never hands on other lines

  std::optional<Json> exact = reference_parse(text);
  json::Tape tape;
  std::string copy = text;
  // The tape takes exactly what the library's parser takes, and json::parse
  // is the tape.
  if (tape.parse(copy.data(), copy.size()) != exact.has_value()) std::abort();
  if (json::parse(text).ok() != exact.has_value()) std::abort();
  if (!exact) return 0;
  if (tape.to_json(tape.root()) != *exact) std::abort();

  Json params;
  switch (data[0] % 10) {
    case 0:
      params = {{"name", "list_flows"}, {"arguments", Json::object()}};
      break;
    case 1:
      params = {{"name", "get_flow"}, {"arguments", {{"flow_id", 1u}}}};
      break;
    case 2:
      params = {{"name", "get_flow"},
                {"arguments",
                 {{"flow_id", 1u}, {"include_bodies", true}, {"max_body_bytes", limit % 64}}}};
      break;
    case 3:
      params = {
          {"name", "get_flow"},
          {"arguments", {{"flow_id", 1u}, {"include_bodies", true}, {"max_body_bytes", limit}}}};
      break;
    case 4:
      params = {{"name", "get_capture_status"}, {"arguments", Json::object()}};
      break;
    case 5:
      params = {{"name", "get_findings"}, {"arguments", Json::object()}};
      break;
    case 6:
      params = {{"name", "list_pages"}, {"arguments", Json::object()}};
      break;
    case 7:
    case 8:
      params = {{"name", "get_console_messages"},
                {"arguments", {{"page_handle", "p"}, {"newest_first", data[0] % 10 == 7}}}};
      break;
    default:
      params = {{"name", "evaluate_js"},
                {"arguments", {{"page_handle", "p"}, {"expression", "1"}}}};
  }
  OneAnswer fast(text, true), slow(text, false);
  std::string a = tools::dispatch(fast, "tools/call", 7u, params);
  std::string b = tools::dispatch(slow, "tools/call", 7u, params);
  if (a != b) std::abort();
  return 0;
}
