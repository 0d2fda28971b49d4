// Pages on devices, a page's console messages and an evaluation's result,
// written from the core's answers.
#pragma once

#include "tools/tool.h"

namespace tools {

void write_pages(const Args& args, const json::Tape& tape, std::uint32_t answer,
                 json::EmbeddedPretty& out);
void write_console_messages(const Args& args, const json::Tape& tape, std::uint32_t answer,
                            json::EmbeddedPretty& out);
void write_evaluation(const Args& args, const json::Tape& tape, std::uint32_t answer,
                      json::EmbeddedPretty& out);

}  // namespace tools
