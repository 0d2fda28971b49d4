// Times as the server and the demo core render them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Milliseconds since 1970-01-01T00:00:00Z as "2023-11-14T22:13:20.123Z", on
// the proleptic Gregorian calendar; years past 9999 get more digits.
std::string utc_text(std::uint64_t ms);
// The same text written to `out`, which has room for kUtcTextMax bytes; its
// length.
inline constexpr std::size_t kUtcTextMax = 32;
std::size_t write_utc_text(std::uint64_t ms, char* out);
