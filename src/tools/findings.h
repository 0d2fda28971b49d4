// The findings: the core's report with every key in snake_case
// ("durationMs" -> "duration_ms": each ASCII capital becomes "_" and lower
// case; of two keys that convert alike, the one that sorts last wins) and a
// "summary" sentence on every top-level item, written from the core's answer.
#pragma once

#include "tools/tool.h"

namespace tools {

void write_findings(const Args& args, const json::Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out);

}  // namespace tools
