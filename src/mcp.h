// JSON-RPC 2.0 messages: classifying one input line and building responses.
// Every function here is pure and none fails: bad input becomes an error text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "buffer.h"
#include "json.h"

namespace mcp {

inline constexpr const char* kServerName = "trelvo";
// The release version, CMake's project version.
inline constexpr const char* kServerVersion = TRELVO_VERSION;

struct Reply {
  std::string text;
};
struct NoReply {};
struct ToolRequest {
  std::string method;  // "tools/list" or "tools/call"
  Json id;             // a string or a number
  Json params;         // the request's params unchanged, null when absent
};
using Classified = std::variant<Reply, NoReply, ToolRequest>;

Classified classify(std::string_view line);

std::string error_response(Json id, std::int64_t code, std::string_view message);
// The -32700 error for a line too long to hold in memory, which is dropped.
std::string lost_line_response();
std::string result_response(Json id, const Json& result);

// A result response, {"id":…,"jsonrpc":"2.0","result":…}, appended to `out`
// around the result that `write_result` appends there as JSON text: every
// result response is written by this.
template <class WriteResult>
void append_result_response(Buffer& out, const Json& id, WriteResult write_result) {
  out.append(R"({"id":)");
  out.append(json::compact(id));
  out.append(R"(,"jsonrpc":"2.0","result":)");
  write_result();
  out.append('}');
}

}  // namespace mcp
