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

// Milliseconds since 1970-01-01T00:00:00Z as "2023-11-14T22:13:20.123Z", on
// the proleptic Gregorian calendar; years past 9999 get more digits.
std::string utc_text(std::uint64_t ms);
// The same text written to `out`, which has room for kUtcTextMax bytes; its
// length.
inline constexpr std::size_t kUtcTextMax = 32;
std::size_t write_utc_text(std::uint64_t ms, char* out);

}  // namespace tools
