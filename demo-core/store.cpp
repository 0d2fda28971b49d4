#include "store.h"

#include <algorithm>
#include <array>

#include "text.h"

namespace demo {
namespace {

bool matches(const Flow& flow, const FlowFilter& filter) {
  if (filter.host && !iequals(flow.host, *filter.host)) return false;
  if (filter.path_contains && !icontains(flow.path, *filter.path_contains)) return false;
  if (filter.method && !iequals(flow.method, *filter.method)) return false;
  if (filter.status &&
      (!flow.status || *flow.status < filter.status->low || *flow.status > filter.status->high)) {
    return false;
  }
  return !filter.since_seq || flow.seq > *filter.since_seq;
}

// Keeps `limit` of the matches (the newest or the oldest), oldest first.
template <class T>
std::vector<const T*> keep(std::vector<const T*> matched, std::uint64_t limit, bool newest) {
  if (matched.size() > limit) {
    auto drop = static_cast<std::ptrdiff_t>(matched.size() - limit);
    if (newest) {
      matched.erase(matched.begin(), matched.begin() + drop);
    } else {
      matched.erase(matched.end() - drop, matched.end());
    }
  }
  return matched;
}

}  // namespace

std::optional<StatusRange> parse_status_filter(std::string_view text) {
  if (text.size() != 3 || text[0] < '1' || text[0] > '5') return std::nullopt;
  std::uint64_t hundreds = static_cast<std::uint64_t>(text[0] - '0') * 100;
  if (iequals(text.substr(1), "xx")) return StatusRange{hundreds, hundreds + 99};
  if (text[1] < '0' || text[1] > '9' || text[2] < '0' || text[2] > '9') return std::nullopt;
  std::uint64_t code = hundreds + static_cast<std::uint64_t>((text[1] - '0') * 10 + text[2] - '0');
  return StatusRange{code, code};
}

std::optional<int> level_rank(std::string_view level) {
  static constexpr std::array<std::string_view, 5> kLevels = {"debug", "log", "info", "warn",
                                                              "error"};
  for (std::size_t i = 0; i < kLevels.size(); ++i) {
    if (kLevels[i] == level) return static_cast<int>(i);
  }
  return std::nullopt;
}

const Flow& Capture::add_flow(Flow flow) {
  flow.id = next_flow_id++;
  flow.seq = next_seq++;
  flows.push_back(std::move(flow));
  while (flows.size() > kMaxFlows) flows.pop_front();
  return flows.back();
}

const Flow* Capture::find_flow(std::uint64_t id) const {
  // Ids grow with position, so a binary search finds it.
  auto it = std::lower_bound(flows.begin(), flows.end(), id,
                             [](const Flow& f, std::uint64_t wanted) { return f.id < wanted; });
  return it != flows.end() && it->id == id ? &*it : nullptr;
}

FlowListing Capture::list_flows(const FlowFilter& filter) const {
  std::vector<const Flow*> matched;
  for (const Flow& flow : flows) {
    if (matches(flow, filter)) matched.push_back(&flow);
  }
  FlowListing listing;
  listing.matched_total = matched.size();
  listing.flows = keep(std::move(matched), filter.limit, filter.newest_first);
  return listing;
}

Page* Capture::find_page(std::string_view handle) {
  for (Device& device : devices) {
    for (App& app : device.apps) {
      for (Page& page : app.pages) {
        if (page.handle == handle) return &page;
      }
    }
  }
  return nullptr;
}

void Capture::add_console(Page& page, ConsoleMessage message) {
  message.seq = next_console_seq++;
  page.console.push_back(std::move(message));
}

ConsoleListing list_console(const Page& page, const ConsoleFilter& filter) {
  std::vector<const ConsoleMessage*> matched;
  for (const ConsoleMessage& m : page.console) {
    if (filter.since_seq && m.seq <= *filter.since_seq) continue;
    if (filter.min_level && level_rank(m.level).value_or(0) < *filter.min_level) continue;
    matched.push_back(&m);
  }
  ConsoleListing listing;
  listing.truncated = matched.size() > filter.limit;
  listing.messages = keep(std::move(matched), filter.limit, filter.newest_first);
  return listing;
}

}  // namespace demo
