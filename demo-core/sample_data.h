// The built-in capture: a shopping app's session on an iPhone, with pages on
// two devices, their console output and a findings report.
#pragma once

#include <cstdint>

#include "store.h"

namespace demo {

// A capture whose flows end shortly before `now_ms`.
Capture sample_capture(std::uint64_t now_ms);

// One more flow and one more console message, as a running app would produce
// them; `tick` varies which.
void add_live_activity(Capture& capture, std::uint64_t now_ms, std::uint64_t tick);

}  // namespace demo
