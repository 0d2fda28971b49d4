// The seven tools, their descriptions and input schemas.
#pragma once

#include "json.h"

namespace tools {

// A fresh copy of the catalogue on every call.
Json tool_specs();

}  // namespace tools
