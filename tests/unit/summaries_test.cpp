#include "time_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>

#include "tool_run.h"

namespace {

// The summary get_findings gives an item keyed `key` with `params` (JSON text).
std::string summary_of(const std::string& key, const std::string& params) {
  const std::string report =
      R"({"items":[{"code":)" + json::compact(key) + R"(,"params":)" + params + "}]}";
  return run_tool("get_findings", "{}", report).value.at("items").at(0).at("summary");
}

TEST(UtcTextTest, RendersBoundariesOfTheCalendar) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1700000000123, "2023-11-14T22:13:20.123Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},
      {951782399999, "2000-02-28T23:59:59.999Z"},
      {4107542400000, "2100-03-01T00:00:00.000Z"},  // 2100 is not a leap year
      {1711886400000, "2024-03-31T12:00:00.000Z"},  // the last day of a month
      {253402300799999, "9999-12-31T23:59:59.999Z"},
      {253402300800000, "10000-01-01T00:00:00.000Z"},
      {std::numeric_limits<std::uint64_t>::max(), "584556019-04-03T14:25:51.615Z"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(utc_text(ms), text) << ms;
}

// How the params of each item fill its sentence.
TEST(SummaryForTest, ParamsFillTheSentences) {
  const std::string pac = "The PAC file was last fetched at ";
  const std::string client =
      " by an unidentified client (a phone and a Mac browser are indistinguishable here)";
  const std::string traffic =
      "Traffic from a non-loopback origin has been observed since the last profile push (";
  const std::string no_device =
      "). This does not identify a specific device and does not prove any device-side state.";
  const std::string routing = "capture_path.device_routing_now";
  const std::string cannot = "Cannot determine whether any device is routing through Trelvo";
  const std::string absence = ": no traffic from a non-loopback origin has been observed for ";
  const std::string absence_end =
      " s. This is absence of evidence on the Mac, not evidence about the device.";
  const struct {
    std::string key;
    std::string params;  // JSON text
    std::string summary;
  } cases[] = {
      {"capture_path.proxy_endpoints_ready", R"({"proxy_port": 9090, "config_port": 9091})",
       "Trelvo's proxy endpoints are listening (proxy port 9090, PAC/config port 9091)."},
      {"capture_path.proxy_endpoints_ready", R"({"proxy_port": "9090"})",
       "Trelvo's proxy endpoints are listening (proxy port ?, PAC/config port ?)."},
      {"capture_path.profile_pushed", R"({"at": 1700000000123, "generation": 3})",
       "The served proxy profile last changed at 2023-11-14T22:13:20.123Z (generation 3)."},
      {"capture_path.pac_fetched", "{}", pac + "an unknown time" + client + "."},
      {"capture_path.pac_fetched", R"({"at": 0, "is_latest_generation": true})",
       pac + "1970-01-01T00:00:00.000Z" + client +
           ", matching the currently served profile generation."},
      {"capture_path.pac_fetched", R"({"is_latest_generation": false})",
       pac + "an unknown time" + client +
           ", under an older profile generation than the one currently served."},
      {"capture_path.pac_fetched", R"({"is_latest_generation": "true"})",
       pac + "an unknown time" + client + "."},
      {"capture_path.ca_downloaded", R"({"at": 951782400000})",
       "The CA certificate was last downloaded at 2000-02-29T00:00:00.000Z."},
      // Only non-negative integers are times and numbers.
      {"capture_path.ca_downloaded", R"({"at": 18446744073709551615})",
       "The CA certificate was last downloaded at 584556019-04-03T14:25:51.615Z."},
      {"capture_path.ca_downloaded", R"({"at": 5.0, "At": 5})",
       "The CA certificate was last downloaded at an unknown time."},
      {"capture_path.profile_pushed", R"({"at": -1, "generation": "3"})",
       "The served proxy profile last changed at an unknown time (generation ?)."},
      {"capture_path.proxy_endpoints_ready",
       R"({"proxyPort": 18446744073709551615, "configPort": null})",
       "Trelvo's proxy endpoints are listening (proxy port 18446744073709551615, PAC/config "
       "port ?)."},
      {"capture_path.proxy_endpoints_ready", "[9090]",
       "Trelvo's proxy endpoints are listening (proxy port ?, PAC/config port ?)."},
      {"capture_path.non_loopback_traffic_observed", R"({"count": 1, "last_at": 0})",
       traffic + "1 flow, last at 1970-01-01T00:00:00.000Z" + no_device},
      {"capture_path.non_loopback_traffic_observed", "{}",
       traffic + "? flows, last at an unknown time" + no_device},
      // A missing count reads as zero and a missing window as 60 s.
      {"capture_path.flows_in_window", R"({"count": 1, "window_ms": 60000})",
       "1 flow recorded in the last 60 s."},
      {"capture_path.flows_in_window",
       R"({"count": 0, "window_ms": 30000, "recording_paused": true})",
       "0 flows recorded in the last 30 s (recording is paused \u2014 traffic may be passing "
       "through unrecorded)."},
      {"capture_path.flows_in_window", R"({"count": 2.0, "window_ms": 59999})",
       "0 flows recorded in the last 59 s."},
      {"capture_path.flows_in_window", R"({"recording_paused": false})",
       "0 flows recorded in the last 60 s."},
      {routing, R"({"reason": "observing", "observed_for_ms": 42999})",
       "Cannot determine yet whether any device is routing through Trelvo: only 42 s of the 60 s "
       "observation window has accumulated."},
      {routing, R"({"reason": "observing", "observed_for_ms": null})",
       cannot + ": recording is paused, so observation cannot accumulate."},
      {routing, R"({"reason": "stale_presence", "last_remote_at": 0})",
       cannot + " right now: non-loopback traffic was last observed at "
                "1970-01-01T00:00:00.000Z, outside the current 60 s window."},
      {routing, R"({"reason": "profile_not_pushed"})",
       cannot + ": no proxy profile has been pushed in this core session."},
      {routing, R"({"reason": "no_remote_traffic_observed", "observed_for_ms": 61000})",
       cannot + absence + "61" + absence_end},
      {routing, R"({"reason": "no_remote_traffic_observed"})",
       cannot + absence + "?" + absence_end},
      {routing, R"({"reason": "Observing"})", cannot + "."},
      {routing, "{}", cannot + "."},
      // An unknown key is its own summary.
      {"Capture_path.pac_fetch_not_observed", "{}", "Capture_path.pac_fetch_not_observed"},
      {"", "{}", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(summary_of(c.key, c.params), c.summary) << c.key << " " << c.params;
  }
}

// Items whose sentence takes no params: each has a sentence of its own.
TEST(SummaryForTest, FixedSentencesAreDistinctAndIgnoreParams) {
  std::set<std::string> seen;
  for (const char* key :
       {"capture_path.pac_fetch_not_observed", "capture_path.ca_download_not_observed",
        "capture_path.profile_push_not_observed", "capture_path.push_profile_then_observe",
        "capture_path.new_remote_flow_in_window", "capture_path.device_side_network_check",
        "capture_path.pac_refetch_after_wifi_cycle"}) {
    const std::string sentence = summary_of(key, "{}");
    EXPECT_TRUE(sentence.ends_with(".") && seen.insert(sentence).second) << key << ": " << sentence;
    EXPECT_EQ(summary_of(key, R"({"at": 1, "count": 2})"), sentence);
  }
  EXPECT_EQ(summary_of("capture_path.ca_download_not_observed", "null"),
            "No CA certificate download has been observed in this Trelvo core session.");
}

}  // namespace
