// Any client line: classify never fails, and every reply is one line of JSON.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json.h"
#include "mcp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) {
    if (reply->text.find('\n') != std::string::npos) std::abort();
    if (!json::parse(reply->text).ok()) std::abort();
  }
  return 0;
}
