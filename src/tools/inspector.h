// list_pages, get_console_messages and evaluate_js: web pages on devices.
#pragma once

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

Json console_messages_params(const Json& args);

Json evaluate_js_params(const Json& args);

// The results written straight from the core's reply read into a tape
// (`answer` is the node of its "result", or kNone when it has none).
void list_pages_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                      json::EmbeddedPretty& out);
void console_messages_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                            json::EmbeddedPretty& out);
void evaluate_js_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                       json::EmbeddedPretty& out);

}  // namespace tools
