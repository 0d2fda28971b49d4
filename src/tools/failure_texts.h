// The one sentence an agent sees for each way a core request can fail.
#pragma once

#include <string>

#include "upstream.h"

namespace tools {

std::string upstream_err_text(const UpstreamError& error);

}  // namespace tools
