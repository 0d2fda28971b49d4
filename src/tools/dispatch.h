// The tools module's single entry: answers "tools/list" and "tools/call".
#pragma once

#include <string>
#include <string_view>

#include "buffer.h"
#include "json.h"
#include "upstream.h"

namespace tools {

// Validates, routes and runs one tool request; always returns a complete
// JSON-RPC response text. Makes at most one core request. `method` is one of
// the two that mcp::classify hands on: "tools/list", else "tools/call".
std::string dispatch(CoreLink& core, std::string_view method, Json id, Json params);
// The same, appending the response text to `out`, so that a large one is
// written straight into the buffer it is sent from.
void dispatch_into(Buffer& out, CoreLink& core, std::string_view method, Json id, Json params);

}  // namespace tools
