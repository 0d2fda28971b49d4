// get_capture_status and get_findings: shaping the core's answers.
#pragma once

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

// The five status members under their agent-facing names, with defaults.
Json capture_status_shape(const Json& answer);

// Keys converted to snake_case and a "summary" on every top-level item.
Json findings_shape(Json answer);

// The same results written straight from the core's reply read into a tape
// (`answer` is the node of its "result", or kNone when it has none).
void capture_status_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out);
void findings_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out);

}  // namespace tools
