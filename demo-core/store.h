// What the demo core holds: captured flows, inspectable pages with their
// console output, the findings report and the capture settings, plus the
// filters that select flows and console messages.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.h"

namespace demo {

// The real core keeps its most recent 2000 flows; so do we.
inline constexpr std::size_t kMaxFlows = 2000;

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Body {
  std::string bytes;        // what was kept (all of it unless truncated or dropped)
  std::uint64_t total = 0;  // the full size seen on the wire
  bool truncated = false;   // only a prefix was kept
  bool dropped = false;     // discarded to stay within the memory budget
};

struct Flow {
  std::uint64_t id = 0;   // assigned by Capture::add_flow
  std::uint64_t seq = 0;  // assigned by Capture::add_flow
  std::uint64_t ts = 0;   // ms since 1970-01-01T00:00:00Z
  std::string method, scheme, host, path;
  std::optional<std::uint64_t> status;       // none when no response arrived
  std::optional<std::uint64_t> duration_ms;  // none when unknown
  std::uint64_t resp_size = 0;
  std::string content_type;
  bool completed = true;
  std::optional<std::string> error;
  Headers req_headers, resp_headers;
  Body req_body, resp_body;
};

// An inclusive range of status codes: 401 is [401, 401], "4xx" is [400, 499].
struct StatusRange {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};

// "401" or "4xx" (any letter case); nothing for anything else.
std::optional<StatusRange> parse_status_filter(std::string_view text);

struct FlowFilter {
  std::optional<std::string> host;           // exact, case-insensitive
  std::optional<std::string> path_contains;  // substring, case-insensitive
  std::optional<std::string> method;         // exact, case-insensitive
  std::optional<StatusRange> status;
  std::optional<std::uint64_t> since_seq;  // only flows with a greater seq
  std::uint64_t limit = 50;
  bool newest_first = true;  // keep the newest `limit` matches, else the oldest
};

struct FlowListing {
  std::vector<const Flow*> flows;  // oldest first
  std::uint64_t matched_total = 0;
};

// Console levels from least to most severe; the rank orders them.
std::optional<int> level_rank(std::string_view level);

struct ConsoleMessage {
  std::uint64_t seq = 0;  // assigned by Capture::add_console
  std::uint64_t received_at = 0;
  std::string kind;  // "console", "exception" or "network"
  std::string level;
  std::string text;
  std::string page_url;
  std::uint64_t nav_gen = 1;
  std::string source_url;
  std::uint64_t line = 0;
};

struct ConsoleFilter {
  std::optional<std::uint64_t> since_seq;
  std::optional<int> min_level;  // a level_rank
  std::uint64_t limit = 100;
  bool newest_first = true;
};

struct ConsoleListing {
  std::vector<const ConsoleMessage*> messages;  // oldest first
  bool truncated = false;                       // more matched than the limit
};

struct Page {
  std::string handle, title, url;
  std::string state;  // "active", "background" or "suspended"
  std::string user_agent;
  std::vector<ConsoleMessage> console;  // oldest first
};

struct App {
  std::string bundle_id;
  std::vector<Page> pages;
};

struct Device {
  std::string id, name;
  std::vector<App> apps;
};

struct Capture {
  std::deque<Flow> flows;  // oldest first, at most kMaxFlows
  std::vector<Device> devices;
  Json findings = Json::object();  // the whole "findings.get" result
  std::uint64_t proxy_port = 9090;
  bool paused = false;
  std::vector<std::string> decrypt_hosts;
  std::uint64_t next_seq = 1;
  std::uint64_t next_flow_id = 40001;
  std::uint64_t next_console_seq = 1;

  // Numbers the flow and stores it, evicting the oldest beyond kMaxFlows.
  const Flow& add_flow(Flow flow);
  const Flow* find_flow(std::uint64_t id) const;
  FlowListing list_flows(const FlowFilter& filter) const;

  Page* find_page(std::string_view handle);
  void add_console(Page& page, ConsoleMessage message);
};

ConsoleListing list_console(const Page& page, const ConsoleFilter& filter);

}  // namespace demo
