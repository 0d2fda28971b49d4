// Small text helpers of the demo core: base64, dates and case-insensitive
// matching.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace demo {

// Standard alphabet with "=" padding.
std::string base64_encode(std::string_view bytes);

// Standard alphabet; padding optional, no other characters allowed.
std::optional<std::string> base64_decode(std::string_view text);

// The same, decoding `text` into its own storage (the bytes are never longer
// than their text). On failure returns false and leaves `text` unspecified.
bool base64_decode_in_place(std::string& text);

// "2024-03-05T10:21:33.123Z" for milliseconds since 1970-01-01T00:00:00Z.
std::string iso_time(std::uint64_t ms);

// "Tue, 05 Mar 2024 10:21:33 GMT", the form of the HTTP Date header.
std::string http_date(std::uint64_t ms);

// Reads "YYYY-MM-DDTHH:MM:SS[.fff][Z|+HH:MM|-HH:MM]" (fraction of any length,
// offset optional). Times before 1970 are not representable and fail.
std::optional<std::uint64_t> parse_iso_time(std::string_view text);

std::string lower(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
bool icontains(std::string_view haystack, std::string_view needle);

}  // namespace demo
