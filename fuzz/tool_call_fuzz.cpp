// Any core answer to any tool: shaping never fails, and the response is one
// line of JSON carrying a tool result.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fake_upstream.h"
#include "json.h"

namespace {

const char* const kCalls[] = {
    R"({"name":"list_flows","arguments":{"limit":3}})",
    R"({"name":"get_flow","arguments":{"flow_id":1,"include_bodies":true,"max_body_bytes":7}})",
    R"({"name":"get_flow","arguments":{"flow_id":1}})",
    R"({"name":"get_capture_status"})",
    R"({"name":"get_findings"})",
    R"({"name":"list_pages"})",
    R"({"name":"get_console_messages","arguments":{"page_handle":"p","newest_first":false}})",
    R"({"name":"evaluate_js","arguments":{"page_handle":"p","expression":"1"}})",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!json::parse(answer)) return 0;
  FakeUpstream core;
  core.answer_text(std::move(answer));
  Json params = Json::parse(kCalls[data[0] % (sizeof kCalls / sizeof kCalls[0])]);
  std::string response = dispatch_text(core, "tools/call", 1u, params);
  auto parsed = json::parse(response);
  if (!parsed || response.find('\n') != std::string::npos) std::abort();
  if (json::find(parsed.value(), "result") == nullptr) std::abort();
  return 0;
}
