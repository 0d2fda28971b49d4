// The tools module's single entry: answers "tools/list" and "tools/call".
#pragma once

#include <string_view>

#include "buffer.h"
#include "json.h"
#include "upstream.h"

namespace tools {

// Validates, routes and runs one tool request, appending its complete
// JSON-RPC response text to `out` (so that a large one is written straight
// into the buffer it is sent from). Makes at most one core request. `method`
// is one of the two that mcp::classify hands on: "tools/list", else
// "tools/call".
void dispatch(Buffer& out, Upstream& upstream, std::string_view method, Json id, Json params);

}  // namespace tools
