// list_flows and get_flow: arguments to core params, core answers to results.
#pragma once

#include "json.h"

namespace tools {

// The eleven-key flow summary record for one core flow object.
Json summary_dto(const Json& flow);

Json list_flows_params(const Json& args);
Json list_flows_shape(const Json& args, const Json& answer);

Json get_flow_params(const Json& args);
Json get_flow_shape(const Json& args, const Json& answer);

}  // namespace tools
