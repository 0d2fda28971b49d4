// The capture status: the five status members under their agent-facing
// names, with defaults, written from the core's answer.
#pragma once

#include "tools/tool.h"

namespace tools {

void write_capture_status(const Args& args, const json::Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out);

}  // namespace tools
