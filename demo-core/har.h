// Import of HTTP Archive 1.2 files, the export format of browsers and
// proxies, as flows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "store.h"

namespace demo {

// The archive's entries as flows in order of their start time (ids and seqs
// not yet assigned). Entries with missing parts give flows with what they
// have; an entry `fallback_ts` is used when an entry has no readable start
// time. Fails, with one line saying why, when `text` is not an archive.
Result<std::vector<Flow>, std::string> flows_from_har(std::string_view text,
                                                      std::uint64_t fallback_ts);

}  // namespace demo
