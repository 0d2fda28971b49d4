// How a flow's detail presents a request or response body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

// Strict base64 (standard alphabet, canonical padding, no whitespace, zero
// unused bits) from `in` into `out`, which may be `in` itself: the decoded
// length, or nullopt when the text is not exactly that.
std::optional<std::size_t> base64_decode_into(const char* in, std::size_t size, char* out);

// The placeholder shown when bodies were not asked for, and the Dropped,
// Empty, Text or Binary record of one body (text cut to `limit` bytes at a
// character boundary), written straight from the core's reply read into
// `tape`, `detail` being its flow detail node. write_body_field decodes the
// body where it was read: its node reads as null afterwards.
void write_omitted_body(json::EmbeddedPretty& out, const json::Tape& tape, std::uint32_t detail,
                        std::string_view meta_key);
void write_body_field(json::EmbeddedPretty& out, json::Tape& tape, std::uint32_t detail,
                      std::string_view bytes_key, std::string_view meta_key,
                      std::string_view headers_key, std::uint64_t limit);

}  // namespace tools
