// get_capture_status and get_findings: shaping the core's answers.
#pragma once

#include <cstdint>

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

// Written straight from the core's reply read into a tape (`answer` is the
// node of its "result", or kNone when it has none): the five status members
// under their agent-facing names, with defaults; the findings with every key
// in snake_case ("durationMs" -> "duration_ms": each ASCII capital becomes
// "_" and lower case; of two keys that convert alike, the one that sorts last
// wins) and a "summary" on every top-level item.
void capture_status_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out);
void findings_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out);

}  // namespace tools
