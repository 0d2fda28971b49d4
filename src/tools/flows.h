// Flow summaries and a flow's detail, written from the core's answers.
#pragma once

#include "tools/tool.h"

namespace tools {

void write_flow_list(const Args& args, const json::Tape& tape, std::uint32_t answer,
                     json::EmbeddedPretty& out);
// Decodes the bodies where they were read (see write_body_field).
void write_flow_detail(const Args& args, json::Tape& tape, std::uint32_t answer,
                       json::EmbeddedPretty& out);

}  // namespace tools
