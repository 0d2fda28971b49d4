// The core's side of the socket protocol, with no I/O: one request line in,
// at most one reply line out (without its "\n").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store.h"

namespace demo {

// Switches of the desktop application that a user can turn off; each makes
// the core answer with the error code the server turns into its sentence.
struct Switches {
  bool mcp_disabled = false;         // the hello fails with "MCP_DISABLED"
  bool eval_disabled = false;        // "wir.evaluate" fails with "EVAL_DISABLED"
  bool console_disabled = false;     // "wir.consoleMessages" fails with "CONSOLE_READ_DISABLED"
  bool inspection_disabled = false;  // every "wir.*" method fails with "inspection_disabled"
};

// Per-connection state: a connection must say hello before anything else.
struct Connection {
  bool greeted = false;
};

// Answers one request line. A line that is not JSON gets no reply; anything
// else gets exactly one, an error reply when the request cannot be served.
// Never throws.
std::optional<std::string> handle_line(Capture& capture, const Switches& switches,
                                       Connection& connection, std::string_view line);

}  // namespace demo
