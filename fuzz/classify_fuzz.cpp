// Any client line: classify never fails, every reply is one line of JSON, and
// whatever parses reads back the same from our text of it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json.h"
#include "mcp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (auto value = json::parse(line)) {
    auto again = json::parse(json::compact(value.value()));
    if (!again || again.value() != value.value()) std::abort();
  }
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) {
    if (reply->text.find('\n') != std::string::npos) std::abort();
    if (!json::parse(reply->text).ok()) std::abort();
  }
  return 0;
}
