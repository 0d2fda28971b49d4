// Plain-language sentences for the items of the core's findings report, and
// the number and time renderings they (and the flow summaries) use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"

namespace tools {

// The sentence for one findings item; an unknown key is returned unchanged.
std::string summary_for(std::string_view key, const Json& params);

// Decimal digits of params[key] when it is a non-negative integer, else "?".
std::string number_text(const Json& params, std::string_view key);

// params[key] as UTC text when it is a non-negative integer, else
// "an unknown time".
std::string time_text(const Json& params, std::string_view key);

}  // namespace tools
