// How get_flow presents a request or response body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace tools {

// Strict base64 (standard alphabet, canonical padding, no whitespace, zero
// unused bits); nullopt when the text is not exactly that.
std::optional<std::string> base64_decode(std::string_view text);

// The placeholder shown when bodies were not asked for.
Json omitted_body(const Json& detail, std::string_view meta_key);

// The Dropped, Empty, Text or Binary record of one body, text cut to `limit`
// bytes at a character boundary.
Json body_field(const Json& detail, std::string_view bytes_key, std::string_view meta_key,
                std::string_view headers_key, std::uint64_t limit);

}  // namespace tools
