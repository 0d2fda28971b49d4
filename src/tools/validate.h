// The gate between a tools/call and the handlers: argument types and required
// arguments. Defaults, bounds and enums are the handlers' business.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace tools {

// nullopt when the arguments pass; otherwise the one message for the agent.
std::optional<std::string> check_args(std::string_view tool, const Json& args);

}  // namespace tools
