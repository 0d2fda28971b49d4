// get_capture_status and get_findings: shaping the core's answers.
#pragma once

#include "json.h"

namespace tools {

// The five status members under their agent-facing names, with defaults.
Json capture_status_shape(const Json& answer);

// Keys converted to snake_case and a "summary" on every top-level item.
Json findings_shape(Json answer);

}  // namespace tools
