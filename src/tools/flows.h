// list_flows and get_flow: arguments to core params, core answers to results.
#pragma once

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"

namespace tools {

Json list_flows_params(const Json& args);

Json get_flow_params(const Json& args);

// The results written straight from the core's reply read into a tape
// (`answer` is the node of its "result", or kNone when it has none).
void list_flows_write(const Json& args, const json::Tape& tape, std::uint32_t answer,
                      json::EmbeddedPretty& out);
// Decodes the bodies where they were read (see write_body_field).
void get_flow_write(const Json& args, json::Tape& tape, std::uint32_t answer,
                    json::EmbeddedPretty& out);

}  // namespace tools
