// get_capture_status and get_findings: shaping the core's answers.
#pragma once

#include <string>
#include <string_view>

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

// "durationMs" -> "duration_ms"; every ASCII capital becomes "_" + lower case.
std::string camel_to_snake(std::string_view key);

// Converts every object key at every level with camel_to_snake. When two keys
// of one object convert alike, the one that sorts last wins.
Json snake_case_keys(Json value);

// Written straight from the core's reply read into a tape (`answer` is the
// node of its "result", or kNone when it has none): the five status members
// under their agent-facing names, with defaults; the findings with keys in
// snake_case and a "summary" on every top-level item.
void capture_status_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out);
void findings_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out);

}  // namespace tools
