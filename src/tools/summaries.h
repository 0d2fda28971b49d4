// Plain-language sentences for the items of the core's findings report.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "json_tape.h"

namespace tools {

// An object member read from the core's reply, under its snake_case name.
using Member = std::pair<std::string, std::uint32_t>;

// The params of one findings item: its members, sorted by name.
struct Params {
  const json::Tape& tape;
  std::span<const Member> members;
};

// The sentence for one findings item; an unknown key is returned unchanged.
std::string summary_for(std::string_view key, const Params& params);

}  // namespace tools
