// Object members in the order a JSON value holds them: sorted by key, of a
// repeated key only the last.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace json {

// Sorts (key, node) pairs by key, stably, keeping of each key only the last.
template <class Key>
void sort_keeping_last(std::vector<std::pair<Key, std::uint32_t>>& members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  auto last = std::unique(members.rbegin(), members.rend(),
                          [](const auto& a, const auto& b) { return a.first == b.first; });
  members.erase(members.begin(), last.base());
}

}  // namespace json
